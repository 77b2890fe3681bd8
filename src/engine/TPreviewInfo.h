#pragma once
#include <cstdint>

namespace kavlo {

class Bitmap24;

// An encoded picture handed to OnPreviewBitmap.
struct TPreviewInfo {
    int32_t TaskIndex = 0;
    const Bitmap24* Bitmap = nullptr; // at the encoder's size
    int32_t FrameNumber = 0;
    int64_t PTS = 0; // µs
};

} // namespace kavlo
