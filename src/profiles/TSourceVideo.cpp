#include "profiles/TSourceVideo.h"

#include "probe/TAVProbe.h"
#include "probe/TVideoStreamInfo.h"

namespace kavlo {

TSourceVideo SourceVideoOf(TAVProbe& probe) {
    TSourceVideo source;
    if (probe.VideoStreamCount() < 1)
        return source;
    source.VideoStreamCount = probe.VideoStreamCount();
    TVideoStreamInfo info;
    if (!probe.GetVideoStreamInfo(probe.FirstVideoStreamIndex(), info))
        return source;
    // A phone clip stored sideways with a quarter-turn matrix is converted upright, so its
    // frame size is the turned one.
    const TUprightSize upright = UprightSize(info);
    source.Width = upright.Width;
    source.Height = upright.Height;
    source.BitRate = info.BitRate;
    return source;
}

} // namespace kavlo
