#include "probe/StreamRotation.h"

#include <cmath>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace kavlo {

int DisplayMatrixRotation(const int32_t* matrix) {
    if (!matrix)
        return 0;
    // The library answers counter-clockwise degrees in [-180, 180] (the matrix maps stored
    // pixels to display positions with y pointing down); players turn the picture the other way.
    double ccw = av_display_rotation_get(matrix);
    if (!std::isfinite(ccw))
        return 0;
    double cw = std::fmod(-ccw, 360.0);
    if (cw < 0)
        cw += 360.0;
    double quarters = std::round(cw / 90.0);
    // A tilt of a few degrees is not a quarter turn; showing such a picture upright is closer
    // to the intent than turning it by 90 degrees.
    if (std::fabs(cw - quarters * 90.0) > 10.0)
        return 0;
    return static_cast<int>(quarters) % 4 * 90;
}

int StreamRotation(const AVStream* stream) {
    if (!stream)
        return 0;
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(int32_t))
        return 0;
    return DisplayMatrixRotation(reinterpret_cast<const int32_t*>(data));
}

} // namespace kavlo
