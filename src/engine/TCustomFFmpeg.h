#pragma once
#include "engine/FFmpegException.h"
#include "engine/TOptionState.h"
#include "engine/TTaskRunState.h"
#include "engine/ThreadPriority.h"
#include "engine/ffmpeg/FrameHook.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

struct AVCodec;
struct AVCodecContext;
struct AVFormatContext;
struct AVOutputFormat;
struct AVStream;
struct SwsContext;
struct AVDictionary;

namespace kavlo {

class Bitmap24;

// One opened input file.
struct TInputFile {
    AVFormatContext* Context = nullptr;
    int64_t TsOffset = 0; // µs added to its timestamps
};

// One created output file.
struct TOutputFile {
    AVFormatContext* Context = nullptr;
    std::string FileName;     // as the application gave it (a path or a URL)
    bool CreatedFile = false; // the set-up created this file on disk (it did not exist before)
};

// One output stream, over all output files in creation order.
struct TOutputStreamSetup {
    int FileIndex = 0;
    int Index = 0; // within its output file
    AVStream* Stream = nullptr;
    // Encoder settings (allocated for Codec, configured, not opened); null for stream copy.
    AVCodecContext* Encoder = nullptr;
    const AVCodec* Codec = nullptr; // the encoder chosen for this stream; null for stream copy
    bool StreamCopy = false;
    std::vector<std::string> BitstreamFilters; // "name" or "name=args", applied in order
};

// The process-wide lock around preview deliveries and changes of a task's preview flags.
std::mutex& PreviewLock();

// One conversion: the option state of a command-line-style transcoder, the opened input and
// output files, and the transcode step run by a worker. The set-up half (options, presets,
// targets, opening files) runs on the caller's thread before the run.
class TCustomFFmpeg {
public:
    // Notification targets the component installs.
    using THookTarget = std::function<void(TCustomFFmpeg* task, Bitmap24& bitmap, int frameNumber,
                                           int64_t pts, bool& update, bool& stopHook)>;
    using TPreviewBitmapTarget =
        std::function<void(TCustomFFmpeg* task, const Bitmap24& bitmap, int frameNumber, int64_t pts)>;
    using TProgressTarget =
        std::function<void(TCustomFFmpeg* task, int fileIndex, int frameNumber, int fps, float quality,
                           float bitRate, int64_t currentSize, int64_t currentTime, int64_t totalDuration)>;
    using TTerminateTarget = std::function<void(TCustomFFmpeg* task)>;

    // Media types of the option contexts, in library order, and the two others.
    enum TOptionKind { okVideo, okAudio, okData, okSubtitle, okAttachment, okFormat, okScaler, okCount };

    TCustomFFmpeg();
    virtual ~TCustomFFmpeg();
    TCustomFFmpeg(const TCustomFFmpeg&) = delete;
    TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

    // Resets the option state and creates fresh option contexts.
    void Init();

    // ---- options ----
    // Applies one option; refusals raise FFmpegException with the option's message.
    void SetOption(const std::string& name, const std::string& value);
    // Sets a codec, format or scaler option of the libraries; false when no option of that name
    // exists or its value was refused (logged).
    bool SetGenericOption(const std::string& name, const std::string& value);
    // kind: "apre", "vpre", "spre" or "fpre".
    void SetPreset(const std::string& kind, const std::string& value);
    // target "vcd", "svcd", "dvd", "dv", "dv50"; norm "pal", "ntsc", "film" or anything else for
    // guessing; defaultNorm decides when guessing fails.
    void SetTarget(const std::string& target, const std::string& norm, const std::string& defaultNorm);
    // kind 'a', 'v' or 's'; "copy" selects stream copy for that kind.
    void SetCodecName(char kind, const std::string& name);
    // parse_date of the library: duration ([-]HH:MM:SS[.m...] or seconds) or date; µs.
    static int64_t ParseDuration(const std::string& option, const std::string& text, bool asDuration);

    // ---- input and output set-up ----
    // Opens, probes and registers an input; false leaves the reason in SetupError.
    bool OpenInput(const std::string& fileName);
    // Creates an output with the streams the current values ask for; the output count, or -1
    // with the reason in SetupError.
    int OpenOutput(const std::string& fileName, bool join);
    // Adds one stream to the output fileIndex from the current values; raises on failure.
    void AddVideoStream(int fileIndex);
    void AddAudioStream(int fileIndex);
    void AddSubtitleStream(int fileIndex);
    // Closes and frees everything the task opened; an empty output file this task created is
    // removed.
    virtual void Cleanup();

    // Resolves a codec name (through the alias table for encoders) for the media type. An empty
    // name gives true with codec null. Failure: false, the reason in SetupError. The output
    // format, when given, lets an alias pick what that container accepts.
    bool FindCodec(const std::string& name, AVMediaType type, bool encoder, int strictness,
                   const AVCodec*& codec, const AVOutputFormat* outputFormat = nullptr);

    // Format negotiation against an encoder's lists.
    static void ChoosePixelFormat(AVCodecContext* ctx, const AVCodec* codec);
    static void ChooseSampleFormat(AVCodecContext* ctx, const AVCodec* codec);
    static void ChooseSampleRate(AVCodecContext* ctx, const AVCodec* codec);

