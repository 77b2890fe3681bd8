#pragma once
#include "core/Bitmap24.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kavlo {

// One bitmap subtitle region to lay over a picture, in the picture's pixel coordinates.
struct TSubtitleImage {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    // width * height pixels of 4 bytes, blue-green-red-alpha, rows top to bottom.
    std::vector<uint8_t> bgra;
};

// A picture the player wants shown. The pixel data belong to the player and stay valid only
// during the surface call; a surface that paints later copies them.
struct TVideoPicture {
    enum TFormat { pfYUV420P, pfBGR24 };
    TFormat format = pfYUV420P;
    // Frame size in pixels, already upright when the stream carries a rotation.
    int width = 0;
    int height = 0;
    // pfYUV420P: Y, U, V planes (chroma planes (width + 1) / 2 x (height + 1) / 2).
    // pfBGR24: data[0] only, 3 bytes per pixel.
    const uint8_t* data[3] = {nullptr, nullptr, nullptr};
    int linesize[3] = {0, 0, 0};
    // pfYUV420P: full-range (JPEG) levels instead of the video range 16-235.
    bool fullRange = false;
    // Shape of the picture on screen: width / height of the displayed picture (sample aspect ratio
    // applied, or the player's AspectRatio when set).
    double aspectRatio = 0;
    // Size of the display area (the player's ScreenWidth x ScreenHeight; 0 x 0: the surface's own).
    int displayWidth = 0;
    int displayHeight = 0;
    // Time of the picture in microseconds from the start of the file.
    int64_t pts = 0;
    // The subtitle showing with this picture: plain text lines and/or bitmap regions.
    std::string subtitleText;
    std::vector<TSubtitleImage> subtitleImages;
};

// Where the player shows its pictures. The player calls it from its play thread; an
// implementation that paints on another thread copies what it needs before returning. Once the
// player's Stop has returned (or the next Open, or the player is gone) the surface is not called
// any more and may be destroyed.
class TVideoSurface {
public:
    virtual ~TVideoSurface() = default;
    // A video picture to show now.
    virtual void ShowPicture(const TVideoPicture& picture) = 0;
    // The audio visualisation image of a file without video, at the display size.
    virtual void ShowVisualization(const Bitmap24& image) = 0;
    // Playback ended; the surface may go blank.
    virtual void Clear() {}
    // The surface's own size, used when the display size stays 0 x 0 after OnFileOpen.
    virtual void ClientSize(int& width, int& height) const {
        width = 0;
        height = 0;
    }
};

} // namespace kavlo
