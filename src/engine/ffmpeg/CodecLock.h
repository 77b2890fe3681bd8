#pragma once
#include <mutex>

namespace kavlo {

// The one process-wide lock held around every codec open and close and every
// stream-information probe of tasks, the probe and the players: those library calls are not
// safe to run concurrently.
std::mutex& CodecLock();

} // namespace kavlo
