// The player's rules that need no file: event ring, time stamp choice, frame skipping and timing,
// audio stretching, picture orientation.

#include "player/PlayerTiming.h"
#include "player/FrameOrientation.h"
#include "player/PlayerEventRing.h"
#include "probe/StreamRotation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/display.h>
}

using namespace kavlo;

TEST(PlayerEventRing, NewEntryReplacesNewestOfSameKindAndFullRingDropsOldest) {
    PlayerEventRing ring;
    using E = PlayerEventRing::TEntry;
    ring.Push(E{PlayerEventRing::ekState, psPlay, 0});
    ring.Push(E{PlayerEventRing::ekPosition, psPlay, 100});
    ring.Push(E{PlayerEventRing::ekPosition, psPlay, 200}); // replaces 100
    ring.Push(E{PlayerEventRing::ekState, psPause, 0});
    ring.Push(E{PlayerEventRing::ekPosition, psPlay, 300}); // newest is a state: appended
    ASSERT_EQ(ring.Size(), 4);
    E e;
    ASSERT_TRUE(ring.Pop(e, std::chrono::milliseconds(0)));
    EXPECT_EQ(e.state, psPlay);
    ASSERT_TRUE(ring.Pop(e, std::chrono::milliseconds(0)));
    EXPECT_EQ(e.position, 200);
    ASSERT_TRUE(ring.Pop(e, std::chrono::milliseconds(0)));
    EXPECT_EQ(e.state, psPause);
    ASSERT_TRUE(ring.Pop(e, std::chrono::milliseconds(0)));
    EXPECT_EQ(e.position, 300);
    EXPECT_FALSE(ring.Pop(e, std::chrono::milliseconds(1)));

    // Alternating kinds never merge; the eleventh entry pushes out the first.
    for (int i = 0; i < 11; ++i)
        ring.Push(E{i % 2 ? PlayerEventRing::ekState : PlayerEventRing::ekPosition, psPlay, i});
    EXPECT_EQ(ring.Size(), PlayerEventRing::Capacity);
    ASSERT_TRUE(ring.Pop(e, std::chrono::milliseconds(0)));
    EXPECT_EQ(e.position, 1);
}

TEST(PlayerTiming, ReorderStatsTrustTheLessFaultyTimeStamp) {
    TReorderStats s;
    // Good pts: the pts wins, also when the dts goes backwards.
    EXPECT_EQ(s.Choose(0, 0), 0);
    EXPECT_EQ(s.Choose(3, 1), 3);
    EXPECT_EQ(s.Choose(1, 1), 1); // pts went back once, dts once: equal counts keep the pts
    // The pts keeps going backwards while the dts increases: the dts takes over.
    EXPECT_EQ(s.Choose(0, 2), 2);
    EXPECT_EQ(s.Choose(0, 3), 3);
    // Without a dts the pts is used; without both there is no time.
    EXPECT_EQ(s.Choose(7, AV_NOPTS_VALUE), 7);
    EXPECT_EQ(s.Choose(AV_NOPTS_VALUE, AV_NOPTS_VALUE), AV_NOPTS_VALUE);
    // Reorder mode 1 always takes the pts.
    EXPECT_EQ(s.Choose(0, 9, 1), 0);
    s.Reset();
    EXPECT_EQ(s.faultyPts, 0);
    EXPECT_EQ(s.faultyDts, 0);
}

TEST(PlayerTiming, FrameSkipFollowsItsFactor) {
    TFrameSkip skip;
    int shown = 0;
    for (int i = 0; i < 100; ++i)
        shown += skip.Take();
    EXPECT_EQ(shown, 100);
    skip.factor = 2.0;
    shown = 0;
    for (int i = 0; i < 100; ++i)
        shown += skip.Take();
    EXPECT_EQ(shown, 50);
    skip.Late();
    EXPECT_DOUBLE_EQ(skip.factor, 2.1);
    skip.factor = 1.02;
    skip.QueueFull();
    EXPECT_DOUBLE_EQ(skip.factor, 1.0); // never below 1
}

