#include "player/PlayerTypes.h"

namespace kavlo {

const char* AudioDriverName(TAudioDriver driver) {
    switch (driver) {
    case adDirectSound:
#ifdef _WIN32
        return "directsound";
#else
        return "pulseaudio";
#endif
    case adWaveOut:
#ifdef _WIN32
        return "winmm";
#else
        return "alsa";
#endif
    default:
        return nullptr;
    }
}

const char* VideoDriverName(TVideoDriver driver) {
    switch (driver) {
    case vdDirectDraw:
        return "directx";
    case vdGDI:
        return "windib";
    default:
        return nullptr;
    }
}

} // namespace kavlo
