#include "player/PlaySession.h"

#include "core/TextUtils.h"
#include "engine/ffmpeg/CodecLock.h"
#include "engine/ffmpeg/FFUtils.h"
#include "engine/ffmpeg/TFFLogger.h"
#include "player/TCustomPlayer.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace kavlo {

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
// The read thread pauses when the queues hold this much in total...
constexpr int64_t kMaxQueueBytes = 15 * 1024 * 1024;
// ...or when every open queue has enough to go on with.
constexpr int64_t kAudioEnoughBytes = 327680;
constexpr int kEnoughPackets = 5;
constexpr int kAudioBufferSamples = 1024;
constexpr int kSubtitleQueueSize = 4;
// How far the frame timer may fall behind the present before it is moved up to it.
constexpr double kMaxTimerLag = 0.1;
// The longest the sound waits for the first picture.
constexpr double kAudioWaitLimit = 1.0;

// SDL's subsystem reference counts are not guarded; every player of the process shares them.
std::mutex& SdlAudioLock() {
    static std::mutex lock;
    return lock;
}

// The visible text of an ASS dialogue line: the text field without override blocks.
std::string AssDialogueText(const char* ass) {
    if (!ass)
        return {};
    const char* p = ass;
    // ReadOrder, Layer, Style, Name, MarginL, MarginR, MarginV, Effect, Text
    for (int commas = 0; commas < 8 && *p; ++p)
        if (*p == ',')
            ++commas;
    std::string out;
    bool inBlock = false;
    for (; *p; ++p) {
        if (inBlock) {
            if (*p == '}')
                inBlock = false;
            continue;
        }
        if (*p == '{') {
            inBlock = true;
        } else if (*p == '\\' && (p[1] == 'N' || p[1] == 'n')) {
            out += '\n';
            ++p;
        } else if (*p == '\\' && p[1] == 'h') {
            out += ' ';
            ++p;
        } else if (*p != '\r') {
            out += *p;
        }
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

} // namespace

struct PlaySession::TSubEntry {
    AVSubtitle sub{};
    double pts = 0;
};

void PlaySession::TWorker::Start(std::function<void()> body) {
    done_.store(false);
    thread_ = std::thread([this, body = std::move(body)] {
        body();
        done_.store(true);
    });
}

PlaySession::PlaySession(TCustomPlayer& owner, const std::string& fileName, TVideoSurface* surface,
                         const TOptions& options)
    : owner_(owner), fileName_(fileName), surface_(surface), options_(options), videoCurrentPts_(kNan),
      audioClock_(kNan), audioCbClock_(kNan), audioPausedClock_(kNan), audioSkipUntil_(kNan) {
    if (options_.disableDisplay)
        options_.disableVideo = true;
    paused_.store(options_.startPaused);
    lastPaused_ = false;
    subq_ = new TSubEntry[kSubtitleQueueSize];
    audioFrame_ = av_frame_alloc();
    pausedAt_ = Now();
}

PlaySession::~PlaySession() {
    RequestAbort();
    readThread_.Join();
    playThread_.Join();
    eventThread_.Join();
    CloseComponents();
    {
        std::lock_guard<std::mutex> lock(pqMutex_);
        ClearPictureQueueLocked();
    }
    {
        std::lock_guard<std::mutex> lock(subMutex_);
        ClearSubtitlesLocked();
    }
    delete[] subq_;
    av_frame_free(&lastShown_);
    av_frame_free(&audioFrame_);
    swr_free(&swr_);
    av_channel_layout_uninit(&swrInLayout_);
    sws_freeContext(convertCtx_);
    if (ic_)
        avformat_close_input(&ic_);
}

double PlaySession::Now() {
    return av_gettime_relative() / 1000000.0;
}

void PlaySession::Log(int level, const std::string& msg) const {
    FFLogger().Log(&owner_, static_cast<TLogLevel>(level), msg);
}

// ---------------------------------------------------------------------------------------------
// Life cycle

void PlaySession::StartReadThread() {
    readThread_.Start([this] { ReadThread(); });
}

void PlaySession::BeginPlayback(int displayWidth, int displayHeight) {
    displayWidth_.store(displayWidth);
    displayHeight_.store(displayHeight);
    {
        // The first picture is timed from now, not from when the decoder was set up.
        std::lock_guard<std::mutex> lock(pqMutex_);
        frameTimer_ = Now();
    }
    HoldAudioForVideo();
    eventThread_.Start([this] { EventThread(); });
    playThread_.Start([this] { PlayThread(); });
    {
        std::lock_guard<std::mutex> lock(goMutex_);
        go_ = true;
    }
    goCond_.notify_all();
}

void PlaySession::SetAudioDriver(const char* name) {
    std::lock_guard<std::mutex> lock(SdlAudioLock());
    if (name)
        SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, name, SDL_HINT_OVERRIDE);
    else
        SDL_ResetHint(SDL_HINT_AUDIODRIVER);
}

void PlaySession::HoldAudioForVideo() {
    if (!videoStream_ || !audioStream_)
        return;
    // Not for ever: a video stream that gives no picture must not keep the sound silent.
    audioWaitDeadline_.store(Now() + kAudioWaitLimit);
    audioWaitsForVideo_.store(true);
}

void PlaySession::RequestAbort() {
    abort_.store(true);
    audioq_.Abort();
    videoq_.Abort();
    subtitleq_.Abort();
    { std::lock_guard<std::mutex> lock(pqMutex_); }
    pqCond_.notify_all();
    { std::lock_guard<std::mutex> lock(subMutex_); }
    subCond_.notify_all();
    { std::lock_guard<std::mutex> lock(goMutex_); }
    goCond_.notify_all();
    { std::lock_guard<std::mutex> lock(readWakeMutex_); }
    readWake_.notify_all();
    { std::lock_guard<std::mutex> lock(playMutex_); }
    playCond_.notify_all();
}

bool PlaySession::ThreadsFinished(bool includeEvents) const {
    return readThread_.Finished() && videoThread_.Finished() && subtitleThread_.Finished() &&
           playThread_.Finished() && (!includeEvents || eventThread_.Finished());
}

void PlaySession::JoinFinishedThreads() {
    // The play thread joins the read thread, and the read thread the decoders; the order
    // here only matters for threads that were never handed over.
    for (TWorker* w : {&playThread_, &readThread_, &videoThread_, &subtitleThread_, &eventThread_})
        if (w->Finished())
            w->Join();
}

// ---------------------------------------------------------------------------------------------
// Read thread

int PlaySession::InterruptCallback(void* opaque) {
    return static_cast<PlaySession*>(opaque)->abort_.load() ? 1 : 0;
}

void PlaySession::ReadThread() {
    if (!OpenInput()) {
        RequestAbort();
        CloseComponents();
        readResult_.store(-1);
        return;
    }
    readResult_.store(1);
    {
        std::unique_lock<std::mutex> lock(goMutex_);
        goCond_.wait(lock, [&] { return go_ || abort_.load(); });
    }
    bool good = true;
    if (!abort_.load())
        good = ReadLoop();
    if (!good)
        Log(llError, Format("%s: playback ended by a read error", fileName_.c_str()));
    RequestAbort();
    CloseComponents();
}