    // Copies the values of the generic codec options set so far for mediaType into dst, limited
    // to options whose flags include all of flags (AV_OPT_FLAG_ENCODING_PARAM /
    // AV_OPT_FLAG_DECODING_PARAM with the media type's flag). For encoders, the private options
    // of dst's codec recorded for that media type follow.
    void CopyGenericCodecOptions(AVCodecContext* dst, AVMediaType mediaType, int flags) const;
    // Copies the generic format options set so far into dst (flags as above).
    void CopyGenericFormatOptions(AVFormatContext* dst, int flags) const;
    // The scaler flags of the scaler option set ("sws_flags"); 4 (bicubic) by default.
    int ScalerFlags() const;
    SwsContext* ScalerOptions() const { return swsOpts_; }
    AVCodecContext* CodecOptions(AVMediaType type) const;
    AVFormatContext* FormatOptions() const { return formatOpts_; }
    // Names of every generic option set successfully, in order.
    const std::vector<std::string>& SetOptionNames() const { return setNames_; }

    // The name of the output about to be opened: lets options that belong to a muxer or to the
    // container's default encoder be checked before the output exists.
    void SetPendingOutputName(const std::string& fileName) { pendingOutputName_ = fileName; }
    // The output format of the next output: the forced one (f), else the one guessed from the
    // pending name; null when neither says.
    const AVOutputFormat* PendingOutputFormat() const;

    int InputCount() const { return static_cast<int>(inputFiles.size()); }
    int OutputCount() const { return static_cast<int>(outputFiles.size()); }

    // Stores the preview flags (1 preview window, 2 preview bitmaps) under PreviewLock(). The
    // preview path drops its window when bit 1 is off.
    void SetPreviewFlags(int flags);
    int PreviewFlags() const { return previewFlags_; }

    // ---- run cycle (defined with the transcode step) ----
    void Start(bool inThread, TThreadPriority priority);
    void StopTask(bool wait);
    void RequestStop(bool wait);
    void PauseTask();
    void ResumeTask();
    // The body a worker (or the caller, in a synchronous run) runs: transcode, clean up,
    // terminate; each step's error becomes the task's error result.
    void Execute();
    // Running off, Terminated on, the termination notification.
    void DoTerminateStep();
    // The transcode step on the task's files and option state.
    void Transcode();
    TTaskRunState Run;

    // ---- state read by the transcode step ----
    TOptionState opt;
    std::vector<TInputFile> inputFiles;
    // Forced decoder per input stream, in opening order (null: the default decoder).
    std::vector<const AVCodec*> inputCodecs;
    std::vector<TOutputFile> outputFiles;
    std::vector<TOutputStreamSetup> outputStreams;
    // Frame-hook modules (vhook).
    TFrameHookList hookModules;
    // Reason of the last failed OpenInput / OpenOutput.
    std::string setupError;

    THookTarget hookTarget;
    TPreviewBitmapTarget previewBitmapTarget;
    TProgressTarget progressTarget;
    TTerminateTarget terminateTarget;
    // Opaque value the component keeps for itself (its list lookups).
    void* owner = nullptr;

protected:
    // Releases the option contexts and every resource of the option state.
    void FreeOptionContexts();

private:
    void NewStream(char kind); // newvideo / newaudio / newsubtitle
    void ParseMatrix(const std::string& text, std::vector<uint16_t>& matrix);
    void AddBitstreamFilter(const std::string& name, const std::string& value);
    void AddFrameHook(const std::string& value);
    void ListPixelFormats();
    void ListSampleFormats();
    void SetCodecTag(char kind, const std::string& value);
    void SetCrop(const std::string& name, const std::string& value);
    bool SetGenericOptionOn(TOptionKind kind, const std::string& name, const std::string& value, bool& found);
    bool SetPrivateCodecOption(TOptionKind kind, const std::string& name, const std::string& value,
                               bool& found);
    bool SetPrivateFormatOption(const std::string& name, const std::string& value, bool& found);
    void Record(TOptionKind kind, const std::string& name);
    const AVCodec* NamedEncoder(TOptionKind kind) const;
    void ApplyPrivateOptions(void* privData, AVDictionary* recorded) const;
    void RemoveLastOutput();
    void DiscardOtherPrograms(AVFormatContext* ic);

    AVCodecContext* codecOpts_[5] = {};
    AVFormatContext* formatOpts_ = nullptr;
    SwsContext* swsOpts_ = nullptr;
    std::vector<std::string> setNames_;
    // Names set per kind, in the order first set.
    std::vector<std::string> recorded_[okCount];
    // Encoder and muxer private options (name -> value) per media type, and for the muxer.
    AVDictionary* privateCodecOpts_[5] = {};
    AVDictionary* privateFormatOpts_ = nullptr;
    // A scratch encoder context per media type, for checking private option values.
    AVCodecContext* privateScratch_[5] = {};
    std::string pendingOutputName_;
    int previewFlags_ = 0;
};

} // namespace kavlo
