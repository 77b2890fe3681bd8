#pragma once
#include <cstdint>

namespace kavlo {

// Video sync methods of option vsync.
constexpr int kVideoSyncAuto = -1;
constexpr int kVideoSyncOff = 0;
constexpr int kVideoSyncConstant = 1;
constexpr int kVideoSyncVariable = 2;

// What to do with one decoded frame on one output stream.
struct TVideoSyncDecision {
    int Frames = 1;             // 0 = drop, 1 = write once, n > 1 = write n times
    int64_t OutputPosition = 0; // output position to encode the frame at (possibly re-based)
};

// idealPosition: the frame's time as a (fractional) position in encoder frames; outputPosition:
// frames written so far. variableRateFormat: the muxer declares variable frame rate, which the
// automatic method follows.
TVideoSyncDecision DecideVideoSync(double idealPosition, int64_t outputPosition, int vsync,
                                   bool variableRateFormat);

} // namespace kavlo
