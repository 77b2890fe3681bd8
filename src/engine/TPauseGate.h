#pragma once
#include <condition_variable>
#include <mutex>

namespace kavlo {

// Holds a worker at a safe point while its task is paused. The worker passes the gate between
// packets, holding no other lock, so a paused task keeps its resources but never blocks the
// codec lock or the logger of another thread.
class TPauseGate {
public:
    void Pause();
    void Resume();
    bool Paused() const;
    // Blocks while the gate is closed; returns at once when it is open.
    void Pass();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool paused_ = false;
};

} // namespace kavlo
