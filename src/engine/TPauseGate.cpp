#include "engine/TPauseGate.h"

namespace kavlo {

void TPauseGate::Pause() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = true;
}

void TPauseGate::Resume() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = false;
    }
    changed_.notify_all();
}

bool TPauseGate::Paused() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paused_;
}

void TPauseGate::Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !paused_; });
}

} // namespace kavlo
