#include "engine/AudioSync.h"

#include <algorithm>
#include <cmath>

namespace kavlo {

TAudioSyncDecision DecideAudioSync(int async, double driftThreshold, double syncTime, int sampleRate,
                                   int64_t outputPosition, int64_t pendingSamples, bool atStart) {
    TAudioSyncDecision d;
    if (async == 0) {
        d.Action = TAudioSyncDecision::Rebase;
        d.OutputPosition = std::llround(syncTime * sampleRate) - pendingSamples;
        return d;
    }
    const double delta = syncTime * sampleRate - static_cast<double>(outputPosition + pendingSamples);
    d.Delta = delta;
    // Drifts of up to 50 samples are left alone: they are below what anyone hears.
    if (std::fabs(delta) <= 50)
        return d;
    if (atStart || std::fabs(delta) > driftThreshold * sampleRate) {
        const auto samples = static_cast<int64_t>(std::trunc(delta));
        if (samples < 0) {
            d.Action = TAudioSyncDecision::Discard;
            d.Samples = -samples;
        } else if (samples > 0) {
            d.Action = TAudioSyncDecision::Pad;
            d.Samples = samples;
        }
        return d;
    }
    if (async > 1) {
        d.Action = TAudioSyncDecision::Compensate;
        const double limit = async;
        d.Compensation = static_cast<int>(std::clamp(delta, -limit, limit));
    }
    return d;
}

} // namespace kavlo
