#include "player/PlayerEventRing.h"

namespace kavlo {

void PlayerEventRing::Push(const TEntry& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (size_ > 0) {
        TEntry& newest = ring_[(head_ + size_ - 1) % Capacity];
        if (newest.kind == entry.kind) {
            newest = entry;
            signal_.notify_one();
            return;
        }
    }
    if (size_ == Capacity) {
        head_ = (head_ + 1) % Capacity;
        --size_;
    }
    ring_[(head_ + size_) % Capacity] = entry;
    ++size_;
    signal_.notify_one();
}

bool PlayerEventRing::Pop(TEntry& entry, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!signal_.wait_for(lock, timeout, [&] { return size_ > 0; }))
        return false;
    entry = ring_[head_];
    head_ = (head_ + 1) % Capacity;
    --size_;
    return true;
}

int PlayerEventRing::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_;
}

void PlayerEventRing::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    head_ = 0;
    size_ = 0;
}

} // namespace kavlo
