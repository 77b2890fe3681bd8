#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavlo {

// A 24-bit picture, bytes in blue-green-red order, rows top to bottom, each row padded to a
// multiple of 4 bytes. It is the picture every frame hook and effect routine works on.
class Bitmap24 {
public:
    Bitmap24() = default;
    Bitmap24(int width, int height) { SetSize(width, height); }

    // Resizes; the contents are zeroed when the size changes and kept when it does not.
    void SetSize(int width, int height);
    void Fill(uint8_t b, uint8_t g, uint8_t r);

    int Width() const { return width_; }
    int Height() const { return height_; }
    int Stride() const { return stride_; }
    bool Empty() const { return width_ <= 0 || height_ <= 0; }

    uint8_t* ScanLine(int y) { return data_.data() + static_cast<size_t>(y) * stride_; }
    const uint8_t* ScanLine(int y) const { return data_.data() + static_cast<size_t>(y) * stride_; }
    uint8_t* Bits() { return data_.data(); }
    const uint8_t* Bits() const { return data_.data(); }
    size_t ByteSize() const { return data_.size(); }

    static int StrideFor(int width) { return (width * 3 + 3) & ~3; }

private:
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    std::vector<uint8_t> data_;
};

} // namespace kavlo