bool PlaySession::OpenInput() {
    ic_ = avformat_alloc_context();
    if (!ic_) {
        error_ = "av_mallocz() failed.";
        return false;
    }
    ic_->interrupt_callback.callback = &PlaySession::InterruptCallback;
    ic_->interrupt_callback.opaque = this;
    const std::string url = FileNameToURL(fileName_);
    int err = avformat_open_input(&ic_, url.c_str(), nullptr, nullptr);
    if (err < 0) {
        // avformat_open_input frees the context on failure.
        ic_ = nullptr;
        error_ = ErrorText(fileName_, err);
        Log(llError, error_);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(CodecLock());
        err = avformat_find_stream_info(ic_, nullptr);
    }
    if (err < 0) {
        error_ = Format("%s: could not find codec parameters", fileName_.c_str());
        Log(llError, error_);
        return false;
    }
    startTime_ = ic_->start_time != AV_NOPTS_VALUE ? ic_->start_time : 0;
    duration_ = ic_->duration != AV_NOPTS_VALUE && ic_->duration >= 0 ? ic_->duration : -1;
    const std::string formatName = ic_->iformat && ic_->iformat->name ? ic_->iformat->name : "";
    imageSequence_ = formatName == "image2";
    liveSource_ = formatName == "vfwcap" || formatName == "vfwcapture" || formatName == "video4linux2,v4l2";
    {
        std::lock_guard<std::mutex> lock(clockMutex_);
        externalClock_ = startTime_ / 1000000.0;
        externalClockTime_ = Now();
    }

    for (unsigned i = 0; i < ic_->nb_streams; ++i)
        ic_->streams[i]->discard = AVDISCARD_ALL;

    int videoIndex = -1;
    if (!options_.disableVideo) {
        videoIndex = av_find_best_stream(ic_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        // A cover picture is no video to play; look for a real one, else the file is audio.
        if (videoIndex >= 0 && (ic_->streams[videoIndex]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            videoIndex = -1;
            for (unsigned i = 0; i < ic_->nb_streams; ++i) {
                const AVStream* st = ic_->streams[i];
                if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                    !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
                    videoIndex = static_cast<int>(i);
                    break;
                }
            }
        }
    }
    int audioIndex = -1;
    if (!options_.disableAudio)
        audioIndex = av_find_best_stream(ic_, AVMEDIA_TYPE_AUDIO, -1, videoIndex, nullptr, 0);
    int subtitleIndex = -1;
    if (videoIndex >= 0)
        subtitleIndex = av_find_best_stream(ic_, AVMEDIA_TYPE_SUBTITLE, -1,
                                            audioIndex >= 0 ? audioIndex : videoIndex, nullptr, 0);

    if (audioIndex >= 0)
        OpenComponent(audioIndex);
    if (videoIndex >= 0)
        OpenComponent(videoIndex);
    if (subtitleIndex >= 0 && videoStream_)
        OpenComponent(subtitleIndex);

    if (!audioStream_ && !videoStream_) {
        error_ = Format("%s: could not open codecs, no stream to play.", fileName_.c_str());
        Log(llError, error_);
        return false;
    }
    visualization_.store(!videoStream_ && audioStream_ && surface_ && !options_.disableDisplay);
    return true;
}

int PlaySession::OpenComponent(int streamIndex) {
    AVStream* st = ic_->streams[streamIndex];
    const AVCodecParameters* par = st->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
        Log(llError, Format("%s: no decoder for stream #%d (%s)", fileName_.c_str(), streamIndex,
                            avcodec_get_name(par->codec_id)));
        return -1;
    }
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx)
        return -1;
    auto freeContext = [&ctx] {
        std::lock_guard<std::mutex> lock(CodecLock());
        avcodec_free_context(&ctx);
    };
    if (avcodec_parameters_to_context(ctx, par) < 0) {
        freeContext();
        return -1;
    }
    ctx->pkt_timebase = st->time_base;
    ctx->thread_count = 0; // as many as the machine offers
    int err;
    {
        std::lock_guard<std::mutex> lock(CodecLock());
        err = avcodec_open2(ctx, codec, nullptr);
    }
    if (err < 0) {
        Log(llError, "avcodec_open() failed.");
        freeContext();
        return -1;
    }

    switch (par->codec_type) {
    case AVMEDIA_TYPE_AUDIO: {
        const int channels = std::clamp(ctx->ch_layout.nb_channels, 1, 2);
        if (ctx->sample_rate <= 0 || !OpenAudioDevice(ctx->sample_rate, channels)) {
            freeContext();
            return -1;
        }
        audioDiff_.Setup(audioRate_);
        audioDec_ = ctx;
        audioStream_ = st;
        SDL_PauseAudioDevice(audioDevice_, 0);
        break;
    }
    case AVMEDIA_TYPE_VIDEO: {
        videoDec_ = ctx;
        videoStream_ = st;
        orientation_ = FrameOrientation::FromStream(st);
        const int w = par->width > 0 ? par->width : ctx->width;
        const int h = par->height > 0 ? par->height : ctx->height;
        orientation_.UprightSize(w, h, frameWidth_, frameHeight_);
        AVRational sar = av_guess_sample_aspect_ratio(ic_, st, nullptr);
        double aspect = (sar.num > 0 && sar.den > 0) ? av_q2d(sar) : 1.0;
        aspect = h > 0 ? aspect * w / h : 0;
        streamAspect_ = (orientation_.SwapsAxes() && aspect > 0) ? 1.0 / aspect : aspect;
        const AVRational rate = av_guess_frame_rate(ic_, st, nullptr);
        frameDuration_ = (rate.num > 0 && rate.den > 0) ? av_q2d(av_inv_q(rate)) : 0.04;
        delay_.Reset(frameDuration_);
        videoThread_.Start([this] { VideoThread(); });
        break;
    }
    case AVMEDIA_TYPE_SUBTITLE:
        subtitleDec_ = ctx;
        subtitleStream_ = st;
        subtitleThread_.Start([this] { SubtitleThread(); });
        break;
    default:
        freeContext();
        return -1;
    }
    st->discard = AVDISCARD_DEFAULT;
    return 0;
}

void PlaySession::CloseComponents() {
    { std::lock_guard<std::mutex> lock(pqMutex_); }
    pqCond_.notify_all();
    { std::lock_guard<std::mutex> lock(subMutex_); }
    subCond_.notify_all();
    videoThread_.Join();
    subtitleThread_.Join();
    {
        std::lock_guard<std::mutex> lock(SdlAudioLock());
        if (audioDevice_) {
            // Returns once the callback has left; nothing touches the decoder after this.
            SDL_CloseAudioDevice(audioDevice_);
            audioDevice_ = 0;
        }
        if (sdlAudioInitialized_) {
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            sdlAudioInitialized_ = false;
            // SDL keeps some state of its own until it is shut down completely.
            if (SDL_WasInit(SDL_INIT_EVERYTHING) == 0)
                SDL_Quit();
        }
    }
    std::lock_guard<std::mutex> lock(CodecLock());
    avcodec_free_context(&audioDec_);
    avcodec_free_context(&videoDec_);
    avcodec_free_context(&subtitleDec_);
}

