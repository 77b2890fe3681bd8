#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "EditingTestUtil.h"
#include "editing/FrameEffects.h"

using namespace kavlo;
using namespace kavlo::test;

namespace {

// Straight per-pixel transcription of the colour formulas, without any of the table tricks of
// the real routine.
Bgr ReferenceColors(Bgr px, int b, int c, int s) {
    if (c == 100)
        c = 99;
    const double f = c > 0 ? 1.0 / std::cos(c * 0.015707963267948967) : std::cos(c * 0.015708);
    auto clamp = [](long long v) { return static_cast<int>(std::clamp<long long>(v, 0, 255)); };
    auto C = [&](int i) { return clamp(std::llround(std::nearbyint((i - 170) * f + 170))); };
    auto L = [&](int j) { return C(clamp((256LL - b + static_cast<long long>(b) * j) / 256)); };
    auto S = [&](int k) { return static_cast<int>(((k + 1LL) * s) >> 8); };
    const int n = px[0] + px[1] + px[2];
    const int g = n / 3 - S(n / 3);
    return {L(clamp(g + S(px[0]))), L(clamp(g + S(px[1]))), L(clamp(g + S(px[2])))};
}

std::vector<int> RampResult(int b, int c, int s) {
    Bitmap24 ramp = GreyRamp();
    AdjustColors(ramp, b, c, s);
    std::vector<int> out;
    for (int i = 0; i < 256; ++i) {
        const Bgr p = PixelAt(ramp, i, 0);
        EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]) << "grey stays grey at " << i;
        out.push_back(p[0]);
    }
    return out;
}

std::vector<int> ExposureRamp(float x) {
    Bitmap24 ramp = GreyRamp();
    AdjustExposure(ramp, x);
    std::vector<int> out;
    for (int i = 0; i < 256; ++i)
        out.push_back(PixelAt(ramp, i, 0)[1]);
    return out;
}

} // namespace

TEST(AdjustColors, NeutralValuesLeaveEveryPixelUnchanged) {
    Bitmap24 frame = Noise(37, 9); // odd width: rows carry padding
    MarkPadding(frame);
    const Bitmap24 before = frame;
    AdjustColors(frame, 256, 0, 256);
    EXPECT_TRUE(SamePixels(frame, before));
    EXPECT_TRUE(PaddingIntact(frame));
}

TEST(AdjustColors, SinglePixelCases) {
    struct Case {
        int b, c, s;
        Bgr in, out;
    } cases[] = {
        {256, 0, 0, {10, 200, 30}, {80, 80, 80}},    // saturation 0: the mean grey
        {512, 0, 256, {100, 128, 0}, {199, 255, 0}}, // brightness doubles about level 1
        {255, 0, 255, {77, 77, 77}, {76, 76, 76}},   // the stored neutral darkens by one
        {255, 0, 255, {255, 255, 255}, {254, 254, 254}},
        {0, 0, 256, {10, 200, 30}, {1, 1, 1}}, // brightness 0 sends all to C[1]
    };
    for (const Case& c : cases) {
        Bitmap24 frame(1, 1);
        SetPixel(frame, 0, 0, c.in);
        AdjustColors(frame, c.b, c.c, c.s);
        EXPECT_EQ(PixelAt(frame, 0, 0), c.out) << c.b << "," << c.c << "," << c.s;
    }
}

TEST(AdjustColors, ContrastTablesAroundPivot170) {
    // With brightness and saturation neutral, grey level i comes out as C[i].
    struct Case {
        int contrast;
        std::vector<std::pair<int, int>> points;
    } cases[] = {
        {50, {{0, 0}, {100, 71}, {170, 170}, {200, 212}, {255, 255}}},
        {-50, {{0, 50}, {100, 121}, {170, 170}, {200, 191}, {255, 230}}},
        {100, {{169, 106}, {170, 170}, {171, 234}}},
    };
    for (const Case& c : cases) {
        const std::vector<int> table = RampResult(256, c.contrast, 256);
        for (auto [i, expected] : c.points)
            EXPECT_EQ(table[i], expected) << "contrast " << c.contrast << " level " << i;
    }
    EXPECT_EQ(RampResult(256, 100, 256), RampResult(256, 99, 256));
    const std::vector<int> flat = RampResult(256, -100, 256);
    EXPECT_TRUE(std::all_of(flat.begin(), flat.end(), [](int v) { return v == 170; }));
}

TEST(AdjustColors, MatchesPlainFormulaOnNoiseForManySettings) {
    // Includes settings changes back and forth, so a stale cached table would show.
    const int settings[][3] = {{0, 0, 0},      {512, 100, 512},  {300, -37, 100},
                               {100, 73, 400}, {256, -100, 256}, {300, -37, 100},
                               {255, 0, 255},  {511, -99, 1},    {1000, 150, -300}};
    const Bitmap24 source = Noise(64, 16);
    for (const auto& st : settings) {
        Bitmap24 frame = source;
        AdjustColors(frame, st[0], st[1], st[2]);
        int mismatches = 0;
        for (int y = 0; y < frame.Height(); ++y)
            for (int x = 0; x < frame.Width(); ++x)
                if (PixelAt(frame, x, y) != ReferenceColors(PixelAt(source, x, y), st[0], st[1], st[2]))
                    ++mismatches;
        EXPECT_EQ(mismatches, 0) << st[0] << "," << st[1] << "," << st[2];
    }
}

