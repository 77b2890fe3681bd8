#pragma once
#include "engine/ffmpeg/RgbHolder.h"
#include "player/AudioVisualizer.h"
#include "player/FrameOrientation.h"
#include "player/PacketQueue.h"
#include "player/PlayerEventRing.h"
#include "player/PlayerTiming.h"
#include "player/PlayerTypes.h"
#include "player/TVideoSurface.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/channel_layout.h>
}

struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVFrame;
struct AVPacket;
struct SwrContext;
struct SwsContext;

namespace kavlo {

class TCustomPlayer;

// The playback of one open file: the demuxer, the decoders, the queues between them, the clocks
// and the threads that run them (read, video decode, subtitle decode, play/refresh, events, and
// SDL's audio callback). The player component creates one per Open and frees it once every
// thread has ended.
class PlaySession {
public:
    struct TOptions {
        bool disableAudio = false;
        bool disableVideo = false;
        bool disableDisplay = false;
        bool startPaused = false;
    };

    // Clocks in seconds on the file's own time line (file start time not removed); NaN when the
    // clock has no value yet.
    struct TClocks {
        double audio;
        double video;
        double external;
        double master;
    };

    // The SDL audio driver the next audio device starts with; nullptr: SDL's own choice.
    static void SetAudioDriver(const char* name);

    PlaySession(TCustomPlayer& owner, const std::string& fileName, TVideoSurface* surface,
                const TOptions& options);
    ~PlaySession();
    PlaySession(const PlaySession&) = delete;
    PlaySession& operator=(const PlaySession&) = delete;

    // Opening: the read thread opens the file and its streams and reports 1 (ok) or -1 (failed,
    // Error() says why); it then waits for BeginPlayback before reading packets.
    void StartReadThread();
    int ReadResult() const { return readResult_.load(); }
    const std::string& Error() const { return error_; }
    // Starts the play (refresh) and event threads and lets the read thread go on.
    void BeginPlayback(int displayWidth, int displayHeight);

    // Asks every thread to end; they wind down on their own.
    void RequestAbort();
    bool AbortRequested() const { return abort_.load(); }
    // True when every thread has ended (the event thread only when includeEvents).
    bool ThreadsFinished(bool includeEvents) const;
    // Joins the threads that have ended.
    void JoinFinishedThreads();

    AVFormatContext* FormatContext() const { return ic_; }
    int64_t StartTime() const { return startTime_; }
    int64_t Duration() const { return duration_; }
    bool IsImageSequence() const { return imageSequence_; }
    bool HasVideo() const { return videoStream_ != nullptr; }
    bool HasAudio() const { return audioStream_ != nullptr; }
    bool Visualization() const { return visualization_; }
    // Upright frame size; -1 x -1 without video.
    int FrameWidth() const { return frameWidth_; }
    int FrameHeight() const { return frameHeight_; }

    bool Paused() const { return paused_.load(); }
    void TogglePause();
    // Absolute target in microseconds (byte position in byte mode); false when a seek is
    // already pending.
    bool RequestSeek(int64_t target, int64_t rel, int flags);
    bool SeekPending() const;
    bool SeekDone() const { return seekDone_.load(); }
    bool FirstFrameShown() const { return firstFrame_.load(); }
    bool Seeking() const { return seeking_.load(); }
    // Current byte position of the stream (for byte seeks).
    int64_t BytePosition() const;
    int64_t BitRate() const;

    TClocks Clocks() const;
    double MasterClock() const;

    // A reference to the picture last shown (nullptr: none yet); the caller frees it.
    AVFrame* LastShownPicture() const;
    // Shows the last picture again (the display area or the aspect ratio changed).
    void Redisplay();
    // Tells the surface that playback is over; the session does not call it afterwards.
    void DetachSurface();

    void PushEvent(const PlayerEventRing::TEntry& entry) { events_.Push(entry); }

