#pragma once
#include "engine/FFmpegException.h"
#include "engine/TTranscodeJob.h"
#include "engine/ffmpeg/RgbHolder.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

struct AVAudioFifo;
struct AVBSFContext;
struct AVFilterContext;
struct AVFilterGraph;
struct AVPacket;
struct AVStream;
struct AVSubtitle;
struct SwrContext;
struct SwsContext;

namespace kavlo {

// Raised by the transcode step; the task reports its message as the run's error.
using TTranscodeError = FFmpegException;

struct TInputFileState {
    bool Eof = false;
    int FirstStream = 0; // index of the file's first stream in the input-stream table
    int StreamCount = 0;
};

// A small filter graph: buffer source -> chain -> buffer sink.
struct TFilterChain {
    AVFilterGraph* Graph = nullptr;
    AVFilterContext* Source = nullptr;
    AVFilterContext* Sink = nullptr;
    int InWidth = 0;
    int InHeight = 0;
    int InFormat = -1;
    void Free();
};

struct TInputStreamState {
    int FileIndex = 0;
    int StreamIndex = 0;
    AVStream* Stream = nullptr;
    bool Discard = true;
    bool DecodingNeeded = false;
    AVCodecContext* Decoder = nullptr;
    bool DecoderDrained = false;
    int64_t Start = 0;   // us, wall clock when reading began (rate emulation)
    int64_t NextPts = 0; // us
    int64_t Pts = 0;     // us
    bool IsStart = true; // at the start or after a discontinuity (audio sync)
    bool ShowedMultiPacketWarning = false;
    bool PastRecordingTime = false;
    float Quality = 0;
    // Rotation (clockwise degrees) and deinterlacing applied before the hook.
    int Rotation = 0;
    std::string UprightChain;
    TFilterChain Upright;
    bool UprightFlushed = false;
};

struct TOutputStreamState {
    int FileIndex = 0;
    int Index = 0;  // within its output file
    int Source = 0; // index into the input-stream table
    AVStream* Stream = nullptr;
    AVCodecContext* Encoder = nullptr;
    const AVCodec* ForcedEncoder = nullptr;
    bool Copy = false;
    bool EncodingNeeded = false;
    int64_t FrameNumber = 0;
    int SyncSource = 0;
    int64_t SyncOpts = 0; // output position in encoder time-base units
    int64_t LastMuxDts = INT64_MIN;
    int64_t PacketsWritten = 0;
    double MuxTime = 0; // seconds written so far (end of the last packet)
    bool SeenKeyFrame = false;
    std::vector<AVBSFContext*> Bsfs;
    // video
    bool VideoResample = false;
    AVFrame* PictTmp = nullptr;
    SwsContext* Scaler = nullptr;
    int ResampleWidth = 0;
    int ResampleHeight = 0;
    int ResampleFormat = -1;
    int OriginalWidth = 0;
    int OriginalHeight = 0;
    bool VideoCrop = false;
    int TopBand = 0, BottomBand = 0, LeftBand = 0, RightBand = 0;
    int OriginalTopBand = 0, OriginalBottomBand = 0, OriginalLeftBand = 0, OriginalRightBand = 0;
    TFilterChain Filters; // option vfilters
    bool FiltersFlushed = false;
    float LastQuality = -1;
    char LastPictType = '?';
    std::array<uint64_t, 4> LastError{};
    int64_t LastVideoPts = INT64_MIN;
    // audio
    bool AudioResample = false;
    SwrContext* Resampler = nullptr;
    int InSampleRate = 0;
    int InFormat = -1;
    uint64_t InLayoutMask = 0;
    int InChannels = 0;
    AVAudioFifo* Fifo = nullptr;
    bool PcmLike = false; // encoder takes blocks of any size
    // two-pass
    FILE* LogFile = nullptr;
    char* StatsIn = nullptr;
    std::string LogFileName;
};

// The transcode step of one task: set-up (stream mapping, codec opening, headers), the packet
// loop with the video, audio and subtitle paths, and the finish (flush, trailers, last report).
// Run raises TTranscodeError with the step's message texts; the object releases every table it
// built when it is destroyed, whether or not Run completed.
class TTranscoder {
public:
    explicit TTranscoder(TTranscodeJob& job);
    ~TTranscoder();
    TTranscoder(const TTranscoder&) = delete;
    TTranscoder& operator=(const TTranscoder&) = delete;

    void Run();

