#include "engine/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kavlo {

int NiceValueFor(TThreadPriority priority) {
    switch (priority) {
    case TThreadPriority::tpIdle:
        return 19;
    case TThreadPriority::tpLowest:
        return 10;
    case TThreadPriority::tpLower:
        return 5;
    case TThreadPriority::tpNormal:
        return 0;
    case TThreadPriority::tpHigher:
        return -5;
    case TThreadPriority::tpHighest:
        return -10;
    case TThreadPriority::tpTimeCritical:
        return -15;
    }
    return 0;
}

bool ApplyThreadPriority(TThreadPriority priority) {
    // On Linux a nice value set for a thread id applies to that thread alone.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    bool ok = true;
    if (priority == TThreadPriority::tpIdle) {
        sched_param param{};
        param.sched_priority = 0;
        ok = pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) == 0;
        ::setpriority(PRIO_PROCESS, tid, NiceValueFor(priority));
        return ok;
    }
    if (::setpriority(PRIO_PROCESS, tid, NiceValueFor(priority)) != 0) {
        ok = false;
        if (NiceValueFor(priority) < 0)
            ::setpriority(PRIO_PROCESS, tid, 0);
    }
    return ok;
}

} // namespace kavlo