bool PlaySession::QueuesFull() const {
    const int64_t total = audioq_.Bytes() + videoq_.Bytes() + subtitleq_.Bytes();
    if (total > kMaxQueueBytes)
        return true;
    const bool audioEnough = !audioStream_ || audioq_.Bytes() > kAudioEnoughBytes;
    const bool videoEnough = !videoStream_ || videoq_.Count() > kEnoughPackets;
    const bool subtitleEnough = !subtitleStream_ || subtitleq_.Count() > kEnoughPackets;
    return audioEnough && videoEnough && subtitleEnough;
}

void PlaySession::WaitRead(int ms) {
    std::unique_lock<std::mutex> lock(readWakeMutex_);
    readWake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return abort_.load() || SeekPending(); });
}

bool PlaySession::ReadLoop() {
    AVPacket* pkt = av_packet_alloc();
    if (!pkt)
        return false;
    bool good = true;
    bool drainSent = false;
    bool endLogged = false;
    while (!abort_.load()) {
        const bool paused = paused_.load();
        if (paused != lastPaused_) {
            lastPaused_ = paused;
            if (paused)
                av_read_pause(ic_);
            else
                av_read_play(ic_);
        }
        if (SeekPending()) {
            HandleSeek();
            drainSent = false;
            endLogged = false;
            continue;
        }
        if (QueuesFull()) {
            WaitRead(10);
            continue;
        }
        if (eof_.load()) {
            if (!drainSent) {
                // Decoders hold frames back for reordering; an empty packet gives them out.
                if (videoStream_)
                    videoq_.PutDrain();
                if (audioStream_)
                    audioq_.PutDrain();
                drainSent = true;
            }
            WaitRead(10);
            if (audioq_.Empty() && videoq_.Empty() && subtitleq_.Empty())
                endReached_.store(true);
            continue;
        }
        const int ret = av_read_frame(ic_, pkt);
        if (ret == AVERROR(EAGAIN)) {
            WaitRead(10);
            continue;
        }
        if (ret < 0) {
            if (abort_.load())
                break;
            const bool atEnd = ret == AVERROR_EOF || (ic_->pb && avio_feof(ic_->pb));
            // Nobody may wait for a picture that cannot come. At the end the video thread
            // still gives out what its decoder holds and says so itself.
            if (!atEnd || !videoStream_)
                firstFrame_.store(true);
            if (!endLogged) {
                if (atEnd)
                    Log(llInfo, Format("reach end of file: %s", fileName_.c_str()));
                else
                    Log(llError, Format("error #%d while reading file: %s", ret, fileName_.c_str()));
                endLogged = true;
            }
            eof_.store(true);
            if (ret == AVERROR(EIO)) {
                good = false;
                break;
            }
            if (!atEnd)
                WaitRead(100);
            continue;
        }
        if (pkt->pos >= 0)
            lastReadPos_.store(pkt->pos);
        if (audioStream_ && pkt->stream_index == audioStream_->index)
            audioq_.Put(pkt);
        else if (videoStream_ && pkt->stream_index == videoStream_->index)
            videoq_.Put(pkt);
        else if (subtitleStream_ && pkt->stream_index == subtitleStream_->index)
            subtitleq_.Put(pkt);
        else
            av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return good;
}

bool PlaySession::SeekPending() const {
    std::lock_guard<std::mutex> lock(seekMutex_);
    return seekRequest_;
}

bool PlaySession::RequestSeek(int64_t target, int64_t rel, int flags) {
    {
        std::lock_guard<std::mutex> lock(seekMutex_);
        if (seekRequest_ || abort_.load())
            return false;
        seekRequest_ = true;
        seekTarget_ = target;
        seekRel_ = rel;
        seekFlags_ = flags;
        seekDone_.store(false);
        if (videoStream_)
            firstFrame_.store(false);
        seeking_.store(true);
    }
    readWake_.notify_all();
    return true;
}

void PlaySession::HandleSeek() {
    int64_t target, rel;
    int flags;
    {
        std::lock_guard<std::mutex> lock(seekMutex_);
        target = seekTarget_;
        rel = seekRel_;
        flags = seekFlags_;
    }
    // A time seek lands on the requested picture: the decoders pass over what lies before it,
    // so the demuxer must start at a key frame at or before the target.
    const bool exact = !(flags & (AVSEEK_FLAG_BYTE | AVSEEK_FLAG_ANY | AVSEEK_FLAG_FRAME));
    const int64_t minTs = rel > 0 ? target - rel + 2 : std::numeric_limits<int64_t>::min();
    const int64_t maxTs = exact ? target : (rel < 0 ? target - rel - 2 : std::numeric_limits<int64_t>::max());
    int ret = avformat_seek_file(ic_, -1, minTs, target, maxTs, flags);
    if (ret < 0)
        ret = av_seek_frame(ic_, -1, target, flags);
    if (ret < 0)
        ret = av_seek_frame(ic_, -1, target, flags ^ AVSEEK_FLAG_BACKWARD);
    if (ret < 0) {
        Log(llError, Format("%s: error while seeking", fileName_.c_str()));
        firstFrame_.store(true);
    } else {
        const double exactTarget = exact ? target / 1000000.0 : kNan;
        if (audioStream_) {
            audioq_.Flush();
            audioq_.PutFlush(exactTarget);
            audioDiscardBuffer_.store(true);
        }
        if (subtitleStream_) {
            subFlushPending_.fetch_add(1);
            subtitleq_.Flush();
            subtitleq_.PutFlush(kNan);
            { std::lock_guard<std::mutex> lock(subMutex_); }
            subCond_.notify_all();
        }
        if (videoStream_) {
            videoFlushPending_.fetch_add(1);
            videoq_.Flush();
            videoq_.PutFlush(exactTarget);
            HoldAudioForVideo();
            { std::lock_guard<std::mutex> lock(pqMutex_); }
            pqCond_.notify_all();
        }
        eof_.store(false);
        endReached_.store(false);
        audioFinished_.store(false);
        if (!std::isnan(exactTarget)) {
            std::lock_guard<std::mutex> lock(clockMutex_);
            externalClock_ = exactTarget;
            externalClockTime_ = Now();
            // A paused file reports the new place at once, not when playback goes on.
            audioPausedClock_ = exactTarget;
        }
    }
    {
        std::lock_guard<std::mutex> lock(seekMutex_);
        seekRequest_ = false;
    }
    seekDone_.store(true);
    if (!videoStream_ || ret < 0)
        seeking_.store(false);
}

int64_t PlaySession::BytePosition() const {
    {
        std::lock_guard<std::mutex> lock(clockMutex_);
        if (videoStream_ && videoCurrentPos_ >= 0)
            return videoCurrentPos_;
    }
    return lastReadPos_.load();
}

int64_t PlaySession::BitRate() const {
    return ic_ ? ic_->bit_rate : 0;
}

// ---------------------------------------------------------------------------------------------
// Clocks

double PlaySession::AudioClockLocked(double now) const {
    if (paused_.load())
        return audioPausedClock_;
    if (std::isnan(audioCbClock_))
        return kNan;
    return audioCbClock_ + std::clamp(now - audioCbTime_, 0.0, audioCbSpan_);
}

double PlaySession::VideoClockLocked(double now) const {
    if (std::isnan(videoCurrentPts_))
        return startTime_ / 1000000.0;
    if (paused_.load())
        return videoCurrentPts_;
    // Between pictures the clock runs on, but not past the time of the next one: a picture
    // shown late would otherwise make the clock (and the position) step backwards.
    return std::min(videoCurrentPtsDrift_ + now, videoClockLimit_);
}

double PlaySession::ExternalClockLocked(double now) const {
    if (paused_.load())
        return externalClock_;
    return externalClock_ + (now - externalClockTime_);
}

double PlaySession::MasterClockLocked(double now) const {
    switch (syncType_) {
    case 1:
        return videoStream_ ? VideoClockLocked(now) : AudioClockLocked(now);
    case 2:
        return ExternalClockLocked(now);
    default:
        return audioStream_ ? AudioClockLocked(now) : VideoClockLocked(now);
    }
}

double PlaySession::MasterClock() const {
    std::lock_guard<std::mutex> lock(clockMutex_);
    return MasterClockLocked(Now());
}

PlaySession::TClocks PlaySession::Clocks() const {
    std::lock_guard<std::mutex> lock(clockMutex_);
    const double now = Now();
    TClocks c;
    c.audio = audioStream_ ? AudioClockLocked(now) : kNan;
    c.video = videoStream_ ? VideoClockLocked(now) : kNan;
    c.external = ExternalClockLocked(now);
    c.master = MasterClockLocked(now);
    return c;
}

void PlaySession::TogglePause() {
    std::lock_guard<std::mutex> pqLock(pqMutex_);
    std::lock_guard<std::mutex> lock(clockMutex_);
    const double now = Now();
    if (paused_.load()) {
        const double pausedFor = now - pausedAt_;
        frameTimer_ += pausedFor;
        for (int i = 0; i < pqSize_; ++i)
            pq_[(pqRead_ + i) % 2].target += pausedFor;
        if (!std::isnan(videoCurrentPts_))
            videoCurrentPtsDrift_ = videoCurrentPts_ - now;
        externalClockTime_ = now;
        paused_.store(false);
    } else {
        audioPausedClock_ = AudioClockLocked(now);
        if (!std::isnan(videoCurrentPts_))
            videoCurrentPts_ = VideoClockLocked(now);
        externalClock_ = ExternalClockLocked(now);
        pausedAt_ = now;
        paused_.store(true);
    }
    readWake_.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Audio

bool PlaySession::OpenAudioDevice(int sampleRate, int channels) {
    std::lock_guard<std::mutex> lock(SdlAudioLock());
    // Termination signals belong to the program, not to SDL.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        Log(llError, Format("Could not initialize SDL audio: %s", SDL_GetError()));
        return false;
    }
    sdlAudioInitialized_ = true;
    const char* driver = SDL_GetCurrentAudioDriver();
    Log(llDebug, Format("using audio driver: %s", driver ? driver : "none"));
    SDL_AudioSpec wanted{};
    wanted.freq = sampleRate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = static_cast<Uint8>(channels);
    wanted.samples = kAudioBufferSamples;
    wanted.callback = &PlaySession::AudioCallback;
    wanted.userdata = this;
    SDL_AudioSpec obtained{};
    // No changes allowed: SDL converts to what the device takes, so the callback always
    // delivers exactly this format.
    audioDevice_ = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    if (!audioDevice_) {
        Log(llError, std::string("SDL_OpenAudio() failed: ") + SDL_GetError());
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        if (SDL_WasInit(SDL_INIT_EVERYTHING) == 0)
            SDL_Quit();
        sdlAudioInitialized_ = false;
        return false;
    }
    audioRate_ = sampleRate;
    audioChannels_ = channels;
    audioBytesPerSec_ = sampleRate * 2 * channels;
    return true;
}

void PlaySession::AudioCallback(void* opaque, uint8_t* stream, int len) {
    static_cast<PlaySession*>(opaque)->FillAudio(stream, len);
}

void PlaySession::FillAudio(uint8_t* stream, int len) {
    std::memset(stream, 0, static_cast<size_t>(len));
    if (abort_.load() || paused_.load() || !audioDec_)
        return;
    const double now = Now();
    // At the start and after a seek the sound waits for the first picture, so that neither has
    // to catch up with the other.
    if (audioWaitsForVideo_.load() && now < audioWaitDeadline_.load())
        return;
    if (audioDiscardBuffer_.exchange(false))
        audioBufIndex_ = audioBufSize_;
    const int volume = std::clamp(owner_.AudioVolume(), 0, SDL_MIX_MAXVOLUME);
    const bool mute = owner_.Mute();
    const int frameBytes = 2 * audioChannels_;
    int realBytes = 0;
    uint8_t* out = stream;
    int remaining = len;
    while (remaining > 0) {
        if (audioBufIndex_ >= audioBufSize_) {
            int size = DecodeAudioFrame();
            if (size < 0) {
                // Nothing to play right now: a short stretch of silence keeps the device fed.
                size = std::max(std::min(1024, remaining) / frameBytes * frameBytes, frameBytes);
                if (static_cast<int>(audioBuf_.size()) < size)
                    audioBuf_.resize(size);
                std::memset(audioBuf_.data(), 0, size);
                audioBufSilent_ = true;
            } else {
                audioBufSilent_ = false;
            }
            audioBufSize_ = size;
            audioBufIndex_ = 0;
        }
        const int chunk = std::min(remaining, audioBufSize_ - audioBufIndex_);
        if (!audioBufSilent_) {
            if (!mute)
                SDL_MixAudioFormat(out, audioBuf_.data() + audioBufIndex_, AUDIO_S16SYS, chunk, volume);
            realBytes += chunk;
        }
        out += chunk;
        remaining -= chunk;
        audioBufIndex_ += chunk;
    }
    std::lock_guard<std::mutex> lock(clockMutex_);
    if (!std::isnan(audioClock_) && audioBytesPerSec_ > 0) {
        const int unread = audioBufSilent_ ? 0 : audioBufSize_ - audioBufIndex_;
        audioCbSpan_ = static_cast<double>(realBytes) / audioBytesPerSec_;
        audioCbClock_ = audioClock_ - static_cast<double>(unread) / audioBytesPerSec_ - audioCbSpan_;
        audioCbTime_ = now;
    }
}

int PlaySession::DecodeAudioFrame() {
    const int frameBytes = 2 * audioChannels_;
    for (;;) {
        if (abort_.load())
            return -1;
        if (audioNeedPacket_) {
            PacketQueue::TItem item;
            if (audioq_.Get(item, false) <= 0)
                return -1;
            if (item.kind == PacketQueue::pkFlush) {
                avcodec_flush_buffers(audioDec_);
                audioSkipUntil_ = item.seekTarget;
                audioFinished_.store(false);
                audioDiff_.Reset();
                continue;
            }
            int ret;
            if (item.kind == PacketQueue::pkDrain) {
                ret = avcodec_send_packet(audioDec_, nullptr);
            } else {
                ret = avcodec_send_packet(audioDec_, item.packet);
                av_packet_free(&item.packet);
            }
            audioNeedPacket_ = false;
            if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
                // A damaged packet: skip it, the caller plays a little silence.
                audioNeedPacket_ = true;
                return -1;
            }
        }
        const int ret = avcodec_receive_frame(audioDec_, audioFrame_);
        if (ret == AVERROR(EAGAIN)) {
            audioNeedPacket_ = true;
            continue;
        }
        if (ret == AVERROR_EOF) {
            audioFinished_.store(true);
            audioNeedPacket_ = true;
            return -1;
        }
        if (ret < 0) {
            audioNeedPacket_ = true;
            return -1;
        }
        AVFrame* f = audioFrame_;
        const int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
        double pts = ts != AV_NOPTS_VALUE ? ts * av_q2d(audioStream_->time_base) : kNan;

        if (!swr_ || f->format != swrInFormat_ || f->sample_rate != swrInRate_ ||
            av_channel_layout_compare(&f->ch_layout, &swrInLayout_) != 0) {
            swr_free(&swr_);
            AVChannelLayout outLayout{};
            av_channel_layout_default(&outLayout, audioChannels_);
            AVChannelLayout inLayout{};
            if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || f->ch_layout.nb_channels <= 0)
                av_channel_layout_default(&inLayout, std::max(f->ch_layout.nb_channels, 1));
            else
                av_channel_layout_copy(&inLayout, &f->ch_layout);
            int err = swr_alloc_set_opts2(&swr_, &outLayout, AV_SAMPLE_FMT_S16, audioRate_, &inLayout,
                                          static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
            if (err >= 0)
                err = swr_init(swr_);
            av_channel_layout_uninit(&outLayout);
            av_channel_layout_uninit(&inLayout);
            if (err < 0) {
                Log(llError, Format("Cannot convert audio from %d Hz %s: %s", f->sample_rate,
                                    av_get_sample_fmt_name(static_cast<AVSampleFormat>(f->format)),
                                    ErrorCodeText(err).c_str()));
                swr_free(&swr_);
                av_frame_unref(f);
                return -1;
            }
            swrInFormat_ = f->format;
            swrInRate_ = f->sample_rate;
            av_channel_layout_uninit(&swrInLayout_);
            av_channel_layout_copy(&swrInLayout_, &f->ch_layout);
        }
        const int outCapacity = swr_get_out_samples(swr_, f->nb_samples) + 32;
        // Room for the synchronisation to stretch the chunk by up to 10 %.
        const size_t needed = static_cast<size_t>(outCapacity) * frameBytes * 11 / 10 + frameBytes;
        if (audioBuf_.size() < needed)
            audioBuf_.resize(needed);
        uint8_t* outPtr = audioBuf_.data();
        const int got = swr_convert(swr_, &outPtr, outCapacity, const_cast<const uint8_t**>(f->extended_data),
                                    f->nb_samples);
        av_frame_unref(f);
        if (got <= 0) {
            if (got < 0)
                return -1;
            continue;
        }
        int size = got * frameBytes;
        if (!std::isnan(audioSkipUntil_)) {
            // After a seek, the sound before the requested time is not played.
            if (!std::isnan(pts)) {
                const double end = pts + static_cast<double>(got) / audioRate_;
                if (end <= audioSkipUntil_)
                    continue;
                const int drop = static_cast<int>(std::lround((audioSkipUntil_ - pts) * audioRate_));
                if (drop > 0 && drop < got) {
                    std::memmove(audioBuf_.data(), audioBuf_.data() + drop * frameBytes,
                                 static_cast<size_t>(size - drop * frameBytes));
                    size -= drop * frameBytes;
                    pts += static_cast<double>(drop) / audioRate_;
                }
            }
            audioSkipUntil_ = kNan;
        }
        {
            std::lock_guard<std::mutex> lock(clockMutex_);
            if (!std::isnan(pts))
                audioClock_ = pts + static_cast<double>(size) / audioBytesPerSec_;
            else if (!std::isnan(audioClock_))
                audioClock_ += static_cast<double>(size) / audioBytesPerSec_;
            else
                audioClock_ = startTime_ / 1000000.0 + static_cast<double>(size) / audioBytesPerSec_;
            // Audio follows the master clock only when it is not the master itself.
            const bool audioIsMaster = syncType_ == 0 || (syncType_ == 1 && !videoStream_);
            if (!audioIsMaster) {
                const double now = Now();
                const double diff = AudioClockLocked(now) - MasterClockLocked(now);
                const int wanted = audioDiff_.WantedSize(size, diff, audioRate_, audioChannels_);
                if (wanted != size) {
                    AdjustAudioChunk(audioBuf_.data(), size, wanted, audioChannels_);
                    size = wanted;
                }
            }
        }
        if (visualization_.load())
            visualizer_.AddSamples(reinterpret_cast<const int16_t*>(audioBuf_.data()), size / frameBytes,
                                   audioChannels_);
        return size;
    }
}

