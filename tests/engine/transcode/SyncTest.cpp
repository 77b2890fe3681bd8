// Audio/video sync of converted files: the white flashes and tone bursts of the sync-marker
// clips must stay within one output video frame of each other over the whole file.
#include "TranscodeTestUtil.h"

#include <gtest/gtest.h>

namespace kavlo::test {
namespace {

using fixtures::FixtureKind;

struct SyncCase {
    const char* name;
    FixtureKind source;
    const char* extension;
    const char* frameRate; // output r ("" keeps the source's)
    int sampleRate;        // output ar (-1 keeps the default)
    int64_t inputStart;    // input ss, us (INT64_MIN none)
    int64_t outputStart;   // output ss, us (INT64_MIN none)
    double outputFps;
    int audioSync;
};

void PrintTo(const SyncCase& c, std::ostream* os) {
    *os << c.name;
}

class Sync : public ::testing::TestWithParam<SyncCase> {
protected:
    static void SetUpTestSuite() { LoadLibraries(); }
};

TEST_P(Sync, MarkersStayWithinOneFrame) {
    const SyncCase& c = GetParam();
    TempDir dir;
    const std::string input = fixtures::MakeFixture(c.source, dir.Root());
    const std::string output = dir.Path(std::string("out.") + c.extension);
    TOutputOptions o;
    o.VideoCodec = "libx264";
    o.VideoPreset = "libx264-ultrafast";
    o.AudioCodec = "aac";
    o.FrameRate = c.frameRate;
    o.AudioSampleRate = c.sampleRate > 0 ? c.sampleRate : 48000;
    o.StartTime = c.outputStart;
    o.AudioSync = c.audioSync;
    TInputOptions in;
    in.StartTime = c.inputStart;
    TFFmpegEngine engine;
    const RunResult r = RunOne(engine, input, output, o, &in);
    ASSERT_TRUE(r.added) << r.addError;
    ASSERT_FALSE(r.terminations.empty());
    ASSERT_FALSE(r.terminations[0].Failed) << r.terminations[0].ErrorMessage;

    const fixtures::SyncReport report = fixtures::MeasureSync(output);
    ASSERT_TRUE(report.ok) << report.error;
    // Markers at 1, 3, 5, 7 s; a start point drops the ones before it.
    const int64_t start =
        (c.inputStart != INT64_MIN ? c.inputStart : 0) + (c.outputStart != INT64_MIN ? c.outputStart : 0);
    const int expected = static_cast<int>(fixtures::SyncMarkerTimesUs(fixtures::SpecFor(c.source)).size()) -
                         static_cast<int>((start + 999999) / 2000000);
    EXPECT_EQ(report.pairs, expected);
    EXPECT_LE(report.maxAbsOffsetUs, static_cast<int64_t>(1e6 / c.outputFps))
        << "mean offset " << report.meanOffsetUs << " us";
    const MediaFacts facts = Inspect(output);
    ASSERT_TRUE(facts.ok);
    // The first marker after the start point lies where it lay in the source, minus the start.
    if (!report.flashTimesUs.empty()) {
        const auto markers = fixtures::SyncMarkerTimesUs(fixtures::SpecFor(c.source));
        int64_t firstMarker = 0;
        for (int64_t m : markers)
            if (m >= start) {
                firstMarker = m;
                break;
            }
        EXPECT_NEAR(static_cast<double>(report.flashTimesUs[0]), static_cast<double>(firstMarker - start),
                    1e6 / c.outputFps + 1);
    }
}

const int64_t kNone = INT64_MIN;

INSTANTIATE_TEST_SUITE_P(
    Engine, Sync,
    ::testing::Values(
        SyncCase{"Same25", FixtureKind::SyncMarkers, "mp4", "", -1, kNone, kNone, 25, 0},
        SyncCase{"From25To2997", FixtureKind::SyncMarkers, "mp4", "30000/1001", -1, kNone, kNone, 29.97, 0},
        SyncCase{"From2997To25", FixtureKind::SyncMarkers2997, "mp4", "25", -1, kNone, kNone, 25, 0},
        SyncCase{"To44100", FixtureKind::SyncMarkers, "mp4", "", 44100, kNone, kNone, 25, 0},
        SyncCase{"To22050", FixtureKind::SyncMarkers, "mp4", "", 22050, kNone, kNone, 25, 0},
        SyncCase{"Async1To44100", FixtureKind::SyncMarkers, "mp4", "", 44100, kNone, kNone, 25, 1},
        SyncCase{"InputStart", FixtureKind::SyncMarkers, "mp4", "", -1, 2000000, kNone, 25, 0},
        SyncCase{"OutputStart", FixtureKind::SyncMarkers, "mp4", "", -1, kNone, 2000000, 25, 0},
        SyncCase{"InputStartToAvi", FixtureKind::SyncMarkers, "avi", "", 44100, 2000000, kNone, 25, 1}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kavlo::test
