#pragma once
#include "core/Bitmap24.h"
#include "engine/ffmpeg/RgbHolder.h"
#include "player/PlayerTypes.h"
#include "player/TVideoSurface.h"
#include "probe/TAVProbe.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kavlo {

class PlaySession;

// Plays a media file: pictures go to a video surface, sound to the audio device through SDL,
// and the application follows playback through events (file opened, position, state) and may
// draw on every shown frame through the hook. Every method is called from the main thread;
// waits poll in short steps and run pending main-thread calls meanwhile, so handlers that run
// in the main thread never dead-lock them.
class TCustomPlayer {
public:
    // Player seek flags: the library's (backward 1, byte 2, any frame 4, frame number 8).
    static constexpr int SeekFlagMask = 0x0F;

    TCustomPlayer();
    virtual ~TCustomPlayer();
    TCustomPlayer(const TCustomPlayer&) = delete;
    TCustomPlayer& operator=(const TCustomPlayer&) = delete;

    std::string About() const;
    std::string Version() const { return "2.3"; }

    // Loads the codec libraries and SDL through the shared loader; on failure the loader's
    // message becomes LastErrMsg.
    bool LoadAVLib(const std::string& LibraryPath);
    bool AVLibLoaded() const;

    // Opens and starts playing FileName (UTF-8 path or URL) on Screen (may be null: nothing is
    // shown). False with LastErrMsg set when the file cannot be played; nothing is left running.
    bool Open(const std::string& FileName, TVideoSurface* Screen, bool Paused = false);
    void Stop(bool WaitForStop);
    void Pause();
    void Resume();
    // Position in microseconds from the start of the file (a byte position with the byte flag).
    void Seek(int Flags, bool Wait, int64_t Position);
    void SeekRelative(int Flags, bool Wait, double Seconds);
    // The picture shown last at the frame size (black before the first one); empty without video.
    // Owned by the player; valid until the next call.
    const Bitmap24& CurrentFrame();
    const std::string& LastErrMsg() const { return lastErrMsg_; }

    // The probe attached to the open file (closed when nothing is open).
    TAVProbe& Probe() { return probe_; }

    bool Playing() const;
    bool IsPaused() const;
    bool Seeking() const;

    // The clocks of the open file in microseconds from its start; false when nothing is open.
    // A clock without a value yet reads as AV_NOPTS_VALUE.
    struct TPlayerClocks {
        int64_t audio;
        int64_t video;
        int64_t external;
        int64_t master;
    };
    bool GetClocks(TPlayerClocks& clocks) const;
    // Pictures shown and dropped since Open.
    int64_t FramesShown() const;
    int64_t FramesDropped() const;

    const TFileOpenEvent& OnFileOpen() const { return onFileOpen_; }
    void SetOnFileOpen(TFileOpenEvent handler);
    TPositionEvent OnPosition() const;
    void SetOnPosition(TPositionEvent handler);
    TStateEvent OnState() const;
    void SetOnState(TStateEvent handler);
    THookEvent OnHook() const;
    void SetOnHook(THookEvent handler);

protected:
    // Properties; TFFPlayer publishes them.
    float AspectRatio() const { return aspectRatio_.load(); }
    void SetAspectRatio(float value);
    TAudioDriver AudioDriver() const { return audioDriver_; }
    void SetAudioDriver(TAudioDriver value) { audioDriver_ = value; }
    int AudioVolume() const { return audioVolume_.load(); }
    void SetAudioVolume(int value);
    bool DisableAudio() const { return disableAudio_; }
    void SetDisableAudio(bool value) { disableAudio_ = value; }
    bool DisableVideo() const { return disableVideo_; }
    void SetDisableVideo(bool value) { disableVideo_ = value; }
    bool DisableDisplay() const { return disableDisplay_; }
    void SetDisableDisplay(bool value) { disableDisplay_ = value; }
    bool Mute() const { return mute_.load(); }
    void SetMute(bool value) { mute_.store(value); }
    int FrameWidth() const { return frameWidth_; }
    int FrameHeight() const { return frameHeight_; }
    bool Hook() const { return hook_.load(); }
    void SetHook(bool value) { hook_.store(value); }
    int ScreenWidth() const { return screenWidth_; }
    void SetScreenWidth(int value) { screenWidth_ = value; }
    int ScreenHeight() const { return screenHeight_; }
    void SetScreenHeight(int value) { screenHeight_ = value; }
    bool TriggerEventInMainThread() const { return triggerInMainThread_.load(); }
    void SetTriggerEventInMainThread(bool value) { triggerInMainThread_.store(value); }
    TVideoDriver VideoDriver() const { return videoDriver_; }
    void SetVideoDriver(TVideoDriver value) { videoDriver_ = value; }

private:
    friend class PlaySession;

    // Runs fn in the main thread when events go there, else here; handler exceptions are logged.
    void RaiseEvent(const char* what, const std::function<void()>& fn);
    void DeliverPosition(int64_t pts);
    void DeliverState(TPlayState state);
    bool HookActive() const;
    // Called on the video thread; false when the handler failed.
    bool CallHook(Bitmap24& bitmap, int64_t pts);
    void ReapSessions(bool wait);
    void WaitSeekSettled(std::chrono::milliseconds limit);
    void WaitForSeek();

    std::string lastErrMsg_;
    std::unique_ptr<PlaySession> session_;
    // Sessions being stopped whose threads have not all ended yet.
    std::vector<std::unique_ptr<PlaySession>> ending_;
    TAVProbe probe_;
    RgbHolder frameHolder_;
    std::string fileName_;
    TVideoSurface* surface_ = nullptr;
    // Nesting of main-thread waits; sessions are only freed by the outermost one.
    int waitDepth_ = 0;

    std::atomic<float> aspectRatio_{0.0f};
    TAudioDriver audioDriver_ = adDefault;
    std::atomic<int> audioVolume_{128};
    bool disableAudio_ = false;
    bool disableVideo_ = false;
    bool disableDisplay_ = false;
    std::atomic<bool> mute_{false};
    int frameWidth_ = -1;
    int frameHeight_ = -1;
    std::atomic<bool> hook_{false};
    int screenWidth_ = 0;
    int screenHeight_ = 0;
    std::atomic<bool> triggerInMainThread_{true};
    TVideoDriver videoDriver_ = vdDefault;

    mutable std::mutex handlerMutex_;
    TFileOpenEvent onFileOpen_;
    TPositionEvent onPosition_;
    TStateEvent onState_;
    THookEvent onHook_;
};

} // namespace kavlo