    // Counters for measurements.
    int64_t FramesShown() const { return framesShown_.load(); }
    int64_t FramesDropped() const { return framesDropped_.load(); }

private:
    struct TPicture {
        AVFrame* frame = nullptr; // yuv420p or bgr24, upright
        double pts = 0;           // seconds
        int64_t pos = -1;
        double target = 0;   // display time on the session's monotonic clock
        double duration = 0; // seconds until the next picture is due
    };
    struct TSubEntry;

    class TWorker {
    public:
        ~TWorker() { Join(); }
        void Start(std::function<void()> body);
        bool Finished() const { return done_.load(); }
        bool Running() const { return thread_.joinable(); }
        void Join() {
            if (thread_.joinable())
                thread_.join();
        }
        std::thread::id Id() const { return thread_.get_id(); }

    private:
        std::thread thread_;
        std::atomic<bool> done_{true};
    };

    static double Now();
    void Log(int level, const std::string& msg) const;

    // read thread
    void ReadThread();
    bool OpenInput();
    int OpenComponent(int streamIndex);
    void CloseComponents();
    bool ReadLoop(); // false: ended by an error
    void HandleSeek();
    bool QueuesFull() const;
    void WaitRead(int ms);
    static int InterruptCallback(void* opaque);

    // audio
    bool OpenAudioDevice(int sampleRate, int channels);
    void HoldAudioForVideo();
    static void AudioCallback(void* opaque, uint8_t* stream, int len);
    void FillAudio(uint8_t* stream, int len);
    int DecodeAudioFrame();
    double AudioClockLocked(double now) const;

    // video
    void VideoThread();
    bool QueuePicture(AVFrame* decoded, double pts, double duration, int64_t pos);
    AVFrame* UprightPicture(AVFrame* decoded);
    void ClearPictureQueueLocked();
    double VideoClockLocked(double now) const;
    double ExternalClockLocked(double now) const;
    double MasterClockLocked(double now) const;

    // subtitles
    void SubtitleThread();
    void ClearSubtitlesLocked();
    void ActiveSubtitle(double videoPts, TVideoPicture& picture);

    // play thread
    void PlayThread();
    void RefreshStep();
    void PresentPicture(const AVFrame* frame, double pts);
    void ShowVisualization();
    void ReportPositionAndEnd();

    // event thread
    void EventThread();

    TCustomPlayer& owner_;
    std::string fileName_;
    std::mutex surfaceMutex_;
    TVideoSurface* surface_; // surfaceMutex_
    TOptions options_;

    AVFormatContext* ic_ = nullptr;
    int64_t startTime_ = 0; // microseconds
    int64_t duration_ = -1;
    bool imageSequence_ = false;
    bool liveSource_ = false;

    AVStream* audioStream_ = nullptr;
    AVStream* videoStream_ = nullptr;
    AVStream* subtitleStream_ = nullptr;
    AVCodecContext* audioDec_ = nullptr;
    AVCodecContext* videoDec_ = nullptr;
    AVCodecContext* subtitleDec_ = nullptr;
    PacketQueue audioq_, videoq_, subtitleq_;

    // video
    FrameOrientation orientation_;
    int frameWidth_ = -1;
    int frameHeight_ = -1;
    double streamAspect_ = 0; // display aspect of the upright picture from the stream
    double frameDuration_ = 0.04;
    SwsContext* convertCtx_ = nullptr;
    RgbHolder hookHolder_;
    double videoClock_ = 0; // decoder side: the expected pts of the next frame
    TReorderStats reorder_;
    std::atomic<int> videoFlushPending_{0};

    mutable std::mutex pqMutex_;
    std::condition_variable pqCond_;
    TPicture pq_[2];
    int pqRead_ = 0;
    int pqSize_ = 0;
    TFrameSkip skip_;        // pqMutex_
    TFrameDelay delay_;      // pqMutex_
    double frameTimer_ = 0;  // pqMutex_
    bool afterSeek_ = false; // pqMutex_
    // The next picture is the first since the start or a seek: it is shown even while paused and
    // completes a seek that waits for it. pqMutex_
    bool freshPicture_ = true;

