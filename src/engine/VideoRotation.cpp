#include "engine/VideoRotation.h"

#include <cmath>
#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace kavlo {

namespace {

const int32_t* DisplayMatrix(const AVStream* stream) {
    if (!stream)
        return nullptr;
    size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix || size < 9 * sizeof(int32_t))
        return nullptr;
    return reinterpret_cast<const int32_t*>(matrix);
}

// Clockwise degrees in [0, 360).
double ClockwiseAngle(const int32_t* matrix) {
    double theta = -std::round(av_display_rotation_get(matrix));
    if (std::isnan(theta))
        return 0;
    theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
    return theta;
}

} // namespace

int DisplayRotation(const AVStream* stream) {
    const int32_t* matrix = DisplayMatrix(stream);
    if (!matrix)
        return 0;
    int turn = static_cast<int>(std::lround(ClockwiseAngle(matrix) / 90.0)) * 90;
    return ((turn % 360) + 360) % 360;
}

std::string UprightFilterChain(const AVStream* stream) {
    const int32_t* m = DisplayMatrix(stream);
    if (!m)
        return {};
    switch (DisplayRotation(stream)) {
    case 90:
        return m[3] > 0 ? "transpose=cclock_flip" : "transpose=clock";
    case 180: {
        std::string chain;
        if (m[0] < 0)
            chain = "hflip";
        if (m[4] < 0)
            chain += chain.empty() ? "vflip" : ",vflip";
        return chain;
    }
    case 270:
        return m[3] < 0 ? "transpose=clock_flip" : "transpose=cclock";
    default:
        return m[4] < 0 ? "vflip" : std::string();
    }
}

} // namespace kavlo
