#pragma once

namespace kavlo {

// Priority of a conversion worker thread.
enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Applies the priority to the calling thread: idle runs under SCHED_IDLE, lowest and lower get
// nice 10 and 5, normal nice 0. The higher priorities ask for a negative nice value, which only
// a privileged process gets; without the privilege the thread keeps nice 0. Returns False when
// the scheduler refused the request.
bool ApplyThreadPriority(TThreadPriority priority);

// The nice value the priority asks for (the idle class aside).
int NiceValueFor(TThreadPriority priority);

} // namespace kavlo
