#pragma once
#include <chrono>
#include <functional>

namespace kavlo {

// Runs work on the program's main thread. Workers hand procedures to it and wait; the main
// thread runs them whenever it services pending calls. The windows install a Qt-backed
// dispatcher; programs without Qt use the plain one, which is the default.
class Dispatcher {
public:
    virtual ~Dispatcher() = default;
    virtual bool IsMainThread() const = 0;
    // Runs fn on the main thread and returns when it has run; an exception it throws is
    // rethrown here. Called on the main thread it runs fn directly.
    virtual void SyncCall(const std::function<void()>& fn) = 0;
    // Runs every call that is waiting, on the main thread; does nothing on another thread.
    virtual void ProcessPending() = 0;
    // Main thread: runs waiting calls, or waits up to timeout for one to arrive.
    virtual void WaitAndProcess(std::chrono::milliseconds timeout) = 0;
};

// The dispatcher in use (the plain one unless another was installed).
Dispatcher& CurrentDispatcher();
// Installs d (nullptr restores the plain one). The caller keeps ownership.
void SetDispatcher(Dispatcher* d);

void SyncCall(const std::function<void()>& fn);
void ProcessPendingMessages();

} // namespace kavlo
