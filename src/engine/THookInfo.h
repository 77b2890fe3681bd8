#pragma once
#include <cstdint>

namespace kavlo {

class Bitmap24;

// Filled for every decoded video frame of a task that asked for the hook.
struct THookInfo {
    int32_t TaskIndex = 0;
    Bitmap24* Bitmap = nullptr; // the frame, 24-bit, at its own size
    int32_t FrameNumber = 0;    // video frames of this task that passed the hook point
    int64_t PTS = 0;            // frame time in µs
    bool Update = true;         // in/out: true on return writes the bitmap back into the frame
    bool StopHook = false;      // in/out: true on return stops the hook for the rest of the task
};

} // namespace kavlo
