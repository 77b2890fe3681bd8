#pragma once
#include <cstdint>
#include <string>

namespace kavlo {

// Facts of one audio stream. Numbers are -1 when the file does not tell.
struct TAudioStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StartTime = -1;      // stream time base
    int64_t StartTimeMicro = -1; // microseconds
    int64_t Duration = -1;       // stream time base
    int64_t DurationMicro = -1;  // microseconds
    int BitRate = -1;            // bit/s
    int Channels = -1;
    int SampleRate = -1;
    int SampleFormat = -1; // AVSampleFormat
};

} // namespace kavlo
