#include "player/TCustomPlayer.h"

#include "core/Dispatcher.h"
#include "core/TextUtils.h"
#include "engine/ffmpeg/TFFLogger.h"
#include "engine/ffmpeg/TFFmpegLoader.h"
#include "player/PlaySession.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace kavlo {

namespace {

// How deep the current thread is inside player event handlers. A Stop from inside a handler
// cannot wait for the event thread that is waiting for that very handler.
thread_local int tHandlerDepth = 0;

struct HandlerScope {
    HandlerScope() { ++tHandlerDepth; }
    ~HandlerScope() { --tHandlerDepth; }
};

// One short step of a main-thread wait: calls waiting for the main thread run meanwhile.
void WaitStep(std::chrono::milliseconds step) {
    Dispatcher& d = CurrentDispatcher();
    if (d.IsMainThread())
        d.WaitAndProcess(step);
    else
        std::this_thread::sleep_for(step);
}

constexpr std::chrono::milliseconds kWaitStep(10);

bool CheckSdlAudio(std::string& errorText) {
    SDL_version linked{};
    SDL_GetVersion(&linked);
    if (linked.major != SDL_MAJOR_VERSION) {
        errorText = Format("SDL %d.%d.%d found, %d.x needed", linked.major, linked.minor, linked.patch,
                           SDL_MAJOR_VERSION);
        return false;
    }
    if (SDL_GetNumAudioDrivers() <= 0) {
        errorText = "SDL has no audio driver";
        return false;
    }
    return true;
}

int64_t ClockToMicro(double seconds, int64_t startTime) {
    if (std::isnan(seconds))
        return AV_NOPTS_VALUE;
    return std::llround(seconds * 1000000.0) - startTime;
}

} // namespace

TCustomPlayer::TCustomPlayer() {
    TFFmpegLoader::SetSdlCheck(&CheckSdlAudio);
}

TCustomPlayer::~TCustomPlayer() {
    {
        std::lock_guard<std::mutex> lock(handlerMutex_);
        onFileOpen_ = nullptr;
        onPosition_ = nullptr;
        onState_ = nullptr;
        onHook_ = nullptr;
    }
    Stop(true);
    ReapSessions(true);
    probe_.CloseFile();
}

std::string TCustomPlayer::About() const {
    return "TFFPlayer " + Version() + ": plays media files with the FFmpeg libraries and SDL";
}

bool TCustomPlayer::LoadAVLib(const std::string& LibraryPath) {
    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(LibraryPath);
    if (!loader.Load(kPlayerLibraries)) {
        lastErrMsg_ = loader.LastErrMsg();
        return false;
    }
    return true;
}

bool TCustomPlayer::AVLibLoaded() const {
    return FFmpegLoader().Loaded(kPlayerLibraries);
}

// ---------------------------------------------------------------------------------------------
// Properties and handlers

void TCustomPlayer::SetAspectRatio(float value) {
    const float old = aspectRatio_.exchange(value);
    if (old != value && session_)
        session_->Redisplay();
}

void TCustomPlayer::SetAudioVolume(int value) {
    audioVolume_.store(std::clamp(value, 0, SDL_MIX_MAXVOLUME));
}

void TCustomPlayer::SetOnFileOpen(TFileOpenEvent handler) {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    onFileOpen_ = std::move(handler);
}

TPositionEvent TCustomPlayer::OnPosition() const {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    return onPosition_;
}

void TCustomPlayer::SetOnPosition(TPositionEvent handler) {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    onPosition_ = std::move(handler);
}

TStateEvent TCustomPlayer::OnState() const {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    return onState_;
}

void TCustomPlayer::SetOnState(TStateEvent handler) {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    onState_ = std::move(handler);
}

THookEvent TCustomPlayer::OnHook() const {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    return onHook_;
}

void TCustomPlayer::SetOnHook(THookEvent handler) {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    onHook_ = std::move(handler);
}

void TCustomPlayer::RaiseEvent(const char* what, const std::function<void()>& fn) {
    auto call = [&] {
        HandlerScope scope;
        try {
            fn();
        } catch (const std::exception& e) {
            FFLogger().Log(this, llError, Format("Error occurs %s: %s", what, e.what()));
        } catch (...) {
            FFLogger().Log(this, llError, Format("Error occurs %s: unknown exception", what));
        }
    };
    if (triggerInMainThread_.load())
        SyncCall(call);
    else
        call();
}

void TCustomPlayer::DeliverPosition(int64_t pts) {
    TPositionEvent handler = OnPosition();
    if (handler)
        RaiseEvent("OnPosition", [&] { handler(this, pts); });
}

void TCustomPlayer::DeliverState(TPlayState state) {
    TStateEvent handler = OnState();
    if (handler)
        RaiseEvent("OnState", [&] { handler(this, state); });
}

