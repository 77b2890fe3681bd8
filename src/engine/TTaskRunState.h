#pragma once
#include "engine/TPauseGate.h"
#include "engine/TSignal.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace kavlo {

// The run flags of one task and the threads that carry its run.
struct TTaskRunState {
    std::atomic<bool> Running{false};
    std::atomic<bool> Break{false};    // stop requested
    std::atomic<bool> Finished{false}; // the conversion ran to its end without a stop request
    std::atomic<bool> Terminated{false};
    std::atomic<bool> Failed{false};
    std::string ErrorMessage; // written by the thread that runs the body, before the termination
    // Guards the choice between starting the task and terminating it unstarted.
    std::mutex StartLock;
    bool Claimed = false; // started, or given to a termination thread
    std::thread Worker;   // guarded by StartLock
    std::atomic<bool> InThread{false};
    // The thread running the body (the caller's in a synchronous run).
    std::atomic<std::thread::id> BodyThread{};
    std::thread TerminateThread; // terminates a never-started task on Stop
    TSignal WorkerIdle{true};
    TSignal TerminateIdle{true};
    TPauseGate Gate;
    std::atomic<bool> Paused{false};
    int64_t ProgressInterval = 500000; // us
    int HookFrameCounter = 0;
};

} // namespace kavlo