    mutable std::mutex shownMutex_;
    AVFrame* lastShown_ = nullptr;
    double lastShownPts_ = 0;

    // subtitles
    mutable std::mutex subMutex_;
    std::condition_variable subCond_;
    TSubEntry* subq_ = nullptr; // ring of 4
    int subRead_ = 0;
    int subSize_ = 0;
    std::atomic<int> subFlushPending_{0};

    // clocks (clockMutex_)
    mutable std::mutex clockMutex_;
    double videoCurrentPts_;
    double videoCurrentPtsDrift_ = 0;
    double videoClockLimit_ = 0; // pts + duration of the picture shown
    int64_t videoCurrentPos_ = -1;
    double audioClock_;   // pts at the end of the decoded data
    double audioCbClock_; // clock when the last callback handed its data over
    double audioCbTime_ = 0;
    double audioCbSpan_ = 0; // seconds of real audio that callback handed over
    double audioPausedClock_;
    double externalClock_ = 0;
    double externalClockTime_ = 0;
    double pausedAt_ = 0;
    int syncType_ = 0; // 0 audio master, 1 video master, 2 external clock

    // audio (callback thread)
    uint32_t audioDevice_ = 0;
    bool sdlAudioInitialized_ = false;
    int audioRate_ = 0;
    int audioChannels_ = 0;
    int audioBytesPerSec_ = 0;
    SwrContext* swr_ = nullptr;
    int swrInFormat_ = -1;
    int swrInRate_ = 0;
    AVChannelLayout swrInLayout_{};
    AVFrame* audioFrame_ = nullptr;
    std::vector<uint8_t> audioBuf_;
    int audioBufSize_ = 0;
    int audioBufIndex_ = 0;
    bool audioBufSilent_ = false;
    bool audioNeedPacket_ = true;
    double audioSkipUntil_;
    std::atomic<bool> audioDiscardBuffer_{false};
    std::atomic<bool> audioFinished_{false};
    std::atomic<bool> audioWaitsForVideo_{false};
    std::atomic<double> audioWaitDeadline_{0};
    TAudioDiffAverage audioDiff_;
    AudioVisualizer visualizer_;
    Bitmap24 visualImage_;

    // flags
    std::atomic<bool> abort_{false};
    std::atomic<bool> paused_{false};
    bool lastPaused_ = false; // read thread
    mutable std::mutex seekMutex_;
    bool seekRequest_ = false;
    int64_t seekTarget_ = 0;
    int64_t seekRel_ = 0;
    int seekFlags_ = 0;
    std::atomic<bool> seekDone_{true};
    std::atomic<bool> firstFrame_{false};
    std::atomic<bool> seeking_{false};
    std::atomic<bool> eof_{false};
    std::atomic<bool> endReached_{false};
    bool endReported_ = false; // play thread
    std::atomic<bool> forcePositionReport_{false};
    std::atomic<bool> visualization_{false};
    std::atomic<int64_t> lastReadPos_{-1};
    std::atomic<int> displayWidth_{0};
    std::atomic<int> displayHeight_{0};

    // read thread hand-over
    std::atomic<int> readResult_{0};
    std::string error_;
    std::mutex goMutex_;
    std::condition_variable goCond_;
    bool go_ = false;
    std::mutex readWakeMutex_;
    std::condition_variable readWake_;

    // play thread
    std::mutex playMutex_;
    std::condition_variable playCond_;
    bool redisplay_ = false;
    PlayerEventRing events_;
    bool havePosition_ = false;
    int64_t lastPosition_ = 0;
    std::atomic<int64_t> framesShown_{0};
    std::atomic<int64_t> framesDropped_{0};

    TWorker readThread_, videoThread_, subtitleThread_, playThread_, eventThread_;
};

} // namespace kavlo
