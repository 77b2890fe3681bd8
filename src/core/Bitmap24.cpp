#include "core/Bitmap24.h"

#include <algorithm>
#include <stdexcept>

namespace kavlo {

void Bitmap24::SetSize(int width, int height) {
    if (width < 0 || height < 0)
        throw std::invalid_argument("bitmap size must not be negative");
    if (width == width_ && height == height_)
        return;
    width_ = width;
    height_ = height;
    stride_ = StrideFor(width);
    data_.assign(static_cast<size_t>(stride_) * height, 0);
}

void Bitmap24::Fill(uint8_t b, uint8_t g, uint8_t r) {
    for (int y = 0; y < height_; ++y) {
        uint8_t* p = ScanLine(y);
        for (int x = 0; x < width_; ++x, p += 3) {
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
    }
}

} // namespace kavlo
