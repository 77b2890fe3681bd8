#include "player/PacketQueue.h"

extern "C" {
#include <libavcodec/packet.h>
}

namespace kavlo {

PacketQueue::~PacketQueue() {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLocked();
}

void PacketQueue::ClearLocked() {
    for (TItem& it : items_)
        av_packet_free(&it.packet);
    items_.clear();
    bytes_ = 0;
    count_ = 0;
}

void PacketQueue::PushLocked(TItem item) {
    if (item.packet) {
        // The list entry is counted too, so many tiny packets still fill the queue.
        bytes_ += item.packet->size + static_cast<int64_t>(sizeof(TItem));
        ++count_;
    }
    items_.push_back(item);
    cond_.notify_one();
}

bool PacketQueue::Put(AVPacket* packet) {
    AVPacket* own = av_packet_alloc();
    if (!own) {
        av_packet_unref(packet);
        return false;
    }
    av_packet_move_ref(own, packet);
    std::lock_guard<std::mutex> lock(mutex_);
    if (abort_) {
        av_packet_free(&own);
        return false;
    }
    PushLocked(TItem{pkData, own, std::numeric_limits<double>::quiet_NaN()});
    return true;
}

void PacketQueue::PutFlush(double seekTarget) {
    std::lock_guard<std::mutex> lock(mutex_);
    PushLocked(TItem{pkFlush, nullptr, seekTarget});
}

void PacketQueue::PutDrain() {
    std::lock_guard<std::mutex> lock(mutex_);
    PushLocked(TItem{pkDrain, nullptr, std::numeric_limits<double>::quiet_NaN()});
}

int PacketQueue::Get(TItem& item, bool block) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (abort_)
            return -1;
        if (!items_.empty()) {
            item = items_.front();
            items_.pop_front();
            if (item.packet) {
                bytes_ -= item.packet->size + static_cast<int64_t>(sizeof(TItem));
                --count_;
            }
            return 1;
        }
        if (!block)
            return 0;
        cond_.wait(lock);
    }
}

void PacketQueue::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLocked();
}

void PacketQueue::Abort() {
    std::lock_guard<std::mutex> lock(mutex_);
    abort_ = true;
    cond_.notify_all();
}

bool PacketQueue::Aborted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return abort_;
}

int64_t PacketQueue::Bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

int PacketQueue::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

bool PacketQueue::Empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.empty();
}

} // namespace kavlo
