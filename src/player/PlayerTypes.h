#pragma once
#include "core/Bitmap24.h"

#include <cstdint>
#include <functional>

namespace kavlo {

class TCustomPlayer;

// Play states in the order their ordinals are published (0-5).
enum TPlayState { psPlay, psPause, psResume, psStep, psStop, psEnd };
enum TAudioDriver { adDefault, adDirectSound, adWaveOut };
// Kept for the published interface; pictures go to a video surface, so it selects nothing.
enum TVideoDriver { vdDefault, vdDirectDraw, vdGDI };

// Duration in microseconds (-1 unknown, 0 image sequence), frame size (-1 x -1 without video),
// and the display size the handler may change (0 x 0: the surface's own size).
using TFileOpenEvent = std::function<void(TCustomPlayer* Sender, int64_t ADuration, int AFrameWidth,
                                          int AFrameHeight, int& AScreenWidth, int& AScreenHeight)>;
// Play position in microseconds from the start of the file.
using TPositionEvent = std::function<void(TCustomPlayer* Sender, int64_t APTS)>;
using TStateEvent = std::function<void(TCustomPlayer* Sender, TPlayState AState)>;
// A 24-bit picture of the frame about to be shown, and its time in microseconds from the start
// of the file. The bitmap belongs to the player and is valid only during the call.
using THookEvent = std::function<void(TCustomPlayer* Sender, Bitmap24& ABitmap, int64_t APTS)>;

// The SDL audio driver a choice stands for; nullptr leaves SDL's own choice. The two named
// choices are the platform's mixing sound server and its direct device interface.
const char* AudioDriverName(TAudioDriver driver);
// The video driver name a choice stood for; informational only (logged).
const char* VideoDriverName(TVideoDriver driver);

} // namespace kavlo
