#pragma once
#include "core/Dispatcher.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace kavlo {

// Queue-backed dispatcher for programs and tests without an event loop: the main thread is the
// one that created it (or the one named by SetMainThread), and it runs queued calls whenever it
// calls ProcessPending or WaitAndProcess.
class PlainDispatcher : public Dispatcher {
public:
    PlainDispatcher();
    void SetMainThread(std::thread::id id);
    bool IsMainThread() const override;
    void SyncCall(const std::function<void()>& fn) override;
    void ProcessPending() override;
    void WaitAndProcess(std::chrono::milliseconds timeout) override;

private:
    struct Call;
    bool RunOne(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::condition_variable done_;
    std::deque<Call*> queue_;
    std::thread::id main_;
};

} // namespace kavlo
