#pragma once

namespace kavlo::cli {

// Catches SIGINT and SIGTERM so that a batch can be stopped cleanly: the handler only notes the
// signal; the program's wait loop sees it and stops the engine, which closes every output
// properly. A second signal of the same kind ends the process at once (the handler steps aside
// after the first), so a hung stop can still be broken off.
class InterruptSignal {
public:
    InterruptSignal();
    ~InterruptSignal();
    InterruptSignal(const InterruptSignal&) = delete;
    InterruptSignal& operator=(const InterruptSignal&) = delete;

    // The signal number caught, 0 while none came.
    static int Caught();
    // The exit status for a caught signal: 128 + its number (130 for SIGINT).
    static int ExitStatus();
};

} // namespace kavlo::cli
