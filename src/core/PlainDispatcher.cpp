#include "core/PlainDispatcher.h"

#include <atomic>
#include <exception>

namespace kavlo {

struct PlainDispatcher::Call {
    const std::function<void()>* fn;
    std::exception_ptr error;
    bool finished = false;
};

PlainDispatcher::PlainDispatcher() : main_(std::this_thread::get_id()) {}

void PlainDispatcher::SetMainThread(std::thread::id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    main_ = id;
}

bool PlainDispatcher::IsMainThread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::this_thread::get_id() == main_;
}

void PlainDispatcher::SyncCall(const std::function<void()>& fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    Call call{&fn, nullptr, false};
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(&call);
    arrived_.notify_all();
    done_.wait(lock, [&] { return call.finished; });
    if (call.error)
        std::rethrow_exception(call.error);
}

bool PlainDispatcher::RunOne(std::unique_lock<std::mutex>& lock) {
    if (queue_.empty())
        return false;
    Call* c = queue_.front();
    queue_.pop_front();
    lock.unlock();
    try {
        (*c->fn)();
    } catch (...) {
        c->error = std::current_exception();
    }
    lock.lock();
    c->finished = true;
    done_.notify_all();
    return true;
}

void PlainDispatcher::ProcessPending() {
    if (!IsMainThread())
        return;
    std::unique_lock<std::mutex> lock(mutex_);
    while (RunOne(lock)) {
    }
}

void PlainDispatcher::WaitAndProcess(std::chrono::milliseconds timeout) {
    if (!IsMainThread())
        return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.empty())
        arrived_.wait_for(lock, timeout, [&] { return !queue_.empty(); });
    while (RunOne(lock)) {
    }
}

namespace {
// Built during static initialisation, so on the thread that runs main().
PlainDispatcher gPlain;
std::atomic<Dispatcher*> gCurrent{nullptr};
} // namespace

Dispatcher& CurrentDispatcher() {
    Dispatcher* d = gCurrent.load();
    return d ? *d : gPlain;
}

void SetDispatcher(Dispatcher* d) { gCurrent.store(d); }

void SyncCall(const std::function<void()>& fn) { CurrentDispatcher().SyncCall(fn); }

void ProcessPendingMessages() { CurrentDispatcher().ProcessPending(); }

} // namespace kavlo