// ---------------------------------------------------------------------------------------------
// Video

void PlaySession::ClearPictureQueueLocked() {
    for (TPicture& p : pq_)
        av_frame_free(&p.frame);
    pqRead_ = 0;
    pqSize_ = 0;
}

void PlaySession::VideoThread() {
    AVFrame* frame = av_frame_alloc();
    AVFrame* held = av_frame_alloc();
    if (!frame || !held) {
        av_frame_free(&frame);
        av_frame_free(&held);
        return;
    }
    bool haveHeld = false;
    double heldPts = kNan;
    double skipUntil = kNan;
    {
        std::lock_guard<std::mutex> lock(pqMutex_);
        frameTimer_ = Now();
    }
    const double timeBase = av_q2d(videoStream_->time_base);

    // Frame skipping, the decoder-side clock and the queue, for a frame that is to be shown.
    auto deliver = [&](AVFrame* f, double pts) {
        bool take;
        {
            std::lock_guard<std::mutex> lock(pqMutex_);
            take = skip_.Take();
        }
        if (!take) {
            framesDropped_.fetch_add(1);
            return;
        }
        if (!std::isnan(pts))
            videoClock_ = pts;
        else
            pts = videoClock_;
        double duration = f->pkt_duration > 0 ? f->pkt_duration * timeBase : frameDuration_;
        duration += f->repeat_pict * duration * 0.5;
        videoClock_ += duration;
        QueuePicture(f, pts, duration, f->pkt_pos);
    };

    PacketQueue::TItem item;
    while (!abort_.load() && videoq_.Get(item, true) > 0) {
        if (item.kind == PacketQueue::pkFlush) {
            avcodec_flush_buffers(videoDec_);
            {
                std::lock_guard<std::mutex> lock(pqMutex_);
                ClearPictureQueueLocked();
                reorder_.Reset();
                frameTimer_ = Now();
                skip_.Reset();
                delay_.Reset(frameDuration_);
                // Without an exact target the pictures after the key frame lag behind the
                // clock and are let go quickly.
                afterSeek_ = std::isnan(item.seekTarget);
                freshPicture_ = true;
                videoFlushPending_.fetch_sub(1);
            }
            pqCond_.notify_all();
            skipUntil = item.seekTarget;
            av_frame_unref(held);
            haveHeld = false;
            continue;
        }
        int ret;
        if (item.kind == PacketQueue::pkDrain) {
            ret = avcodec_send_packet(videoDec_, nullptr);
        } else {
            ret = avcodec_send_packet(videoDec_, item.packet);
            av_packet_free(&item.packet);
        }
        (void)ret; // a damaged packet only costs its pictures
        while (!abort_.load() && avcodec_receive_frame(videoDec_, frame) >= 0) {
            const int64_t ts = reorder_.Choose(frame->pts, frame->pkt_dts);
            const double pts = ts != AV_NOPTS_VALUE ? ts * timeBase : kNan;
            if (!std::isnan(skipUntil)) {
                if (!std::isnan(pts) && pts + frameDuration_ / 2 < skipUntil) {
                    // Before the seek target; kept in case no later picture comes.
                    av_frame_unref(held);
                    av_frame_move_ref(held, frame);
                    heldPts = pts;
                    haveHeld = true;
                    continue;
                }
                skipUntil = kNan;
                av_frame_unref(held);
                haveHeld = false;
            }
            deliver(frame, pts);
            av_frame_unref(frame);
        }
        if (item.kind == PacketQueue::pkDrain) {
            if (haveHeld) {
                // The target lies past the last picture: show the last one.
                skipUntil = kNan;
                deliver(held, heldPts);
                av_frame_unref(held);
                haveHeld = false;
            }
            {
                // No picture since the last seek will come any more.
                std::lock_guard<std::mutex> lock(pqMutex_);
                if (freshPicture_ && pqSize_ == 0)
                    firstFrame_.store(true);
            }
            forcePositionReport_.store(true);
        }
    }
    av_frame_free(&frame);
    av_frame_free(&held);
}

