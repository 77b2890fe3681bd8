// The decision rules of the transcode step that need no media: video sync, audio sync and the
// progress report text.
#include "engine/AudioSync.h"
#include "engine/ProgressReport.h"
#include "engine/VideoSync.h"

#include <gtest/gtest.h>

namespace kavlo {
namespace {

TEST(VideoSyncRule, DropsWritesOnceOrDuplicates) {
    struct Case {
        double ideal;
        int64_t position;
        int vsync;
        bool variableFormat;
        int frames;
        int64_t newPosition;
    };
    const Case cases[] = {
        // constant rate: offset 2.0 -> twice, 1.0 -> once, -1.2 -> drop, 1.1 -> once, 1.6 -> twice
        {12.0, 10, kVideoSyncConstant, false, 2, 10},
        {11.0, 10, kVideoSyncConstant, false, 1, 10},
        {8.8, 10, kVideoSyncConstant, false, 0, 10},
        {11.1, 10, kVideoSyncConstant, false, 1, 10},
        {11.6, 10, kVideoSyncConstant, false, 2, 10},
        {13.4, 10, kVideoSyncConstant, false, 3, 10},
        // automatic on a constant-rate muxer behaves as constant
        {12.0, 10, kVideoSyncAuto, false, 2, 10},
        // variable rate (explicit, or automatic on a variable-rate muxer): late frames dropped,
        // early ones re-base the position instead of duplicating
        {9.3, 10, kVideoSyncVariable, false, 0, 10},
        {9.5, 10, kVideoSyncAuto, true, 1, 10},
        {10.7, 10, kVideoSyncAuto, true, 1, 11},
        {13.0, 10, kVideoSyncVariable, false, 1, 13},
        {8.8, 10, kVideoSyncAuto, true, 0, 10},
        // off: always once, at the rounded ideal position
        {13.4, 10, kVideoSyncOff, false, 1, 13},
        {2.0, 10, kVideoSyncOff, false, 1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ideal " << c.ideal << " vsync " << c.vsync);
        const TVideoSyncDecision d = DecideVideoSync(c.ideal, c.position, c.vsync, c.variableFormat);
        EXPECT_EQ(d.Frames, c.frames);
        EXPECT_EQ(d.OutputPosition, c.newPosition);
    }
}

TEST(AudioSyncRule, PadsCutsCompensatesOrRebases) {
    // A stream starting 0.5 s late gets 0.5 s of silence at its first block.
    TAudioSyncDecision d = DecideAudioSync(1, 0.1, 0.5, 48000, 0, 0, true);
    EXPECT_EQ(d.Action, TAudioSyncDecision::Pad);
    EXPECT_EQ(d.Samples, 24000);
    // Later, a drift of 0.05 s (below the 0.1 s threshold) is left alone with async 1 ...
    d = DecideAudioSync(1, 0.1, 10.05, 48000, 480000, 0, false);
    EXPECT_EQ(d.Action, TAudioSyncDecision::None);
    // ... and a drift above it is padded or cut.
    d = DecideAudioSync(1, 0.1, 10.25, 48000, 480000, 0, false);
    EXPECT_EQ(d.Action, TAudioSyncDecision::Pad);
    EXPECT_EQ(d.Samples, 12000);
    d = DecideAudioSync(1, 0.1, 9.75, 48000, 480000, 0, false);
    EXPECT_EQ(d.Action, TAudioSyncDecision::Discard);
    EXPECT_EQ(d.Samples, 12000);
    // Samples waiting in the FIFO count as produced.
    d = DecideAudioSync(1, 0.1, 10.25, 48000, 480000, 12000, false);
    EXPECT_EQ(d.Action, TAudioSyncDecision::None);
    // 50 samples or fewer: nothing, even at the start.
    d = DecideAudioSync(1, 0.1, 0.001, 48000, 0, 0, true);
    EXPECT_EQ(d.Action, TAudioSyncDecision::None);
    // async 1000 with a 200-sample drift compensates 200 samples over a second.
    d = DecideAudioSync(1000, 0.1, 10.0 + 200.0 / 48000, 48000, 480000, 0, false);
    EXPECT_EQ(d.Action, TAudioSyncDecision::Compensate);
    EXPECT_EQ(d.Compensation, 200);
    // ... clamped to async.
    d = DecideAudioSync(100, 0.1, 10.0 + 200.0 / 48000, 48000, 480000, 0, false);
    EXPECT_EQ(d.Compensation, 100);
    d = DecideAudioSync(100, 0.1, 10.0 - 200.0 / 48000, 48000, 480000, 0, false);
    EXPECT_EQ(d.Compensation, -100);
    // async 0 re-bases the output position on the input clock, less what waits in the FIFO.
    d = DecideAudioSync(0, 0.1, 2.0, 44100, 12345, 100, false);
    EXPECT_EQ(d.Action, TAudioSyncDecision::Rebase);
    EXPECT_EQ(d.OutputPosition, 88200 - 100);
}

TEST(ProgressReportText, PiecesOfTheLine) {
    EXPECT_EQ(ReportFps(100, 0.5), 0);
    EXPECT_EQ(ReportFps(100, 1.0), 0);
    EXPECT_EQ(ReportFps(100, 3.0), 33);
    EXPECT_EQ(ReportFps(101, 2.0), 51);
    EXPECT_EQ(FormatReportFramePart(42, 21, 2.5f, false), "frame=   42 fps= 21 q=2.5 ");
    EXPECT_EQ(FormatReportFramePart(42, 21, -1.0f, true), "frame=   42 fps= 21 q=-1.0 L");
    EXPECT_EQ(FormatReportSizePart(2048, 2.0, 0, 0), "size=       2kB time=2.00 bitrate=   8.2kbits/s");
    EXPECT_EQ(FormatReportSizePart(2048, 2.0, 3, 1),
              "size=       2kB time=2.00 bitrate=   8.2kbits/s dup=3 drop=1");
    std::array<int, 52> counts{};
    counts[0] = 0;
    counts[1] = 1;
    counts[2] = 3;
    counts[31] = 32767;
    EXPECT_EQ(FormatQpHistogram(counts), "012" + std::string(28, '0') + "F");
    EXPECT_EQ(FormatReportSummary(1100, 600, 400, 0),
              "video:1kB audio:0kB global headers:0kB muxing overhead 10.000000%\r\n");
}

} // namespace
} // namespace kavlo
