#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kavlo {

// A manual-reset signal: stays set until reset, and every waiter passes while it is set.
class TSignal {
public:
    explicit TSignal(bool initiallySet = true) : set_(initiallySet) {}
    void Set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = false;
    }
    bool IsSet() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return set_;
    }
    // True when the signal was set within the timeout.
    bool WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return set_; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool set_;
};

} // namespace kavlo