    // Counters of the run (read by tests and the report).
    int Dropped() const { return dropped_; }
    int Duplicated() const { return duplicated_; }
    int64_t VideoBytes() const { return videoBytes_; }
    int64_t AudioBytes() const { return audioBytes_; }

private:
    // set-up
    void SetUp();
    void BuildInputTables();
    void CheckOutputsAndMaps();
    void SelectSources();
    void PrepareStreamCopy(TOutputStreamState& ost, TInputStreamState& ist);
    void PrepareEncoding(TOutputStreamState& ost, TInputStreamState& ist);
    void PrepareTwoPass(TOutputStreamState& ost, int ostIndex);
    void OpenEncoders();
    void OpenDecoders();
    void SetUpBitstreamFilters();
    void CopyMetaDataMaps();
    void CopyChapters();
    void WriteHeaders();
    void LogStreamMapping();
    // loop
    void PacketLoop();
    int OutputPacket(TInputStreamState& ist, int istIndex, AVPacket* pkt);
    int DecodeAudioVideo(TInputStreamState& ist, AVPacket* pkt);
    int DecodeSubtitle(TInputStreamState& ist, AVPacket* pkt);
    void HandleAudioFrame(TInputStreamState& ist, AVFrame* frame);
    void HandleVideoFrame(TInputStreamState& ist, AVFrame* frame);
    void OutputVideoFrame(TInputStreamState& ist, AVFrame* frame);
    void CopyPacket(TInputStreamState& ist, int istIndex, const AVPacket* pkt);
    void FlushEncoders(TInputStreamState& ist, int istIndex);
    void WriteFrame(TOutputStreamState& ost, AVPacket* pkt);
    void WriteOne(TOutputStreamState& ost, AVPacket* pkt);
    bool IsOutputTime(int64_t pts) const;
    // video path
    void PreProcessVideoFrame(TInputStreamState& ist, AVFrame* frame);
    void RunCustomHook(TInputStreamState& ist, AVFrame* frame);
    void BuildUprightChain(TInputStreamState& ist, const AVFrame* frame);
    void DoVideoOut(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* frame);
    void EncodeVideoPicture(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* picture,
                            const AVFrame* input, int times);
    void ReceiveVideoPackets(TOutputStreamState& ost, const AVFrame* picture);
    void BuildVideoFilters(TOutputStreamState& ost, int width, int height, int format, bool setUp);
    void BuildScaler(TOutputStreamState& ost);
    void Preview(TOutputStreamState& ost, const AVFrame* picture, int64_t ptsUs);
    int CurrentPreviewFlags() const;
    void DropPreviewFlag(int bit);
    void DoVideoStats(TOutputStreamState& ost, int frameSize);
    void EvenEncoderSize(TOutputStreamState& ost);
    // audio path
    void DoAudioOut(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* frame);
    void SetUpResampler(TOutputStreamState& ost, const AVFrame* frame);
    void EncodeAudioSamples(TOutputStreamState& ost, uint8_t** data, int samples);
    void EncodeAudioFrame(TOutputStreamState& ost, AVFrame* frame);
    void ReceiveAudioPackets(TOutputStreamState& ost);
    void FlushAudio(TOutputStreamState& ost);
    void ApplyVolume(AVFrame* frame);
    void DoSubtitleOut(TOutputStreamState& ost, TInputStreamState& ist, AVSubtitle* sub, int64_t pts);
    // finish
    void Finish();
    void PrintReport(bool isLastReport, int fileIndex);
    void CloseCodecs();
    void Cleanup();

    [[noreturn]] void Fail(const std::string& message);
    void Log(int level, const std::string& message);
    bool Stopping() const;
    std::string TypeName(int mediaType) const;

    TTranscodeJob& job_;
    const TTranscodeOptions& opt_;
    std::vector<TInputFileState> files_;
    std::vector<TInputStreamState> ists_;
    std::vector<TOutputStreamState> osts_;
    int64_t videoBytes_ = 0;
    int64_t audioBytes_ = 0;
    int64_t headerBytes_ = 0;
    int dropped_ = 0;
    int duplicated_ = 0;
    bool countersChanged_ = false;
    int64_t stepStart_ = 0;
    std::array<int, 52> qpHistogram_{};
    bool hookActive_ = false;
    bool hookModulesActive_ = false;
    int previewFlags_ = 0; // bits still allowed (cleared after a failed preview)
    int64_t lastPreview_ = 0;
    RgbHolder hookRgb_;
    RgbHolder previewRgb_;
    FILE* vstats_ = nullptr;
    AVFrame* audioOut_ = nullptr; // converted samples in the encoder's format
    AVPacket* encPkt_ = nullptr;
    std::vector<uint8_t> subtitleBuffer_;
    bool setUpDone_ = false;
    bool finished_ = false;
};

} // namespace kavlo
