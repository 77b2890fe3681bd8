#pragma once
#include "core/Bitmap24.h"
#include "engine/TOptionState.h"

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct AVCodec;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;

namespace kavlo {

class TPauseGate;

// Everything one run of the transcode step works on: the task's opened files, its streams and
// the option values of the run. The task fills it just before the run; the transcoder never
// reaches back into the task, so the step can be driven by any owner of opened files.

struct TTranscodeInputFile {
    AVFormatContext* Context = nullptr;
    // Microseconds added to every timestamp of this input; the packet loop moves it when the
    // input's timestamps jump.
    int64_t TsOffset = 0;
    // Per stream: timestamp scale (0 = none) and the decoder forced by name (null = default).
    std::vector<double> TsScale;
    std::vector<const AVCodec*> ForcedDecoders;
};

struct TTranscodeOutputStream {
    // Configured but not opened; null for stream copy. Owned by the task.
    AVCodecContext* Encoder = nullptr;
    const AVCodec* ForcedEncoder = nullptr;
    bool Copy = false;
    // Bitstream filters in order, each "name" or "name=arguments".
    std::vector<std::string> BitstreamFilters;
};

struct TTranscodeOutputFile {
    AVFormatContext* Context = nullptr;
    std::vector<TTranscodeOutputStream> Streams; // one per stream of Context, same order
};

constexpr int kFrameLimitUnlimited = INT_MAX;
constexpr int64_t kRecordingTimeUnlimited = INT64_MAX;

struct TTranscodeOptions {
    int64_t RecordingTime = kRecordingTimeUnlimited; // t (us)
    int64_t StartTime = 0;                           // ss (us)
    int VideoSync = -1;                              // vsync
    int AudioSync = 0;                               // async
    double AudioDriftThreshold = 0.1;                // adrift_threshold (s)
    bool CopyTimestamps = false;                     // copyts
    bool Shortest = false;
    double DtsDeltaThreshold = 10.0; // s
    int ProgramId = 0;
    int CopyInitialNonKeyFrames = 0; // copyinkf
    bool RateEmulation = false;      // re
    int AudioVolume = 256;           // vol
    bool ExitOnError = false;        // xerror
    int Verbosity = 1;               // v
    bool InputSync = false;          // isync
    int64_t FileSizeLimit = 0;       // fs (bytes, 0 = none)
    // vframes, aframes, dframes, and the subtitle limit.
    std::array<int, 4> FrameLimits{kFrameLimitUnlimited, kFrameLimitUnlimited, kFrameLimitUnlimited,
                                   kFrameLimitUnlimited};
    bool Dump = false;
    bool Hex = false;
    bool Deinterlace = false;
    int TopFieldFirst = -1; // top
    int MeThreshold = 0;
    bool SameQuality = false; // sameq
    bool QpHistogram = false; // qphist
    int CropTop = 0;
    int CropBottom = 0;
    int CropLeft = 0;
    int CropRight = 0;
    std::string VideoFilters;      // vfilters / vf
    std::string StatsFileName;     // vstats / vstats_file
    std::string PassLogFilePrefix; // passlogfile (empty = "ffmpeg2pass")
    int ScalerFlags = 4;           // sws_flags of the scaler option set (bicubic)
    bool HookModulesActive = false;
    int PreviewFlags = 0;              // bit 1 preview window, bit 2 preview bitmaps
    int64_t PreviewInterval = 100000;  // us
    int64_t ProgressInterval = 500000; // us
    int64_t TotalDuration = -1;        // us, reported with progress
};

struct TTranscodeCallbacks {
    // OnCustomHook: the decoded frame as a bitmap, frame number, pts (us), in/out update and stop.
    std::function<void(Bitmap24& bitmap, int frameNumber, int64_t pts, bool& update, bool& stopHook)>
        CustomHook;
    // OnPreviewBitmap: the encoded picture, frame number, pts (us).
    std::function<void(const Bitmap24& bitmap, int frameNumber, int64_t pts)> PreviewBitmap;
    // The task's preview window; False when the user closed it.
    std::function<bool(const Bitmap24& bitmap, int frameNumber, int64_t pts)> PreviewWindow;
    // Frame-hook modules: called with the working picture (data, format, size, pts in us).
    std::function<void(AVFrame* picture, int64_t pts)> FrameHookProcess;
    // The task's current preview flags, and dropping flags after a failed preview.
    std::function<int()> PreviewFlags;
    std::function<void(int bits)> DropPreviewFlags;
    // Progress: file index, frame number, fps, quality, bitrate, size, current time, total duration.
    std::function<void(int fileIndex, int frameNumber, int fps, float quality, float bitRate, int64_t size,
                       int64_t currentTime, int64_t totalDuration)>
        Progress;
    // Copies the task's generic codec options (flags: AV_OPT_FLAG_*) into a codec context.
    std::function<void(AVCodecContext* ctx, int flags)> CopyCodecOptions;
};

struct TTranscodeJob {
    void* Sender = nullptr; // the task, as the sender of log messages
    std::vector<TTranscodeInputFile> Inputs;
    std::vector<TTranscodeOutputFile> Outputs;
    std::vector<TStreamMap> StreamMaps;
    std::vector<TMetaDataMap> MetaDataMaps;
    TTranscodeOptions Options;
    TTranscodeCallbacks Callbacks;
    // Stop request, read before every packet and in the duplicate loop.
    const std::atomic<bool>* Break = nullptr;
    // Passed between packets; null = never paused.
    TPauseGate* Gate = nullptr;
    // Video frames that reached the hook point during this run (frame number of hooks and previews).
    int DecodedVideoFrames = 0;
    // Set by the finish: the run ended without a stop request.
    bool Finished = false;
};

} // namespace kavlo
