#include "engine/ffmpeg/RgbHolder.h"

#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace kavlo {

RgbHolder::~RgbHolder() {
    Reset();
}

void RgbHolder::Reset() {
    sws_freeContext(toRgb_);
    sws_freeContext(fromRgb_);
    toRgb_ = nullptr;
    fromRgb_ = nullptr;
}

bool RgbHolder::CanCopyRows(int width, int height, AVPixelFormat format, int linesize, int stride) {
    return format == AV_PIX_FMT_BGR24 && (width % 2) == 0 && (height % 2) == 0 && linesize == stride;
}

bool RgbHolder::ToBitmap(const uint8_t* const data[], const int linesize[], int width, int height,
                         AVPixelFormat format) {
    if (width <= 0 || height <= 0 || format == AV_PIX_FMT_NONE)
        return false;
    bitmap_.SetSize(width, height);
    const int stride = bitmap_.Stride();
    if (CanCopyRows(width, height, format, linesize[0], stride)) {
        std::memcpy(bitmap_.Bits(), data[0], static_cast<size_t>(stride) * height);
        return true;
    }
    toRgb_ = sws_getCachedContext(toRgb_, width, height, format, width, height, AV_PIX_FMT_BGR24, SWS_BICUBIC,
                                  nullptr, nullptr, nullptr);
    if (!toRgb_)
        return false;
    // The scaler writes straight into the bitmap's rows; its stride is the bitmap's padded one.
    uint8_t* dst[4] = {bitmap_.Bits(), nullptr, nullptr, nullptr};
    int dstStride[4] = {stride, 0, 0, 0};
    sws_scale(toRgb_, data, linesize, 0, height, dst, dstStride);
    return true;
}

bool RgbHolder::ToBitmap(const AVFrame* frame) {
    return ToBitmap(frame->data, frame->linesize, frame->width, frame->height,
                    static_cast<AVPixelFormat>(frame->format));
}

bool RgbHolder::FromBitmap(uint8_t* const data[], const int linesize[], int width, int height,
                           AVPixelFormat format) {
    if (width != bitmap_.Width() || height != bitmap_.Height() || width <= 0 || height <= 0)
        return false;
    const int stride = bitmap_.Stride();
    if (format == AV_PIX_FMT_BGR24) {
        const size_t rowBytes = static_cast<size_t>(width) * 3;
        for (int y = 0; y < height; ++y)
            std::memcpy(data[0] + static_cast<ptrdiff_t>(y) * linesize[0], bitmap_.ScanLine(y), rowBytes);
        return true;
    }
    fromRgb_ = sws_getCachedContext(fromRgb_, width, height, AV_PIX_FMT_BGR24, width, height, format,
                                    SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!fromRgb_)
        return false;
    const uint8_t* src[4] = {bitmap_.Bits(), nullptr, nullptr, nullptr};
    int srcStride[4] = {stride, 0, 0, 0};
    sws_scale(fromRgb_, src, srcStride, 0, height, data, linesize);
    return true;
}

bool RgbHolder::FromBitmap(AVFrame* frame) {
    return FromBitmap(frame->data, frame->linesize, frame->width, frame->height,
                      static_cast<AVPixelFormat>(frame->format));
}

} // namespace kavlo
