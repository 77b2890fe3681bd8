#include "player/PlayerTiming.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/avutil.h>
}

namespace kavlo {

void TReorderStats::Reset() {
    faultyPts = 0;
    faultyDts = 0;
    lastPts = AV_NOPTS_VALUE;
    lastDts = AV_NOPTS_VALUE;
}

int64_t TReorderStats::Choose(int64_t pts, int64_t dts, int reorderMode) {
    if (dts != AV_NOPTS_VALUE) {
        if (lastDts != AV_NOPTS_VALUE && dts <= lastDts)
            ++faultyDts;
        lastDts = dts;
    }
    if (pts != AV_NOPTS_VALUE) {
        if (lastPts != AV_NOPTS_VALUE && pts <= lastPts)
            ++faultyPts;
        lastPts = pts;
    }
    const bool usePts =
        reorderMode == 1 || (reorderMode == -1 && faultyPts <= faultyDts) || dts == AV_NOPTS_VALUE;
    if (usePts && pts != AV_NOPTS_VALUE)
        return pts;
    if (dts != AV_NOPTS_VALUE)
        return dts;
    return pts;
}

bool TFrameSkip::Take() {
    counter += 1.0;
    if (counter >= factor) {
        counter -= factor;
        return true;
    }
    return false;
}

void TFrameSkip::QueueFull() {
    factor = std::max(factor * 0.95, 1.0);
}

double TFrameDelay::Next(double pts, bool syncToMaster, double diff) {
    double delay = pts - lastPts;
    if (delay <= 0 || delay >= 10.0)
        delay = lastDelay;
    else
        lastDelay = delay;
    lastPts = pts;
    if (syncToMaster) {
        const double threshold = std::max(0.01, delay);
        if (std::fabs(diff) < 10.0) {
            if (diff <= -threshold)
                delay = 0;
            else if (diff >= threshold)
                delay = 2 * delay;
        }
    }
    return delay;
}

void TAudioDiffAverage::Setup(int sampleRate) {
    coefficient = std::exp(std::log(0.01) / 20.0);
    threshold = sampleRate > 0 ? 2.0 * 1024.0 / sampleRate : 0.0;
    Reset();
}

int TAudioDiffAverage::WantedSize(int size, double diff, int sampleRate, int channels) {
    if (!std::isfinite(diff) || std::fabs(diff) >= 10.0) {
        // Too far apart to be a drift: a seek or a broken time stamp.
        Reset();
        return size;
    }
    cumulative = diff + coefficient * cumulative;
    if (count < 20) {
        ++count;
        return size;
    }
    const double average = cumulative * (1.0 - coefficient);
    if (std::fabs(average) < threshold)
        return size;
    const int frameBytes = 2 * channels;
    int wanted = size + static_cast<int>(std::lround(diff * sampleRate)) * frameBytes;
    const int minSize = size * 90 / 100 / frameBytes * frameBytes;
    const int maxSize = size * 110 / 100 / frameBytes * frameBytes;
    return std::clamp(wanted, minSize, maxSize);
}

void AdjustAudioChunk(uint8_t* buffer, int size, int wanted, int channels) {
    const int frameBytes = 2 * channels;
    if (wanted <= size || size < frameBytes)
        return;
    const uint8_t* last = buffer + size - frameBytes;
    for (uint8_t* p = buffer + size; p + frameBytes <= buffer + wanted; p += frameBytes)
        std::memcpy(p, last, frameBytes);
}

} // namespace kavlo
