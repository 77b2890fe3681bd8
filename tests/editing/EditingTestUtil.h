#pragma once
#include <array>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>

#include "core/Bitmap24.h"

namespace kavlo::test {

using Bgr = std::array<int, 3>; // blue, green, red

inline Bgr PixelAt(const Bitmap24& bmp, int x, int y) {
    const uint8_t* p = bmp.ScanLine(y) + x * 3;
    return {p[0], p[1], p[2]};
}

inline void SetPixel(Bitmap24& bmp, int x, int y, Bgr c) {
    uint8_t* p = bmp.ScanLine(y) + x * 3;
    p[0] = static_cast<uint8_t>(c[0]);
    p[1] = static_cast<uint8_t>(c[1]);
    p[2] = static_cast<uint8_t>(c[2]);
}

inline Bitmap24 Solid(int w, int h, Bgr c) {
    Bitmap24 bmp(w, h);
    bmp.Fill(static_cast<uint8_t>(c[0]), static_cast<uint8_t>(c[1]), static_cast<uint8_t>(c[2]));
    return bmp;
}

// One row: pixel i is grey level i, so a per-level table can be read straight off the result.
inline Bitmap24 GreyRamp() {
    Bitmap24 bmp(256, 1);
    for (int i = 0; i < 256; ++i)
        SetPixel(bmp, i, 0, {i, i, i});
    return bmp;
}

// Deterministic "noise" picture covering all byte values.
inline Bitmap24 Noise(int w, int h, uint32_t seed = 12345) {
    Bitmap24 bmp(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x) {
            seed = seed * 1664525u + 1013904223u;
            bmp.ScanLine(y)[x] = static_cast<uint8_t>(seed >> 24);
        }
    return bmp;
}

// Marks the padding bytes at the end of every row, so a test can see that nothing wrote there.
inline void MarkPadding(Bitmap24& bmp, uint8_t value = 0xA5) {
    for (int y = 0; y < bmp.Height(); ++y)
        for (int i = bmp.Width() * 3; i < bmp.Stride(); ++i)
            bmp.ScanLine(y)[i] = value;
}

inline bool PaddingIntact(const Bitmap24& bmp, uint8_t value = 0xA5) {
    for (int y = 0; y < bmp.Height(); ++y)
        for (int i = bmp.Width() * 3; i < bmp.Stride(); ++i)
            if (bmp.ScanLine(y)[i] != value)
                return false;
    return true;
}

inline bool SamePixels(const Bitmap24& a, const Bitmap24& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height())
        return false;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width() * 3; ++x)
            if (a.ScanLine(y)[x] != b.ScanLine(y)[x])
                return false;
    return true;
}

// A plain 24-bit BMP file (bottom-up rows padded to 4 bytes), written by hand so the reading side
// is checked against the file format rather than against Qt's own writer.
inline void WriteBmp24(const std::string& path, const Bitmap24& bmp) {
    const uint32_t rowBytes = static_cast<uint32_t>((bmp.Width() * 3 + 3) & ~3);
    const uint32_t dataSize = rowBytes * static_cast<uint32_t>(bmp.Height());
    std::string out;
    auto u16 = [&](uint32_t v) {
        out.push_back(static_cast<char>(v & 0xFF));
        out.push_back(static_cast<char>((v >> 8) & 0xFF));
    };
    auto u32 = [&](uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    out += "BM";
    u32(54 + dataSize);
    u32(0);
    u32(54);
    u32(40);
    u32(static_cast<uint32_t>(bmp.Width()));
    u32(static_cast<uint32_t>(bmp.Height()));
    u16(1);
    u16(24);
    u32(0);
    u32(dataSize);
    u32(3780);
    u32(3780);
    u32(0);
    u32(0);
    for (int y = bmp.Height() - 1; y >= 0; --y) {
        std::string row(reinterpret_cast<const char*>(bmp.ScanLine(y)), bmp.Width() * 3);
        row.resize(rowBytes, '\0');
        out += row;
    }
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(out.data(), static_cast<std::streamsize>(out.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

} // namespace kavlo::test