AVFrame* PlaySession::UprightPicture(AVFrame* decoded) {
    const auto format = static_cast<AVPixelFormat>(decoded->format);
    const bool planar420 = format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P;
    if (planar420 && orientation_.IsIdentity())
        return av_frame_clone(decoded);
    AVFrame* src = decoded;
    AVFrame* converted = nullptr;
    if (!planar420) {
        converted = av_frame_alloc();
        if (!converted)
            return nullptr;
        converted->format = AV_PIX_FMT_YUV420P;
        converted->width = decoded->width;
        converted->height = decoded->height;
        convertCtx_ =
            sws_getCachedContext(convertCtx_, decoded->width, decoded->height, format, decoded->width,
                                 decoded->height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!convertCtx_ || av_frame_get_buffer(converted, 0) < 0) {
            Log(llError, "Cannot initialize the conversion context");
            av_frame_free(&converted);
            return nullptr;
        }
        sws_scale(convertCtx_, decoded->data, decoded->linesize, 0, decoded->height, converted->data,
                  converted->linesize);
        av_frame_copy_props(converted, decoded);
        src = converted;
    }
    if (orientation_.IsIdentity())
        return converted;
    AVFrame* out = av_frame_alloc();
    if (!out) {
        av_frame_free(&converted);
        return nullptr;
    }
    out->format = src->format;
    orientation_.UprightSize(src->width, src->height, out->width, out->height);
    if (av_frame_get_buffer(out, 0) < 0) {
        av_frame_free(&out);
        av_frame_free(&converted);
        return nullptr;
    }
    for (int p = 0; p < 3; ++p) {
        const int w = p ? (src->width + 1) / 2 : src->width;
        const int h = p ? (src->height + 1) / 2 : src->height;
        orientation_.ApplyPlane(src->data[p], src->linesize[p], w, h, out->data[p], out->linesize[p]);
    }
    av_frame_copy_props(out, src);
    if (orientation_.SwapsAxes() && src->sample_aspect_ratio.num > 0)
        out->sample_aspect_ratio = av_inv_q(src->sample_aspect_ratio);
    av_frame_free(&converted);
    return out;
}