TEST(PlayerTiming, FrameDelayFollowsPtsAndMaster) {
    struct Case {
        double pts;
        bool sync;
        double diff;
        double expected;
    };
    TFrameDelay d;
    d.Reset(0.04);
    const std::vector<Case> cases = {
        {0.00, false, 0, 0.04},    // no step yet: the previous delay
        {0.04, false, 0, 0.04},    // normal step
        {0.14, false, 0, 0.10},    // longer step is remembered
        {0.10, false, 0, 0.10},    // going back: previous delay
        {0.14, true, -0.20, 0},    // video behind the master: at once
        {0.18, true, 0.20, 0.08},  // ahead: twice as long
        {0.22, true, 0.005, 0.04}, // within the threshold: unchanged
        {0.26, true, 20.0, 0.04},  // a jump, not drift: unchanged
        {20.0, false, 0, 0.04},    // 10 s or more: previous delay
    };
    for (const Case& c : cases)
        EXPECT_NEAR(d.Next(c.pts, c.sync, c.diff), c.expected, 1e-9) << "pts " << c.pts;
}

TEST(PlayerTiming, AudioDiffAverageStretchesWithinTenPercent) {
    TAudioDiffAverage a;
    a.Setup(48000);
    EXPECT_NEAR(a.coefficient, std::exp(std::log(0.01) / 20), 1e-12);
    EXPECT_NEAR(a.threshold, 2.0 * 1024 / 48000, 1e-12);
    const int size = 4096; // 1024 stereo frames
    // The first 20 measurements only fill the average.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(a.WantedSize(size, 0.5, 48000, 2), size);
    // Audio 0.5 s ahead of the master: as much as 10 % more, in whole frames.
    const int grown = a.WantedSize(size, 0.5, 48000, 2);
    EXPECT_EQ(grown, size * 110 / 100 / 4 * 4);
    EXPECT_EQ(grown % 4, 0);
    // Behind: at most 10 % less.
    a.Reset();
    for (int i = 0; i < 20; ++i)
        a.WantedSize(size, -0.5, 48000, 2);
    EXPECT_EQ(a.WantedSize(size, -0.5, 48000, 2), size * 90 / 100 / 4 * 4);
    // A jump of 10 s or more resets the average.
    EXPECT_EQ(a.WantedSize(size, 12.0, 48000, 2), size);
    EXPECT_EQ(a.count, 0);
    // A small steady drift below the threshold changes nothing.
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(a.WantedSize(size, 0.001, 48000, 2), size);
}

TEST(PlayerTiming, AdjustAudioChunkRepeatsTheLastFrame) {
    std::vector<int16_t> s = {1, 2, 3, 4, 0, 0, 0, 0};
    AdjustAudioChunk(reinterpret_cast<uint8_t*>(s.data()), 8, 16, 2);
    EXPECT_EQ(s, (std::vector<int16_t>{1, 2, 3, 4, 3, 4, 3, 4}));
}

namespace {

// The upright form of a w x h plane whose pixel (x, y) holds y * w + x.
std::vector<uint8_t> Orient(const FrameOrientation& o, int w, int h, int& ow, int& oh) {
    std::vector<uint8_t> src(w * h);
    for (int i = 0; i < w * h; ++i)
        src[i] = static_cast<uint8_t>(i);
    o.UprightSize(w, h, ow, oh);
    std::vector<uint8_t> dst(ow * oh, 0xEE);
    o.ApplyPlane(src.data(), w, w, h, dst.data(), ow);
    return dst;
}

FrameOrientation FromRotation(double ccwDegrees, bool hflip = false) {
    int32_t m[9];
    av_display_rotation_set(m, ccwDegrees);
    if (hflip)
        av_display_matrix_flip(m, 1, 0);
    return FrameOrientation::FromDisplayMatrix(m);
}

} // namespace

