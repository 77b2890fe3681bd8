#pragma once
#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

namespace kavlo {

// Limits of one task.
constexpr int kMaxFiles = 20;   // input files, and output files
constexpr int kMaxStreams = 20; // streams per file (stream ids, timestamp scales)
constexpr int kMaxStreamMaps = 400;
constexpr int kMaxMetaDataMaps = 20;

// Option "map": output stream <- input File.Stream, synchronised to SyncFile.SyncStream.
struct TStreamMap {
    int File = 0;
    int Stream = 0;
    int SyncFile = 0;
    int SyncStream = 0;
};

// Option "map_meta_data": metadata of input In goes into output Out.
struct TMetaDataMap {
    int Out = 0;
    int In = 0;
};

// The plain values of a task's option state. A default-constructed state is the state after
// Init: every member initialiser below is that value's reset value. Values set before an input
// or output is opened apply to it; the set-up resets the per-file ones after each open.
struct TOptionState {
    std::string forcedFormat; // f: consumed by the next open
    bool pgmyuv = false;      // f=pgmyuv was asked for (read as image2 + pgmyuv decoder)

    std::vector<TStreamMap> streamMaps;     // at most kMaxStreamMaps
    std::vector<TMetaDataMap> metaDataMaps; // at most kMaxMetaDataMaps

    // Video.
    int frameWidth = 0; // s, and the last opened input's video size
    int frameHeight = 0;
    double frameAspectRatio = 0.0; // aspect
    int framePixFmt = -1;          // pix_fmt (AVPixelFormat, -1 none)
    int cropTop = 0, cropBottom = 0, cropLeft = 0, cropRight = 0;
    // Frame limits by media type: video, audio, data, subtitle.
    int maxFrames[4] = {INT_MAX, INT_MAX, INT_MAX, INT_MAX};
    AVRational frameRate = {0, 0};     // r, and the last opened input's rate; 0/0 not set
    float videoQScale = 0.0f;          // qscale
    std::vector<uint16_t> intraMatrix; // 64 coefficients when set
    std::vector<uint16_t> interMatrix;
    std::string rcOverride; // rc_override text; empty none
    bool intraOnly = false;
    bool videoDisable = false;
    int videoDiscard = 0; // vdt (AVDiscard)
    std::string videoCodecName;
    uint32_t videoCodecTag = 0;
    std::string videoLanguage;
    bool sameQuality = false;
    bool deinterlace = false;
    int topFieldFirst = -1;
    int meThreshold = 0;
    int intraDcPrecision = 8;
    bool qpHist = false;
    std::string videoFilters; // vfilters / vf

    // Input and output looping.
    bool loopInput = false;
    int loopOutput = -1; // -1 no loop

    // Audio.
    int audioSampleRate = 44100;
    float audioQScale = -99999.0f; // not set
    bool audioDisable = false;
    int audioChannels = 2;
    uint64_t audioChannelLayout = 0; // the last opened input's layout mask (0 unknown)
    int audioSampleFmt = -1;         // sample_fmt (AVSampleFormat, -1 none)
    std::string audioCodecName;
    uint32_t audioCodecTag = 0;
    std::string audioLanguage;

    // Subtitles.
    bool subtitleDisable = false;
    std::string subtitleCodecName;
    std::string subtitleLanguage;
    uint32_t subtitleCodecTag = 0;

    // Muxing and times (µs unless stated).
    float muxPreload = 0.5f;  // s
    float muxMaxDelay = 0.7f; // s
    int64_t recordingTime = INT64_MAX;
    int64_t startTime = 0;
    int64_t recordingTimestamp = 0; // seconds since 1970 (timestamp)
    int64_t inputTsOffset = 0;      // itsoffset
    std::vector<std::pair<std::string, std::string>> metadata;

    bool dumpPackets = false; // dump
    bool hexDump = false;     // hex
    bool psnr = false;
    int pass = 0;
    std::string passLogFile; // prefix; empty: "ffmpeg2pass"

    bool videoStreamCopy = false;
    bool audioStreamCopy = false;
    bool subtitleStreamCopy = false;

    int videoSyncMethod = -1; // automatic
    int audioSyncMethod = 0;
    double audioDriftThreshold = 0.1;
    bool copyTs = false;
    bool shortest = false;
    int videoGlobalHeader = 0;
    int videoChannel = 0;
    std::string tvStandard;
    int programId = 0;
    int copyInitialNonKeyFrames = 0;
    bool rateEmulation = false; // re
    int audioVolume = 256;      // vol, 256 neutral
    bool exitOnError = false;
    bool usingVhook = false;
    int verbosity = 1; // v
    bool inputSync = false;
    int64_t limitFileSize = 0; // fs, bytes; 0 none
    bool forceFps = false;
    double dtsDeltaThreshold = 10.0; // s
    std::string vstatsFileName;      // empty: no statistics file

    // Bitstream filter chains waiting for the next stream of their kind: "name" or "name=args".
    std::vector<std::string> videoBitstreamFilters;
    std::vector<std::string> audioBitstreamFilters;
    std::vector<std::string> subtitleBitstreamFilters;

    // itsscale per input file and stream (0: none).
    double inputTsScale[kMaxFiles][kMaxStreams] = {};
    // streamid per output stream index of the next output (cleared after each output open).
    int streamIdMap[kMaxStreams] = {};

    int encoderBufferSize = 262144; // bytes
    int64_t totalDuration = -1;     // reported to progress; t, or the input's duration
};

} // namespace kavlo
