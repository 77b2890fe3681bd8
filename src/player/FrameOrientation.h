#pragma once
#include <cstdint>

struct AVStream;

namespace kavlo {

// How stored pixels are turned to show a stream upright: one of the eight quarter-turn rotations
// and mirror images a display matrix can describe. A stored pixel (x, y) lands at
// (a x + c y, b x + d y), shifted so that the picture starts at (0, 0).
class FrameOrientation {
public:
    FrameOrientation() = default;
    FrameOrientation(int a, int b, int c, int d);

    // From a display matrix (nine 16.16/2.30 fixed-point values, the layout libavutil uses);
    // null, singular or not a quarter-turn/mirror matrix: upright.
    static FrameOrientation FromDisplayMatrix(const int32_t* matrix);
    static FrameOrientation FromStream(const AVStream* stream);

    bool IsIdentity() const { return a_ == 1 && b_ == 0 && c_ == 0 && d_ == 1; }
    // Width and height trade places.
    bool SwapsAxes() const { return a_ == 0; }
    void UprightSize(int width, int height, int& outWidth, int& outHeight) const;

    // Writes the upright form of one 8-bit plane of width x height into dst (sized by
    // UprightSize).
    void ApplyPlane(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst,
                    int dstStride) const;

    int a() const { return a_; }
    int b() const { return b_; }
    int c() const { return c_; }
    int d() const { return d_; }

private:
    int a_ = 1, b_ = 0, c_ = 0, d_ = 1;
};

} // namespace kavlo
