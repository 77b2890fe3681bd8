#pragma once

namespace kavlo {

class TAVProbe;

// What the job option builder needs to know about a source: the number of video streams and,
// for the first one, its upright size (as a viewer sees it after the stream's rotation) and bit
// rate.
struct TSourceVideo {
    int VideoStreamCount = 0;
    int Width = -1;
    int Height = -1;
    int BitRate = -1; // bit/s, -1 when unknown
};

// The facts of a probe that has the source open; a closed probe reports no video.
TSourceVideo SourceVideoOf(TAVProbe& probe);

} // namespace kavlo