bool PlaySession::QueuePicture(AVFrame* decoded, double pts, double duration, int64_t pos) {
    AVFrame* picture = UprightPicture(decoded);
    if (!picture)
        return false;
    if (owner_.HookActive()) {
        const int64_t hookPts = std::llround(pts * 1000000.0) - startTime_;
        if (!hookHolder_.ToBitmap(picture)) {
            Log(llError, "Cannot initialize the toRGB conversion context");
        } else if (owner_.CallHook(hookHolder_.Bitmap(), hookPts)) {
            // The drawing goes into what is shown, never back into the decoder's picture.
            const Bitmap24& bmp = hookHolder_.Bitmap();
            AVFrame* rgb = av_frame_alloc();
            if (rgb) {
                rgb->format = AV_PIX_FMT_BGR24;
                rgb->width = bmp.Width();
                rgb->height = bmp.Height();
                if (av_frame_get_buffer(rgb, 0) >= 0) {
                    for (int y = 0; y < bmp.Height(); ++y)
                        std::memcpy(rgb->data[0] + static_cast<ptrdiff_t>(y) * rgb->linesize[0],
                                    bmp.ScanLine(y), static_cast<size_t>(bmp.Width()) * 3);
                    av_frame_copy_props(rgb, picture);
                    av_frame_free(&picture);
                    picture = rgb;
                } else {
                    av_frame_free(&rgb);
                }
            }
        }
    }

    std::unique_lock<std::mutex> lock(pqMutex_);
    if (pqSize_ >= 2)
        skip_.QueueFull();
    pqCond_.wait(lock, [&] { return pqSize_ < 2 || abort_.load() || videoFlushPending_.load() > 0; });
    if (abort_.load() || videoFlushPending_.load() > 0) {
        av_frame_free(&picture);
        return false;
    }
    // The first picture since the start or a seek is timed from when it is ready, not from
    // when decoding began.
    if (freshPicture_ && pqSize_ == 0)
        frameTimer_ = Now();
    double diff;
    bool syncToMaster;
    {
        std::lock_guard<std::mutex> clockLock(clockMutex_);
        const double now = Now();
        syncToMaster = (syncType_ == 0 && audioStream_) || syncType_ == 2;
        // Before the first picture is shown the video clock says nothing about the video.
        diff = std::isnan(videoCurrentPts_) ? kNan : VideoClockLocked(now) - MasterClockLocked(now);
    }
    frameTimer_ += delay_.Next(pts, syncToMaster, diff);
    // Pictures that are due at once (video behind the master) leave the timer where it was; a
    // timer far in the past would make every later picture look late and be dropped for good.
    const double now = Now();
    if (frameTimer_ < now - kMaxTimerLag)
        frameTimer_ = now;
    TPicture& slot = pq_[(pqRead_ + pqSize_) % 2];
    slot.frame = picture;
    slot.pts = pts;
    slot.pos = pos;
    slot.target = frameTimer_;
    slot.duration = duration;
    ++pqSize_;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Subtitles

void PlaySession::ClearSubtitlesLocked() {
    for (int i = 0; i < subSize_; ++i)
        avsubtitle_free(&subq_[(subRead_ + i) % kSubtitleQueueSize].sub);
    subRead_ = 0;
    subSize_ = 0;
}

void PlaySession::SubtitleThread() {
    const double timeBase = av_q2d(subtitleStream_->time_base);
    PacketQueue::TItem item;
    while (!abort_.load() && subtitleq_.Get(item, true) > 0) {
        if (item.kind == PacketQueue::pkFlush) {
            avcodec_flush_buffers(subtitleDec_);
            {
                std::lock_guard<std::mutex> lock(subMutex_);
                ClearSubtitlesLocked();
                subFlushPending_.fetch_sub(1);
            }
            subCond_.notify_all();
            continue;
        }
        if (item.kind == PacketQueue::pkDrain)
            continue;
        {
            std::unique_lock<std::mutex> lock(subMutex_);
            subCond_.wait(lock, [&] {
                return subSize_ < kSubtitleQueueSize || abort_.load() || subFlushPending_.load() > 0;
            });
            if (abort_.load() || subFlushPending_.load() > 0) {
                av_packet_free(&item.packet);
                continue;
            }
        }
        AVSubtitle sub{};
        int got = 0;
        const int ret = avcodec_decode_subtitle2(subtitleDec_, &sub, &got, item.packet);
        double pts = kNan;
        if (got && sub.pts != AV_NOPTS_VALUE)
            pts = sub.pts / 1000000.0;
        else if (item.packet->pts != AV_NOPTS_VALUE)
            pts = item.packet->pts * timeBase;
        av_packet_free(&item.packet);
        if (ret < 0 || !got)
            continue;
        if (std::isnan(pts)) {
            avsubtitle_free(&sub);
            continue;
        }
        std::lock_guard<std::mutex> lock(subMutex_);
        TSubEntry& e = subq_[(subRead_ + subSize_) % kSubtitleQueueSize];
        e.sub = sub;
        e.pts = pts;
        ++subSize_;
    }
}

void PlaySession::ActiveSubtitle(double videoPts, TVideoPicture& picture) {
    if (!subtitleStream_)
        return;
    std::lock_guard<std::mutex> lock(subMutex_);
    while (subSize_ > 0) {
        TSubEntry& head = subq_[subRead_];
        const bool ended = head.sub.end_display_time != 0 && head.sub.end_display_time != UINT32_MAX &&
                           videoPts > head.pts + head.sub.end_display_time / 1000.0;
        const bool superseded = subSize_ > 1 && subq_[(subRead_ + 1) % kSubtitleQueueSize].pts <= videoPts;
        if (!ended && !superseded)
            break;
        avsubtitle_free(&head.sub);
        subRead_ = (subRead_ + 1) % kSubtitleQueueSize;
        --subSize_;
        subCond_.notify_all();
    }
    if (subSize_ == 0)
        return;
    const TSubEntry& e = subq_[subRead_];
    if (videoPts < e.pts + e.sub.start_display_time / 1000.0)
        return;
    for (unsigned i = 0; i < e.sub.num_rects; ++i) {
        const AVSubtitleRect* r = e.sub.rects[i];
        if (r->type == SUBTITLE_BITMAP && r->w > 0 && r->h > 0 && r->data[0] && r->data[1]) {
            TSubtitleImage img;
            img.x = r->x;
            img.y = r->y;
            img.width = r->w;
            img.height = r->h;
            img.bgra.resize(static_cast<size_t>(r->w) * r->h * 4);
            const auto* palette = reinterpret_cast<const uint32_t*>(r->data[1]);
            for (int y = 0; y < r->h; ++y) {
                const uint8_t* src = r->data[0] + static_cast<ptrdiff_t>(y) * r->linesize[0];
                uint8_t* dst = img.bgra.data() + static_cast<size_t>(y) * r->w * 4;
                for (int x = 0; x < r->w; ++x) {
                    const uint32_t argb = palette[src[x]];
                    dst[x * 4 + 0] = argb & 0xFF;
                    dst[x * 4 + 1] = (argb >> 8) & 0xFF;
                    dst[x * 4 + 2] = (argb >> 16) & 0xFF;
                    dst[x * 4 + 3] = (argb >> 24) & 0xFF;
                }
            }
            picture.subtitleImages.push_back(std::move(img));
        } else {
            const std::string text =
                r->type == SUBTITLE_ASS ? AssDialogueText(r->ass) : std::string(r->text ? r->text : "");
            if (text.empty())
                continue;
            if (!picture.subtitleText.empty())
                picture.subtitleText += '\n';
            picture.subtitleText += text;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Play thread

void PlaySession::PlayThread() {
    PushEvent({PlayerEventRing::ekState, psPlay, 0});
    try {
        while (!abort_.load()) {
            bool redraw = false;
            {
                // The refresh period, or less when the next picture is due sooner.
                double wait = visualization_.load() ? 0.020 : 0.005;
                {
                    std::lock_guard<std::mutex> pqLock(pqMutex_);
                    if (pqSize_ > 0 && !paused_.load())
                        wait = std::clamp(pq_[pqRead_].target - Now(), 0.0, wait);
                }
                std::unique_lock<std::mutex> lock(playMutex_);
                playCond_.wait_for(lock, std::chrono::duration<double>(wait),
                                   [&] { return abort_.load() || redisplay_; });
                redraw = redisplay_;
                redisplay_ = false;
            }
            if (abort_.load())
                break;
            // Only this thread replaces the last picture, so it may use it without the lock.
            if (redraw && lastShown_)
                PresentPicture(lastShown_, lastShownPts_);
            RefreshStep();
        }
    } catch (const std::exception& e) {
        Log(llFatal, std::string("PlayThread Exception: ") + e.what());
    }
    RequestAbort();
    readThread_.Join();
    PushEvent({PlayerEventRing::ekState, psStop, 0});
}

void PlaySession::RefreshStep() {
    if (videoStream_) {
        for (;;) {
            AVFrame* show = nullptr;
            double showPts = 0;
            bool fresh = false;
            {
                std::lock_guard<std::mutex> lock(pqMutex_);
                if (pqSize_ == 0)
                    break;
                const bool paused = paused_.load();
                // While paused only the first picture after opening or a seek is shown.
                if (paused && !freshPicture_)
                    break;
                TPicture& head = pq_[pqRead_];
                const double now = Now();
                if (!paused && now < head.target)
                    break;
                const double nextTarget =
                    pqSize_ > 1 ? pq_[(pqRead_ + 1) % 2].target : head.target + head.duration;
                if (!paused && ((now > nextTarget && !liveSource_) || afterSeek_)) {
                    skip_.Late();
                    if (pqSize_ > 1 || now > nextTarget + 0.5) {
                        av_frame_free(&head.frame);
                        pqRead_ = (pqRead_ + 1) % 2;
                        --pqSize_;
                        pqCond_.notify_all();
                        framesDropped_.fetch_add(1);
                        continue;
                    }
                }
                {
                    std::lock_guard<std::mutex> clockLock(clockMutex_);
                    videoCurrentPts_ = head.pts;
                    videoCurrentPtsDrift_ = head.pts - now;
                    videoClockLimit_ = head.pts + head.duration;
                    videoCurrentPos_ = head.pos;
                }
                show = head.frame;
                showPts = head.pts;
                head.frame = nullptr;
                pqRead_ = (pqRead_ + 1) % 2;
                --pqSize_;
                pqCond_.notify_all();
                afterSeek_ = false;
                fresh = freshPicture_;
                freshPicture_ = false;
            }
            {
                std::lock_guard<std::mutex> lock(shownMutex_);
                av_frame_free(&lastShown_);
                lastShown_ = show;
                lastShownPts_ = showPts;
            }
            PresentPicture(show, showPts);
            framesShown_.fetch_add(1);
            if (fresh) {
                audioWaitsForVideo_.store(false);
                firstFrame_.store(true);
                seeking_.store(false);
            }
            break;
        }
    } else if (visualization_.load() && !paused_.load()) {
        ShowVisualization();
    }
    ReportPositionAndEnd();
}

void PlaySession::DetachSurface() {
    std::lock_guard<std::mutex> lock(surfaceMutex_);
    if (surface_)
        surface_->Clear();
    surface_ = nullptr;
}

void PlaySession::PresentPicture(const AVFrame* frame, double pts) {
    std::lock_guard<std::mutex> lock(surfaceMutex_);
    if (!surface_ || !frame)
        return;
    TVideoPicture pic;
    pic.width = frame->width;
    pic.height = frame->height;
    if (frame->format == AV_PIX_FMT_BGR24) {
        pic.format = TVideoPicture::pfBGR24;
        pic.data[0] = frame->data[0];
        pic.linesize[0] = frame->linesize[0];
    } else {
        pic.format = TVideoPicture::pfYUV420P;
        pic.fullRange = frame->format == AV_PIX_FMT_YUVJ420P || frame->color_range == AVCOL_RANGE_JPEG;
        for (int p = 0; p < 3; ++p) {
            pic.data[p] = frame->data[p];
            pic.linesize[p] = frame->linesize[p];
        }
    }
    const double userAspect = owner_.AspectRatio();
    if (userAspect > 0)
        pic.aspectRatio = userAspect;
    else if (frame->sample_aspect_ratio.num > 0 && frame->sample_aspect_ratio.den > 0 && frame->height > 0)
        pic.aspectRatio = av_q2d(frame->sample_aspect_ratio) * frame->width / frame->height;
    else if (streamAspect_ > 0)
        pic.aspectRatio = streamAspect_;
    else
        pic.aspectRatio = frame->height > 0 ? static_cast<double>(frame->width) / frame->height : 1.0;
    pic.displayWidth = displayWidth_.load();
    pic.displayHeight = displayHeight_.load();
    pic.pts = std::llround(pts * 1000000.0) - startTime_;
    ActiveSubtitle(pts, pic);
    surface_->ShowPicture(pic);
}

void PlaySession::ShowVisualization() {
    std::lock_guard<std::mutex> lock(surfaceMutex_);
    if (!surface_)
        return;
    int w = displayWidth_.load();
    int h = displayHeight_.load();
    if (w <= 0 || h <= 0) {
        w = 320;
        h = 240;
    }
    visualizer_.Draw(visualImage_, w, h);
    surface_->ShowVisualization(visualImage_);
}

void PlaySession::ReportPositionAndEnd() {
    if (!imageSequence_) {
        double clock = kNan;
        {
            std::lock_guard<std::mutex> lock(clockMutex_);
            const double now = Now();
            if (videoStream_)
                clock = VideoClockLocked(now);
            else if (audioStream_)
                clock = AudioClockLocked(now);
        }
        const bool force = forcePositionReport_.exchange(false);
        if (!std::isnan(clock)) {
            int64_t pos = std::llround(clock * 1000000.0) - startTime_;
            if (duration_ >= 0)
                pos = std::min(pos, duration_);
            pos = std::max<int64_t>(pos, 0);
            if (!havePosition_ || std::llabs(pos - lastPosition_) > 10000 || force) {
                havePosition_ = true;
                lastPosition_ = pos;
                if (owner_.OnPosition())
                    PushEvent({PlayerEventRing::ekPosition, psPlay, pos});
            }
        }
    }
    if (!endReached_.load()) {
        endReported_ = false;
        return;
    }
    if (liveSource_ || endReported_)
        return;
    bool drained = true;
    if (videoStream_) {
        std::lock_guard<std::mutex> lock(pqMutex_);
        drained = pqSize_ == 0 && videoq_.Empty();
    }
    if (audioStream_ && !audioFinished_.load())
        drained = false;
    if (drained) {
        endReported_ = true;
        PushEvent({PlayerEventRing::ekState, psEnd, 0});
    }
}

AVFrame* PlaySession::LastShownPicture() const {
    std::lock_guard<std::mutex> lock(shownMutex_);
    return lastShown_ ? av_frame_clone(lastShown_) : nullptr;
}

void PlaySession::Redisplay() {
    {
        std::lock_guard<std::mutex> lock(playMutex_);
        redisplay_ = true;
    }
    playCond_.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Event thread

void PlaySession::EventThread() {
    for (;;) {
        PlayerEventRing::TEntry e;
        if (!events_.Pop(e, std::chrono::milliseconds(100)))
            continue;
        switch (e.kind) {
        case PlayerEventRing::ekPosition:
            owner_.DeliverPosition(e.position);
            break;
        case PlayerEventRing::ekState:
            owner_.DeliverState(e.state);
            if (e.state == psStop)
                return;
            break;
        case PlayerEventRing::ekQuit:
            return;
        }
    }
}

} // namespace kavlo
