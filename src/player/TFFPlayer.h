#pragma once
#include "player/TCustomPlayer.h"

namespace kavlo {

// The player component with its properties published.
class TFFPlayer : public TCustomPlayer {
public:
    TFFPlayer() = default;

    using TCustomPlayer::AspectRatio;
    using TCustomPlayer::AudioDriver;
    using TCustomPlayer::AudioVolume;
    using TCustomPlayer::DisableAudio;
    using TCustomPlayer::DisableDisplay;
    using TCustomPlayer::DisableVideo;
    using TCustomPlayer::FrameHeight;
    using TCustomPlayer::FrameWidth;
    using TCustomPlayer::Hook;
    using TCustomPlayer::Mute;
    using TCustomPlayer::ScreenHeight;
    using TCustomPlayer::ScreenWidth;
    using TCustomPlayer::SetAspectRatio;
    using TCustomPlayer::SetAudioDriver;
    using TCustomPlayer::SetAudioVolume;
    using TCustomPlayer::SetDisableAudio;
    using TCustomPlayer::SetDisableDisplay;
    using TCustomPlayer::SetDisableVideo;
    using TCustomPlayer::SetHook;
    using TCustomPlayer::SetMute;
    using TCustomPlayer::SetScreenHeight;
    using TCustomPlayer::SetScreenWidth;
    using TCustomPlayer::SetTriggerEventInMainThread;
    using TCustomPlayer::SetVideoDriver;
    using TCustomPlayer::TriggerEventInMainThread;
    using TCustomPlayer::VideoDriver;
};

} // namespace kavlo
