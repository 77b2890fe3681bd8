#include "engine/VideoSync.h"

#include <cmath>

namespace kavlo {

TVideoSyncDecision DecideVideoSync(double idealPosition, int64_t outputPosition, int vsync,
                                   bool variableRateFormat) {
    TVideoSyncDecision d;
    d.OutputPosition = outputPosition;
    if (vsync != kVideoSyncOff) {
        const double offset = idealPosition - static_cast<double>(outputPosition);
        if (offset < -1.1) {
            d.Frames = 0;
        } else if (vsync == kVideoSyncVariable || (vsync < 0 && variableRateFormat)) {
            if (offset <= -0.6)
                d.Frames = 0;
            else if (offset > 0.6)
                d.OutputPosition = std::llround(idealPosition);
        } else if (offset > 1.1) {
            d.Frames = static_cast<int>(std::llround(offset));
        }
    } else {
        d.OutputPosition = std::llround(idealPosition);
    }
    return d;
}

} // namespace kavlo
