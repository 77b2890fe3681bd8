#pragma once
#include "player/PlayerTypes.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kavlo {

// What the player's event thread hands to the application: positions and state changes. A
// handler that is slower than playback must not fall behind, so a new entry replaces the newest
// queued one when both are of the same kind; a full ring drops its oldest entry.
class PlayerEventRing {
public:
    enum TKind { ekPosition = 1, ekState = 2, ekQuit = 3 };
    struct TEntry {
        TKind kind = ekPosition;
        TPlayState state = psPlay;
        int64_t position = 0;
    };
    static constexpr int Capacity = 10;

    void Push(const TEntry& entry);
    // Takes the oldest entry; waits up to timeout for one. False when none came.
    bool Pop(TEntry& entry, std::chrono::milliseconds timeout);
    int Size() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::condition_variable signal_;
    TEntry ring_[Capacity];
    int head_ = 0; // oldest
    int size_ = 0;
};

} // namespace kavlo
