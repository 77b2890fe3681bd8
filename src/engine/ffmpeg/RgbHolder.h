#pragma once
#include "core/Bitmap24.h"

#include <cstdint>

extern "C" {
#include <libavutil/pixfmt.h>
}

struct AVFrame;
struct SwsContext;

namespace kavlo {

// Turns pictures of any pixel format into a 24-bit BGR bitmap and back. The two scalers are
// kept between calls and only rebuilt when the picture size or pixel format changes, because a
// conversion hook or a preview runs this for every frame. Pictures already in BGR24 with rows
// laid out like the bitmap's are copied without a scaler.
class RgbHolder {
public:
    RgbHolder() = default;
    ~RgbHolder();
    RgbHolder(const RgbHolder&) = delete;
    RgbHolder& operator=(const RgbHolder&) = delete;

    // Fills the bitmap (resized to width x height) from the picture. False when the to-RGB
    // scaler cannot be created for this size and format.
    bool ToBitmap(const uint8_t* const data[], const int linesize[], int width, int height,
                  AVPixelFormat format);
    bool ToBitmap(const AVFrame* frame);
    // Writes the bitmap back into the picture, which must have the bitmap's size. False when the
    // from-RGB scaler cannot be created.
    bool FromBitmap(uint8_t* const data[], const int linesize[], int width, int height, AVPixelFormat format);
    bool FromBitmap(AVFrame* frame);

    Bitmap24& Bitmap() { return bitmap_; }
    const Bitmap24& Bitmap() const { return bitmap_; }

    // Drops the scalers (the bitmap is kept).
    void Reset();

private:
    static bool CanCopyRows(int width, int height, AVPixelFormat format, int linesize, int stride);

    Bitmap24 bitmap_;
    SwsContext* toRgb_ = nullptr;
    SwsContext* fromRgb_ = nullptr;
};

} // namespace kavlo
