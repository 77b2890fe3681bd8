#include "probe/TVideoStreamInfo.h"

namespace kavlo {

TUprightSize UprightSize(const TVideoStreamInfo& info) {
    TUprightSize size{info.Width, info.Height, info.DisplayAspectRatio};
    if (info.Rotation == 90 || info.Rotation == 270) {
        size.Width = info.Height;
        size.Height = info.Width;
        if (info.DisplayAspectRatio > 0)
            size.DisplayAspectRatio = 1.0f / info.DisplayAspectRatio;
    }
    return size;
}

} // namespace kavlo
