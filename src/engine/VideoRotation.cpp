#include "engine/VideoRotation.h"

#include "probe/StreamRotation.h"

#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

namespace kavlo {

std::string UprightFilterChain(const AVStream* stream) {
    if (!stream)
        return {};
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(int32_t))
        return {};
    const auto* m = reinterpret_cast<const int32_t*>(data);
    switch (StreamRotation(stream)) {
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