bool TCustomPlayer::HookActive() const {
    if (!hook_.load())
        return false;
    std::lock_guard<std::mutex> lock(handlerMutex_);
    return static_cast<bool>(onHook_);
}

bool TCustomPlayer::CallHook(Bitmap24& bitmap, int64_t pts) {
    THookEvent handler = OnHook();
    if (!handler)
        return false;
    try {
        handler(this, bitmap, pts);
        return true;
    } catch (const std::exception& e) {
        FFLogger().Log(this, llError, std::string("Error occurs OnHook: ") + e.what());
    } catch (...) {
        FFLogger().Log(this, llError, "Error occurs OnHook: unknown exception");
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Open and stop

bool TCustomPlayer::Open(const std::string& FileName, TVideoSurface* Screen, bool Paused) {
    if (!AVLibLoaded()) {
        lastErrMsg_ = "libav or libsdl not loaded.";
        return false;
    }
    Stop(true);
    lastErrMsg_.clear();

    // SDL reads the driver choice when its audio subsystem starts; the default leaves SDL's
    // own choice (and the environment's).
    PlaySession::SetAudioDriver(AudioDriverName(audioDriver_));
    const char* videoDriver = VideoDriverName(videoDriver_);
    FFLogger().Log(this, llDebug, Format("using video driver: %s", videoDriver ? videoDriver : "surface"));

    PlaySession::TOptions options;
    options.disableAudio = disableAudio_;
    options.disableDisplay = disableDisplay_;
    options.disableVideo = disableVideo_ || disableDisplay_;
    options.startPaused = Paused;
    auto session =
        std::make_unique<PlaySession>(*this, FileName, disableDisplay_ ? nullptr : Screen, options);
    session->StartReadThread();
    while (session->ReadResult() == 0)
        WaitStep(kWaitStep);
    if (session->ReadResult() < 0) {
        lastErrMsg_ = session->Error();
        session->RequestAbort();
        while (!session->ThreadsFinished(true))
            WaitStep(kWaitStep);
        session->JoinFinishedThreads();
        return false;
    }

    session_ = std::move(session);
    fileName_ = FileName;
    surface_ = Screen;
    probe_.AttachContext(session_->FormatContext());
    frameWidth_ = session_->FrameWidth();
    frameHeight_ = session_->FrameHeight();
    const int64_t duration = session_->IsImageSequence() ? 0 : session_->Duration();
    int screenWidth = screenWidth_;
    int screenHeight = screenHeight_;
    TFileOpenEvent handler;
    {
        std::lock_guard<std::mutex> lock(handlerMutex_);
        handler = onFileOpen_;
    }
    if (handler) {
        const int fw = frameWidth_, fh = frameHeight_;
        RaiseEvent("OnFileOpen", [&] { handler(this, duration, fw, fh, screenWidth, screenHeight); });
    }
    if (screenWidth == 0 && screenHeight == 0 && Screen)
        Screen->ClientSize(screenWidth, screenHeight);
    // The handler may have stopped playback already.
    if (!session_)
        return false;
    session_->BeginPlayback(screenWidth, screenHeight);
    return true;
}

void TCustomPlayer::Stop(bool WaitForStop) {
    ReapSessions(false);
    if (!session_)
        return;
    if (session_->Paused() && !session_->AbortRequested())
        Resume();
    session_->RequestAbort();
    // Once Stop returns the surface may go away: the session no longer shows anything on it.
    session_->DetachSurface();
    // The probe only looks at the context; it lets go of it before the context goes.
    probe_.CloseFile();
    PlaySession* ending = session_.get();
    ending_.push_back(std::move(session_));
    if (!WaitForStop)
        return;
    const bool withEvents = tHandlerDepth == 0;
    ++waitDepth_;
    while (!ending->ThreadsFinished(withEvents))
        WaitStep(kWaitStep);
    --waitDepth_;
    ending->JoinFinishedThreads();
    ReapSessions(false);
}

void TCustomPlayer::ReapSessions(bool wait) {
    // A wait further up the stack still holds one of these sessions.
    if (waitDepth_ > 0)
        return;
    if (wait) {
        ++waitDepth_;
        for (auto& s : ending_)
            while (!s->ThreadsFinished(true))
                WaitStep(kWaitStep);
        --waitDepth_;
    }
    for (auto it = ending_.begin(); it != ending_.end();) {
        if ((*it)->ThreadsFinished(true)) {
            (*it)->JoinFinishedThreads();
            it = ending_.erase(it);
        } else {
            ++it;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Pause, resume, seek

bool TCustomPlayer::Playing() const {
    return session_ && !session_->AbortRequested();
}

bool TCustomPlayer::IsPaused() const {
    return Playing() && session_->Paused();
}

bool TCustomPlayer::Seeking() const {
    return Playing() && session_->Seeking();
}

void TCustomPlayer::WaitSeekSettled(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    PlaySession* s = session_.get();
    ++waitDepth_;
    while (s == session_.get() && s && !s->AbortRequested() &&
           (!s->SeekDone() || (s->HasVideo() && !s->FirstFrameShown())) &&
           std::chrono::steady_clock::now() < deadline)
        WaitStep(kWaitStep);
    --waitDepth_;
}

void TCustomPlayer::Pause() {
    if (!Playing())
        return;
    WaitSeekSettled(std::chrono::milliseconds(250));
    if (Playing() && !session_->Paused()) {
        session_->TogglePause();
        session_->PushEvent({PlayerEventRing::ekState, psPause, 0});
    }
}

void TCustomPlayer::Resume() {
    if (!Playing())
        return;
    WaitSeekSettled(std::chrono::milliseconds(250));
    if (Playing() && session_->Paused()) {
        session_->TogglePause();
        session_->PushEvent({PlayerEventRing::ekState, psResume, 0});
    }
}

void TCustomPlayer::WaitForSeek() {
    PlaySession* s = session_.get();
    ++waitDepth_;
    while (s == session_.get() && s && !s->AbortRequested() && !s->ThreadsFinished(false) &&
           (!s->SeekDone() || (s->HasVideo() && !s->FirstFrameShown())))
        WaitStep(kWaitStep);
    --waitDepth_;
}

void TCustomPlayer::Seek(int Flags, bool Wait, int64_t Position) {
    if (!Playing())
        return;
    Flags &= SeekFlagMask;
    int64_t target = Position;
    if (!(Flags & AVSEEK_FLAG_BYTE)) {
        const int64_t duration = session_->Duration();
        if (duration >= 0)
            target = std::min(target, duration);
        target = std::max<int64_t>(target, 0);
        target += session_->StartTime();
    }
    if (!session_->RequestSeek(target, 0, Flags))
        return;
    if (Wait)
        WaitForSeek();
}

void TCustomPlayer::SeekRelative(int Flags, bool Wait, double Seconds) {
    if (!Playing())
        return;
    Flags &= SeekFlagMask;
    int64_t target, rel;
    if (Flags & AVSEEK_FLAG_BYTE) {
        const int64_t pos = std::max<int64_t>(session_->BytePosition(), 0);
        const int64_t bitRate = session_->BitRate();
        const double increment = bitRate > 0 ? Seconds * bitRate / 8.0 : Seconds * 180000.0;
        rel = std::llround(increment);
        target = std::max<int64_t>(pos + rel, 0);
    } else {
        double master = session_->MasterClock();
        if (std::isnan(master))
            master = session_->StartTime() / 1000000.0;
        rel = std::llround(Seconds * 1000000.0);
        target = std::llround(master * 1000000.0) + rel;
        const int64_t start = session_->StartTime();
        const int64_t duration = session_->Duration();
        if (duration >= 0)
            target = std::min(target, start + duration);
        target = std::max(target, start);
    }
    if (!session_->RequestSeek(target, rel, Flags))
        return;
    if (Wait)
        WaitForSeek();
}

// ---------------------------------------------------------------------------------------------
// Pictures and clocks

const Bitmap24& TCustomPlayer::CurrentFrame() {
    Bitmap24& bitmap = frameHolder_.Bitmap();
    if (!session_ || !session_->HasVideo() || frameWidth_ <= 0 || frameHeight_ <= 0) {
        bitmap.SetSize(0, 0);
        return bitmap;
    }
    bitmap.SetSize(frameWidth_, frameHeight_);
    bitmap.Fill(0, 0, 0);
    AVFrame* shown = session_->LastShownPicture();
    if (shown) {
        if (!frameHolder_.ToBitmap(shown))
            bitmap.SetSize(0, 0);
        av_frame_free(&shown);
    }
    return bitmap;
}

bool TCustomPlayer::GetClocks(TPlayerClocks& clocks) const {
    if (!session_)
        return false;
    const PlaySession::TClocks c = session_->Clocks();
    const int64_t start = session_->StartTime();
    clocks.audio = ClockToMicro(c.audio, start);
    clocks.video = ClockToMicro(c.video, start);
    clocks.external = ClockToMicro(c.external, start);
    clocks.master = ClockToMicro(c.master, start);
    return true;
}

int64_t TCustomPlayer::FramesShown() const {
    return session_ ? session_->FramesShown() : 0;
}

int64_t TCustomPlayer::FramesDropped() const {
    return session_ ? session_->FramesDropped() : 0;
}

} // namespace kavlo
