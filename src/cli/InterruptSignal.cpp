#include "cli/InterruptSignal.h"

#include <csignal>

namespace kavlo::cli {

namespace {

volatile std::sig_atomic_t gCaught = 0;
struct sigaction gOldInt {};
struct sigaction gOldTerm {};

extern "C" void OnSignal(int sig) {
    if (gCaught == 0)
        gCaught = sig;
    // The next signal of this kind takes its default course.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
}

} // namespace

InterruptSignal::InterruptSignal() {
    gCaught = 0;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // Interrupted system calls of the workers (file writes) carry on instead of failing.
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, &gOldInt);
    sigaction(SIGTERM, &sa, &gOldTerm);
}

InterruptSignal::~InterruptSignal() {
    sigaction(SIGINT, &gOldInt, nullptr);
    sigaction(SIGTERM, &gOldTerm, nullptr);
}

int InterruptSignal::Caught() {
    return static_cast<int>(gCaught);
}

int InterruptSignal::ExitStatus() {
    return gCaught ? 128 + static_cast<int>(gCaught) : 0;
}

} // namespace kavlo::cli