TEST(AdjustColors, EmptyFrameIsFine) {
    Bitmap24 empty;
    AdjustColors(empty, 512, 50, 0);
    AdjustExposure(empty, 100);
    SUCCEED();
}

TEST(AdjustExposure, TablesForPlusAndMinus100) {
    const std::vector<int> up = ExposureRamp(100);
    EXPECT_EQ(up[64], 125);
    EXPECT_EQ(up[128], 196);
    EXPECT_EQ(up[200], 238);
    const std::vector<int> down = ExposureRamp(-100);
    EXPECT_EQ(down[128], 0);
    EXPECT_EQ(down[200], 69);
    EXPECT_EQ(down[250], 233);
}

TEST(AdjustExposure, BlackAndWhiteNeverMoveAndZeroIsIdentity) {
    for (float x : {-255.f, -100.f, -1.f, 1.f, 100.f, 512.f, -1e9f, 1e9f}) {
        const std::vector<int> t = ExposureRamp(x);
        EXPECT_EQ(t[0], 0) << x;
        EXPECT_EQ(t[255], 255) << x;
        for (int i = 0; i < 256; ++i) {
            ASSERT_TRUE(x > 0 ? t[i] >= i : t[i] <= i) << x << " level " << i;
        }
        if (x > 0) {
            EXPECT_TRUE(std::is_sorted(t.begin(), t.end())) << x;
        }
    }
    const std::vector<int> zero = ExposureRamp(0);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(zero[i], i);
}

TEST(AdjustExposure, EveryChannelUsesTheSameTableAndPaddingIsKept) {
    Bitmap24 frame(3, 2); // 9 bytes per row, 12 with padding
    MarkPadding(frame);
    SetPixel(frame, 0, 0, {64, 128, 200});
    SetPixel(frame, 2, 1, {200, 64, 128});
    AdjustExposure(frame, 100);
    EXPECT_EQ(PixelAt(frame, 0, 0), (Bgr{125, 196, 238}));
    EXPECT_EQ(PixelAt(frame, 2, 1), (Bgr{238, 125, 196}));
    EXPECT_TRUE(PaddingIntact(frame));
}

TEST(BlendImage, StylesOnOnePixel) {
    struct Case {
        int alpha, style;
        Bgr out;
    } cases[] = {
        {168, 1, {68, 67, 167}}, {168, 2, {0, 19, 0}},   // multiply: alpha unused
        {0, 2, {0, 19, 0}},      {0, 1, {200, 100, 0}},  // fully transparent
        {255, 1, {0, 50, 254}},  {400, 1, {0, 50, 254}}, // beyond the range: as opaque as 255
        {-5, 1, {200, 100, 0}},
    };
    for (const Case& c : cases) {
        Bitmap24 frame = Solid(1, 1, {200, 100, 0});
        const Bitmap24 overlay = Solid(1, 1, {0, 50, 255});
        BlendImage(frame, overlay, 0, 0, c.alpha, c.style);
        EXPECT_EQ(PixelAt(frame, 0, 0), c.out) << "alpha " << c.alpha << " style " << c.style;
    }
}

TEST(BlendImage, ClipsToTheFrame) {
    // Overlay pixels carry their own coordinates so a misplaced copy shows.
    Bitmap24 overlay(4, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            SetPixel(overlay, x, y, {255, x * 60, y * 100});
    struct Case {
        int x, y;
    } cases[] = {{8, 6},  {0, 0},  {-2, -1}, {10, 0},          {0, 8},
                 {11, 9}, {-4, 0}, {0, -3},  {-2000000000, 5}, {2000000000, 2000000000}};
    for (const Case& c : cases) {
        Bitmap24 frame = Solid(10, 8, {0, 0, 0});
        MarkPadding(frame);
        BlendImage(frame, overlay, c.x, c.y, 256 - 1, 1);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 10; ++x) {
                const int ox = x - c.x, oy = y - c.y;
                const bool inside = ox >= 0 && ox < 4 && oy >= 0 && oy < 3;
                const Bgr expected =
                    inside ? Bgr{254, (ox * 60 * 255) >> 8, (oy * 100 * 255) >> 8} : Bgr{0, 0, 0};
                ASSERT_EQ(PixelAt(frame, x, y), expected)
                    << "overlay at " << c.x << "," << c.y << " pixel " << x << "," << y;
            }
        EXPECT_TRUE(PaddingIntact(frame));
    }
}

TEST(BlendImage, OverlayAtFrameWidthDrawsNothing) {
    Bitmap24 frame = Noise(16, 8);
    const Bitmap24 before = frame;
    BlendImage(frame, Solid(4, 4, {255, 255, 255}), 16, 0, 255, 1);
    BlendImage(frame, Solid(4, 4, {0, 0, 0}), 0, 8, 0, 2);
    EXPECT_TRUE(SamePixels(frame, before));
}
