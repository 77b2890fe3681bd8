#pragma once
#include <cstdint>

namespace kavlo {

// Filled immediately before OnProgress; valid only during the call.
struct TProgressInfo {
    int32_t TaskIndex = 0;
    int32_t FileIndex = 0;       // input the last packet came from; -1 in the task's final report
    int32_t FrameNumber = 0;     // frames encoded on the first video output; -1 without video
    int32_t FPS = 0;             // -1 without video
    float Quality = -1.0f;       // lambda / 118 of the last picture; -1 when unknown
    float BitRate = 0.0f;        // kbit/s
    int64_t CurrentSize = 0;     // bytes written to the first output
    int64_t CurrentDuration = 0; // µs of output produced
    int64_t TotalDuration = -1;  // µs to convert; -1 when unknown
};

} // namespace kavlo