TEST(FrameOrientation, TurnsPlanesByTheDisplayMatrix) {
    // Stored 3 x 2:   0 1 2
    //                 3 4 5
    struct Case {
        const char* name;
        FrameOrientation o;
        int w, h;
        std::vector<uint8_t> expected;
    };
    const std::vector<Case> cases = {
        {"upright", FrameOrientation(), 3, 2, {0, 1, 2, 3, 4, 5}},
        // A phone held upright records its picture turned; the matrix asks for 90 degrees clockwise.
        {"90 clockwise", FrameOrientation(0, 1, -1, 0), 2, 3, {3, 0, 4, 1, 5, 2}},
        {"180", FrameOrientation(-1, 0, 0, -1), 3, 2, {5, 4, 3, 2, 1, 0}},
        {"90 counter-clockwise", FrameOrientation(0, -1, 1, 0), 2, 3, {2, 5, 1, 4, 0, 3}},
        {"transposed (turn and mirror)", FrameOrientation(0, 1, 1, 0), 2, 3, {0, 3, 1, 4, 2, 5}},
        {"mirrored", FrameOrientation(-1, 0, 0, 1), 3, 2, {2, 1, 0, 5, 4, 3}},
    };
    for (const Case& c : cases) {
        int ow = 0, oh = 0;
        EXPECT_EQ(Orient(c.o, 3, 2, ow, oh), c.expected) << c.name;
        EXPECT_EQ(ow, c.w) << c.name;
        EXPECT_EQ(oh, c.h) << c.name;
    }
}

TEST(FrameOrientation, AgreesWithTheProbesRotationAndRejectsTilts) {
    for (double ccw : {0.0, 90.0, 180.0, -90.0, 270.0}) {
        int32_t m[9];
        av_display_rotation_set(m, ccw);
        const FrameOrientation o = FrameOrientation::FromDisplayMatrix(m);
        const int cw = DisplayMatrixRotation(m);
        // Turning the probe's number of quarter turns clockwise gives the same picture.
        FrameOrientation byProbe;
        switch (cw) {
        case 90:
            byProbe = FrameOrientation(0, 1, -1, 0);
            break;
        case 180:
            byProbe = FrameOrientation(-1, 0, 0, -1);
            break;
        case 270:
            byProbe = FrameOrientation(0, -1, 1, 0);
            break;
        default:
            break;
        }
        int w1, h1, w2, h2;
        EXPECT_EQ(Orient(o, 4, 3, w1, h1), Orient(byProbe, 4, 3, w2, h2)) << ccw;
    }
    EXPECT_TRUE(FromRotation(30).IsIdentity());
    EXPECT_TRUE(FrameOrientation::FromDisplayMatrix(nullptr).IsIdentity());
    const int32_t zero[9] = {};
    EXPECT_TRUE(FrameOrientation::FromDisplayMatrix(zero).IsIdentity());
    // A mirrored quarter turn swaps the axes like the plain one, but is a different picture.
    const FrameOrientation mirrored = FromRotation(-90, true);
    EXPECT_TRUE(mirrored.SwapsAxes());
    int w1, h1, w2, h2;
    EXPECT_NE(Orient(mirrored, 4, 3, w1, h1), Orient(FromRotation(-90), 4, 3, w2, h2));
}

TEST(FrameOrientation, LargePlaneMatchesPixelByPixelMapping) {
    // Odd sizes over several tiles: every destination pixel comes from the mapped source pixel.
    const int w = 77, h = 45;
    std::vector<uint8_t> src(w * h);
    for (int i = 0; i < w * h; ++i)
        src[i] = static_cast<uint8_t>((i * 131) >> 3);
    const FrameOrientation o(0, 1, -1, 0); // 90 clockwise: (x, y) -> (h - 1 - y, x)
    int ow, oh;
    o.UprightSize(w, h, ow, oh);
    std::vector<uint8_t> dst(ow * oh);
    o.ApplyPlane(src.data(), w, w, h, dst.data(), ow);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(dst[x * ow + (h - 1 - y)], src[y * w + x]) << x << "," << y;
}
