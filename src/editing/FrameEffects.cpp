#include "editing/FrameEffects.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "editing/WatermarkImageCache.h"
#include "editing/WatermarkText.h"

namespace kavlo {

namespace {

// Halves go to the even neighbour whatever the floating-point environment says.
double RoundHalfEven(double v) {
    const double f = std::floor(v);
    const double d = v - f;
    if (d > 0.5)
        return f + 1.0;
    if (d < 0.5)
        return f;
    return std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
}

// Rounds and limits to 0..255 without ever converting an out-of-range double to an integer.
uint8_t RoundToLevel(double v) {
    if (std::isnan(v))
        return 170; // only reachable at the pivot itself with an infinite factor
    const double r = RoundHalfEven(v);
    if (r <= 0.0)
        return 0;
    if (r >= 255.0)
        return 255;
    return static_cast<uint8_t>(r);
}

uint8_t ClampLevel(int64_t v) {
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

struct ColorTables {
    bool valid = false;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    std::array<int32_t, 256> sat{}; // S
    // G - lowest, indexed by B + G + R, where lowest is the smallest value G + S can take; so
    // grey[sum] + sat[byte] indexes `levels` directly.
    std::array<int32_t, 768> grey{};
    // L[clamp(lowest + index)]: saves the clamp in the pixel loop.
    std::vector<uint8_t> levels;
};

void BuildColorTables(ColorTables& t, int brightness, int contrast, int saturation) {
    const int c = contrast == 100 ? 99 : contrast;
    // The two constants differ on purpose: the darkening side has always used the rounded one.
    const double factor = c > 0 ? 1.0 / std::cos(c * 0.015707963267948967) : std::cos(c * 0.015708);

    std::array<uint8_t, 256> contrastTable{};
    for (int i = 0; i < 256; ++i)
        contrastTable[i] = RoundToLevel((i - 170) * factor + 170.0);

    std::array<uint8_t, 256> level{};
    const int64_t b = brightness;
    for (int j = 0; j < 256; ++j)
        level[j] = contrastTable[ClampLevel((256 - b + b * j) / 256)];

    // Beyond +-65536 every channel off the pixel's mean already lands on 0 or 255.
    const int64_t s = std::clamp<int64_t>(saturation, -65536, 65536);
    for (int k = 0; k < 256; ++k)
        t.sat[k] = static_cast<int32_t>(((k + 1) * s) >> 8);
    for (int n = 0; n < 768; ++n)
        t.grey[n] = n / 3 - t.sat[n / 3];

    const auto [satMin, satMax] = std::minmax_element(t.sat.begin(), t.sat.end());
    const auto [greyMin, greyMax] = std::minmax_element(t.grey.begin(), t.grey.end());
    const int32_t lowest = *greyMin + *satMin;
    const int32_t highest = *greyMax + *satMax;
    t.levels.resize(static_cast<size_t>(highest - lowest) + 1);
    for (int32_t v = lowest; v <= highest; ++v)
        t.levels[v - lowest] = level[ClampLevel(v)];
    for (int32_t& g : t.grey)
        g -= lowest;

    t.brightness = brightness;
    t.contrast = contrast;
    t.saturation = saturation;
    t.valid = true;
}

const ColorTables& ColorTablesFor(int brightness, int contrast, int saturation) {
    thread_local ColorTables cache;
    if (!cache.valid || cache.brightness != brightness || cache.contrast != contrast ||
        cache.saturation != saturation)
        BuildColorTables(cache, brightness, contrast, saturation);
    return cache;
}

struct ExposureTable {
    bool valid = false;
    uint32_t exposureBits = 0;
    std::array<uint8_t, 256> table{};
};

void BuildExposureTable(ExposureTable& t, float exposure) {
    const double x = exposure;
    // Past this magnitude every level that can move is pushed to 0 or 255 anyway; the limit
    // keeps the conversion to a 64-bit integer and the products below defined.
    constexpr double kLimit = 1099511627776.0; // 2^40
    for (int i = 0; i < 256; ++i) {
        double kf = RoundHalfEven((1.0 - std::exp((i / -128.0) * (x / 128.0))) * 256.0);
        if (std::isnan(kf))
            kf = 0.0;
        const int64_t k = static_cast<int64_t>(std::clamp(kf, -kLimit, kLimit));
        const uint64_t span = static_cast<uint64_t>(255 - i);
        int64_t v;
        if (x >= 0)
            v = i + static_cast<int64_t>((static_cast<uint64_t>(std::max<int64_t>(k, 0)) * span) >> 8);
        else
            v = i - static_cast<int64_t>((static_cast<uint64_t>(std::max<int64_t>(-k, 0)) * span) >> 8);
        t.table[i] = ClampLevel(v);
    }
    std::memcpy(&t.exposureBits, &exposure, sizeof exposure);
    t.valid = true;
}

const ExposureTable& ExposureTableFor(float exposure) {
    thread_local ExposureTable cache;
    uint32_t bits;
    std::memcpy(&bits, &exposure, sizeof bits);
    if (!cache.valid || cache.exposureBits != bits)
        BuildExposureTable(cache, exposure);
    return cache;
}

// The colour pass with a given final level table (indexed like ColorTables::levels).
void ColorPass(Bitmap24& frame, const ColorTables& t, const uint8_t* levels) {
    const int32_t* sat = t.sat.data();
    const int32_t* grey = t.grey.data();
    const int width = frame.Width();
    for (int y = 0; y < frame.Height(); ++y) {
        uint8_t* p = frame.ScanLine(y);
        for (int x = 0; x < width; ++x, p += 3) {
            const int b = p[0], g = p[1], r = p[2];
            const int32_t mean = grey[b + g + r];
            p[0] = levels[mean + sat[b]];
            p[1] = levels[mean + sat[g]];
            p[2] = levels[mean + sat[r]];
        }
    }
}

// Colours and then exposure in one pass over the frame: the exposure table is folded into the
// colour routine's final level table, which gives the same bytes as two passes.
void AdjustColorsThenExposure(Bitmap24& frame, int brightness, int contrast, int saturation, float exposure) {
    if (frame.Empty())
        return;
    const ColorTables& t = ColorTablesFor(brightness, contrast, saturation);
    const std::array<uint8_t, 256>& curve = ExposureTableFor(exposure).table;
    thread_local std::vector<uint8_t> combined;
    combined.resize(t.levels.size());
    for (size_t i = 0; i < combined.size(); ++i)
        combined[i] = curve[t.levels[i]];
    ColorPass(frame, t, combined.data());
}

} // namespace

void AdjustColors(Bitmap24& frame, int brightness, int contrast, int saturation) {
    if (frame.Empty())
        return;
    const ColorTables& t = ColorTablesFor(brightness, contrast, saturation);
    ColorPass(frame, t, t.levels.data());
}

void AdjustExposure(Bitmap24& frame, float exposure) {
    if (frame.Empty())
        return;
    const uint8_t* table = ExposureTableFor(exposure).table.data();
    const int bytes = frame.Width() * 3;
    for (int y = 0; y < frame.Height(); ++y) {
        uint8_t* p = frame.ScanLine(y);
        for (int i = 0; i < bytes; ++i)
            p[i] = table[p[i]];
    }
}

void BlendImage(Bitmap24& frame, const Bitmap24& overlay, int x, int y, int alpha, int style) {
    if (frame.Empty() || overlay.Empty())
        return;
    // Visible part of the overlay, in overlay coordinates. 64-bit so that far-off positions
    // cannot overflow.
    const int64_t fx = x, fy = y;
    const int64_t colEnd = overlay.Width() + fx < frame.Width() ? overlay.Width() : frame.Width() - fx;
    const int64_t rowEnd = overlay.Height() + fy < frame.Height() ? overlay.Height() : frame.Height() - fy;
    const int64_t colBegin = std::max<int64_t>(0, -fx);
    const int64_t rowBegin = std::max<int64_t>(0, -fy);
    if (colEnd <= colBegin || rowEnd <= rowBegin)
        return;

    const uint32_t a = static_cast<uint32_t>(std::clamp(alpha, 0, 255));
    const uint32_t inv = 256 - a;
    const size_t count = static_cast<size_t>(colEnd - colBegin) * 3;
    for (int64_t row = rowBegin; row < rowEnd; ++row) {
        const uint8_t* src = overlay.ScanLine(static_cast<int>(row)) + colBegin * 3;
        uint8_t* dst = frame.ScanLine(static_cast<int>(fy + row)) + (fx + colBegin) * 3;
        if (style == 1) {
            for (size_t i = 0; i < count; ++i)
                dst[i] = static_cast<uint8_t>((dst[i] * inv + src[i] * a) >> 8);
        } else {
            for (size_t i = 0; i < count; ++i)
                dst[i] = static_cast<uint8_t>(src[i] * dst[i] / 255u);
        }
    }
}

void ApplyFileEffects(Bitmap24& frame, const TlvFilesRecord& record) {
    // Load first: a missing image must leave the frame untouched rather than half processed.
    std::shared_ptr<const Bitmap24> overlay;
    if (!record.WatermarkImageFile.empty())
        overlay = LoadWatermarkImage(record.WatermarkImageFile);

    const auto adjust = [&] {
        const bool colors = record.Brightness != 255 || record.Contrast != 0 || record.Saturation != 255;
        const bool exposure = record.Exposure != 0;
        if (colors && exposure)
            AdjustColorsThenExposure(frame, record.Brightness, record.Contrast, record.Saturation,
                                     static_cast<float>(record.Exposure));
        else if (colors)
            AdjustColors(frame, record.Brightness, record.Contrast, record.Saturation);
        else if (exposure)
            AdjustExposure(frame, static_cast<float>(record.Exposure));
    };
    const auto text = [&] {
        if (!record.WatermarkText.empty())
            DrawWatermarkText(frame, record.WatermarkText, record.WatermarkFont, record.TextX, record.TextY);
    };
    const auto image = [&] {
        if (overlay)
            BlendImage(frame, *overlay, record.ImageX, record.ImageY, record.ImageAlpha,
                       record.ImageBlendStyle);
    };

    if (!record.ProcessText && !record.ProcessImage) {
        adjust();
        text();
        image();
    } else if (record.ProcessText && !record.ProcessImage) {
        text();
        adjust();
        image();
    } else if (!record.ProcessText && record.ProcessImage) {
        image();
        adjust();
        text();
    } else {
        text();
        image();
        adjust();
    }
}

} // namespace kavlo
