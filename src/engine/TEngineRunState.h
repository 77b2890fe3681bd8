#pragma once
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace kavlo {

// The component's run counters and the threads delivering terminations of a threaded run.
struct TEngineRunState {
    std::recursive_mutex TerminateLock; // the run counters and the termination record
    std::mutex ProgressLock;
    std::mutex HookLock;
    std::mutex PreviewLock;
    int FinishedCount = 0;
    int NextIndex = 0;
    int StillToStart = 0;
    int ParallelCount = 0;
    bool Threaded = false;
    bool EndDelivered = false;
    // Each delivery thread waits for the one before it, so that handlers see terminations in
    // the order they happened.
    struct Delivery {
        std::thread Thread;
        std::shared_future<void> Done;
    };
    std::mutex DeliveryLock;
    std::vector<Delivery> Deliveries;
    std::shared_future<void> LastDelivery;
};

} // namespace kavlo
