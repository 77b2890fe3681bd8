#pragma once
#include <cstdint>
#include <string>

namespace kavlo {

// Facts of one video stream. Numbers are -1 when the file does not tell. Width, Height and
// DisplayAspectRatio describe the picture as stored; Rotation says how a player turns it for
// showing (see UprightSize).
struct TVideoStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StartTime = -1;      // stream time base
    int64_t StartTimeMicro = -1; // microseconds
    int64_t Duration = -1;       // stream time base
    int64_t DurationMicro = -1;  // microseconds
    int BitRate = -1;            // bit/s
    int Height = -1;
    int Width = -1;
    float DisplayAspectRatio = -1.0f; // sample aspect ratio * Width / Height
    int PixelFormat = -1;             // AVPixelFormat
    int FrameRateNum = -1;            // the stream's real base frame rate
    int FrameRateDen = -1;
    int Rotation = 0; // clockwise degrees a player turns the picture: 0, 90, 180 or 270
};

// The picture as a viewer sees it after rotation.
struct TUprightSize {
    int Width = -1;
    int Height = -1;
    float DisplayAspectRatio = -1.0f;
};

// Width and height (and the aspect ratio inverted) swapped for a quarter turn, unchanged
// otherwise; unknown values stay unknown.
TUprightSize UprightSize(const TVideoStreamInfo& info);

} // namespace kavlo
