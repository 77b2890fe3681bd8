#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>

struct AVPacket;

namespace kavlo {

// Packets on their way from the read thread to one decoder. Besides data packets it carries two
// markers: a flush entry (the decoder forgets its state, after a seek) and a drain entry (the
// decoder gives out what it still holds, at the end of the file).
class PacketQueue {
public:
    enum TKind { pkData, pkFlush, pkDrain };
    struct TItem {
        TKind kind = pkData;
        AVPacket* packet = nullptr; // pkData only; owned by the receiver after Get
        // pkFlush: the time in seconds the decoder's first shown frame should reach (NaN: none).
        double seekTarget = std::numeric_limits<double>::quiet_NaN();
    };

    PacketQueue() = default;
    ~PacketQueue();
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Takes the packet (moves its reference); false and the packet freed when aborted.
    bool Put(AVPacket* packet);
    void PutFlush(double seekTarget);
    void PutDrain();
    // 1: got an item; 0: nothing queued (non-blocking only); -1: aborted.
    int Get(TItem& item, bool block);
    // Drops every queued item.
    void Flush();
    // Wakes and refuses every caller from now on.
    void Abort();
    bool Aborted() const;

    int64_t Bytes() const;
    // Data packets queued.
    int Count() const;
    // Nothing at all queued, markers included.
    bool Empty() const;

private:
    void PushLocked(TItem item);
    void ClearLocked();

    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<TItem> items_;
    int64_t bytes_ = 0;
    int count_ = 0;
    bool abort_ = false;
};

} // namespace kavlo
