#pragma once
#include "engine/TStreamInfo.h"

#include <cstdint>
#include <string>

namespace kavlo {

// How the application describes one output of a task (SetOutputFile). The comment of each
// field names the option it is applied as and when; fields are applied in this order.
struct TOutputOptions {
    std::string FileName;               // set to the SetOutputFile file name when empty
    std::string Reserved;               // not read by the engine
    std::string FileFormat;             // f
    int32_t PacketSize = -1;            // packetsize, if > 0
    int32_t MuxRate = -1;               // muxrate, if > 0
    float MuxDelay = -1.0f;             // muxdelay (s), if > 0
    float MuxPreload = -1.0f;           // muxpreload (s), if > 0
    std::string AudioCodec;             // default acodec
    std::string AudioPreset;            // default apre
    bool DisableAudio = false;          // an, if true
    int32_t Volume = -1;                // vol, if >= 0
    int32_t AudioChannels = -1;         // ac, if > 0
    int32_t AudioSampleRate = -1;       // ar, if > 0
    int32_t AudioBitrate = -1;          // ab, if > 0
    int32_t AudioBitrateTolerance = -1; // abt, if > 0
    std::string AudioLanguage;          // alang, always
    int32_t AudioSync = 0;              // async, always
    std::string AudioTag;               // atag
    std::string VideoCodec;             // default vcodec
    std::string VideoPreset;            // default vpre
    bool DisableVideo = false;          // vn, if true
    std::string FrameRate;              // r
    std::string FrameSize;              // default s
    std::string AspectRatio;            // aspect
    int32_t CropTop = -1;               // croptop, if > 0
    int32_t CropBottom = -1;            // cropbottom, if > 0
    int32_t CropLeft = -1;              // cropleft, if > 0
    int32_t CropRight = -1;             // cropright, if > 0
    int32_t GOPSize = -1;               // g, if > 0
    int32_t VideoBitrate = -1;          // vb, if > 0
    int32_t MaxRate = -1;               // maxrate, if > 0
    int32_t MinRate = -1;               // minrate, if > 0
    int32_t VideoBitrateTolerance = -1; // bt, if > 0
    int32_t BufSize = -1;               // bufsize, if > 0
    int32_t VideoSync = -1;             // vsync, always
    std::string VideoTag;               // vtag
    std::string VideoFilters;           // default vf
    std::string VideoLanguage;          // vlang, always
    std::string SubtitleCodec;          // default scodec
    std::string SubtitlePreset;         // default spre
    bool DisableSubtitle = false;       // sn, if true
    std::string SubtitleLanguage;       // slang, always
    bool InputSync = false;             // isync, always
    bool CopyTimestamps = false;        // copyts, if true
    int64_t StartTime = INT64_MIN;      // ss (µs), unless the no-value time
    int64_t RecordingTime = INT64_MIN;  // t (µs), unless the no-value time
    TStreamInfo Metadata;               // metadata of the output file
    int32_t TargetType = 0;             // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
    int32_t TargetNorm = 0;             // 0 "auto", 1 "pal", 2 "ntsc"
    int32_t DefaultNorm = 1;            // 1 "pal", any other "ntsc"
    bool HookEnabled = false;           // the task raises OnCustomHook for every video frame
    bool Join = false;                  // no effect: a task has a single input
    std::string ExtOptions;             // further options, lines name=value
};

} // namespace kavlo
