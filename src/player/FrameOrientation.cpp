#include "player/FrameOrientation.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavformat/avformat.h>
}

namespace kavlo {

FrameOrientation::FrameOrientation(int a, int b, int c, int d) : a_(a), b_(b), c_(c), d_(d) {}

FrameOrientation FrameOrientation::FromDisplayMatrix(const int32_t* matrix) {
    if (!matrix)
        return {};
    const double m[4] = {matrix[0] / 65536.0, matrix[1] / 65536.0, matrix[3] / 65536.0, matrix[4] / 65536.0};
    const double scale = std::max({std::fabs(m[0]), std::fabs(m[1]), std::fabs(m[2]), std::fabs(m[3])});
    if (!(scale > 0))
        return {};
    int s[4];
    for (int i = 0; i < 4; ++i) {
        const double v = m[i] / scale;
        // A tilt of a few degrees is no quarter turn; such a picture is shown as stored.
        if (std::fabs(v) > 0.15 && std::fabs(std::fabs(v) - 1.0) > 0.15)
            return {};
        s[i] = std::fabs(v) <= 0.15 ? 0 : (v > 0 ? 1 : -1);
    }
    // Exactly one non-zero entry per row and column: a rotation by quarter turns, maybe mirrored.
    const bool straight = s[0] != 0 && s[3] != 0 && s[1] == 0 && s[2] == 0;
    const bool crossed = s[0] == 0 && s[3] == 0 && s[1] != 0 && s[2] != 0;
    if (!straight && !crossed)
        return {};
    return FrameOrientation(s[0], s[1], s[2], s[3]);
}

FrameOrientation FrameOrientation::FromStream(const AVStream* stream) {
    if (!stream)
        return {};
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(int32_t))
        return {};
    return FromDisplayMatrix(reinterpret_cast<const int32_t*>(data));
}

void FrameOrientation::UprightSize(int width, int height, int& outWidth, int& outHeight) const {
    outWidth = SwapsAxes() ? height : width;
    outHeight = SwapsAxes() ? width : height;
}

void FrameOrientation::ApplyPlane(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst,
                                  int dstStride) const {
    if (width <= 0 || height <= 0)
        return;
    int outW = 0, outH = 0;
    UprightSize(width, height, outW, outH);
    // Destination (X, Y) comes from the stored pixel found through the inverse (the transpose of
    // the orthogonal matrix) of the forward map, after undoing the shift to the origin.
    const int minX = std::min({0, a_ * (width - 1), c_ * (height - 1), a_ * (width - 1) + c_ * (height - 1)});
    const int minY = std::min({0, b_ * (width - 1), d_ * (height - 1), b_ * (width - 1) + d_ * (height - 1)});
    // Source position of destination (X, Y): x = a (X + minX) + b (Y + minY), y = c (X + minX) + d (Y +
    // minY).
    const int x0 = a_ * minX + b_ * minY;
    const int y0 = c_ * minX + d_ * minY;
    // Walking along a destination row moves the source by (a, c); down a column by (b, d).
    const ptrdiff_t stepX = static_cast<ptrdiff_t>(c_) * srcStride + a_;
    const ptrdiff_t stepY = static_cast<ptrdiff_t>(d_) * srcStride + b_;
    const uint8_t* origin = src + static_cast<ptrdiff_t>(y0) * srcStride + x0;
    // Tiles keep both the reads and the writes within a few cache lines when the axes swap.
    constexpr int tile = 32;
    for (int ty = 0; ty < outH; ty += tile) {
        const int yEnd = std::min(outH, ty + tile);
        for (int tx = 0; tx < outW; tx += tile) {
            const int xEnd = std::min(outW, tx + tile);
            for (int y = ty; y < yEnd; ++y) {
                uint8_t* out = dst + static_cast<ptrdiff_t>(y) * dstStride;
                const uint8_t* in = origin + stepY * y + stepX * tx;
                for (int x = tx; x < xEnd; ++x, in += stepX)
                    out[x] = *in;
            }
        }
    }
}

} // namespace kavlo
