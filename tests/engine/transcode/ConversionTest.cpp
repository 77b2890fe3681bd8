// End-to-end conversions through the engine component: each output must open with the
// expected codecs, sizes, rates and channels, and last as long as its source (or `t`).
#include "TranscodeTestUtil.h"

#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/avutil.h>
}

namespace kavlo::test {
namespace {

using fixtures::FixtureKind;

struct ConversionCase {
    const char* name;
    FixtureKind source;
    const char* extension;
    const char* videoCodec; // expected output codec names (empty: no such stream)
    const char* audioCodec;
    int width, height; // expected video size (0: the source's)
    int sampleRate;    // expected audio rate (0: the source's)
    int channels;      // expected channels (0: the source's)
    TOutputOptions options;
};

TOutputOptions Opts(const char* vcodec, const char* acodec) {
    TOutputOptions o;
    o.VideoCodec = vcodec;
    o.AudioCodec = acodec;
    return o;
}

std::vector<ConversionCase> Cases() {
    std::vector<ConversionCase> cases;
    {
        auto o = Opts("libx264", "aac");
        o.VideoPreset = "libx264-ultrafast";
        cases.push_back({"MovToMp4", FixtureKind::MovH264Aac, "mp4", "h264", "aac", 320, 240, 48000, 2, o});
    }
    {
        auto o = Opts("libx264", "aac");
        o.VideoPreset = "libx264-ultrafast";
        cases.push_back({"MovToMkv", FixtureKind::MovH264Aac, "mkv", "h264", "aac", 320, 240, 48000, 2, o});
    }
    {
        auto o = Opts("mpeg4", "libmp3lame");
        o.AudioSampleRate = 44100;
        cases.push_back({"MovToAvi", FixtureKind::MovH264Aac, "avi", "mpeg4", "mp3", 320, 240, 44100, 2, o});
    }
    {
        TOutputOptions o;
        o.TargetType = 3;
        o.TargetNorm = 1;
        cases.push_back(
            {"MovToDvd", FixtureKind::MovH264Aac, "mpg", "mpeg2video", "ac3", 720, 576, 48000, 2, o});
    }
    {
        auto o = Opts("flv", "libmp3lame");
        o.AudioSampleRate = 44100;
        cases.push_back({"MovToFlv", FixtureKind::MovH264Aac, "flv", "flv1", "mp3", 320, 240, 44100, 2, o});
    }
    {
        auto o = Opts("wmv2", "wmav2");
        o.AudioSampleRate = 44100;
        cases.push_back({"MovToWmv", FixtureKind::MovH264Aac, "wmv", "wmv2", "wmav2", 320, 240, 44100, 2, o});
    }
    {
        auto o = Opts("h263", "aac");
        o.FrameSize = "176x144";
        o.AudioSampleRate = 8000;
        o.AudioChannels = 1;
        cases.push_back({"MovTo3gp", FixtureKind::MovH264Aac, "3gp", "h263", "aac", 176, 144, 8000, 1, o});
    }
    {
        auto o = Opts("", "libmp3lame");
        o.AudioSampleRate = 44100;
        cases.push_back({"AudioToMp3", FixtureKind::M4aAacAudioOnly, "mp3", "", "mp3", 0, 0, 44100, 2, o});
    }
    cases.push_back({"AudioToM4a", FixtureKind::WavPcm, "m4a", "", "aac", 0, 0, 48000, 2, Opts("", "aac")});
    cases.push_back({"AudioToWav", FixtureKind::Mp3AudioOnly, "wav", "", "pcm_s16le", 0, 0, 44100, 2,
                     Opts("", "pcm_s16le")});
    cases.push_back({"AudioToOgg", FixtureKind::M4aAacAudioOnly, "ogg", "", "vorbis", 0, 0, 48000, 2,
                     Opts("", "libvorbis")});
    cases.push_back(
        {"AudioToAc3", FixtureKind::Mp3AudioOnly, "ac3", "", "ac3", 0, 0, 44100, 2, Opts("", "ac3")});
    cases.push_back({"CopyMovToMp4", FixtureKind::MovH264Aac, "mp4", "h264", "aac", 320, 240, 48000, 2,
                     Opts("copy", "copy")});
    cases.push_back({"CopyMovToMkv", FixtureKind::MovH264Aac, "mkv", "h264", "aac", 320, 240, 48000, 2,
                     Opts("copy", "copy")});
    return cases;
}

void PrintTo(const ConversionCase& c, std::ostream* os) {
    *os << c.name;
}

class Conversion : public ::testing::TestWithParam<ConversionCase> {
protected:
    static void SetUpTestSuite() { LoadLibraries(); }
};

TEST_P(Conversion, OutputHasExpectedStreamsAndDuration) {
    const ConversionCase& c = GetParam();
    TempDir dir;
    const std::string input = fixtures::MakeFixture(c.source, dir.Root());
    const std::string output = dir.Path(std::string("out.") + c.extension);
    TFFmpegEngine engine;
    const RunResult r = RunOne(engine, input, output, c.options);
    ASSERT_TRUE(r.added) << r.addError;
    ASSERT_EQ(r.terminations.size(), 2u);
    EXPECT_EQ(r.terminations[0].TaskIndex, 0);
    EXPECT_TRUE(r.terminations[0].Finished);
    EXPECT_FALSE(r.terminations[0].Failed) << r.terminations[0].ErrorMessage;
    EXPECT_EQ(r.terminations[1].TaskIndex, -1);

    // The durations the fixture was made with (packet spans of a source may include an
    // encoder's priming and padding, which decoding removes).
    const fixtures::FixtureSpec recipe = fixtures::SpecFor(c.source);
    const MediaFacts out = Inspect(output);
    ASSERT_TRUE(out.ok) << out.error;
    const StreamFacts* v = out.First(AVMEDIA_TYPE_VIDEO);
    const StreamFacts* a = out.First(AVMEDIA_TYPE_AUDIO);
    if (*c.videoCodec) {
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->codec, c.videoCodec);
        EXPECT_EQ(v->width, c.width);
        EXPECT_EQ(v->height, c.height);
        ASSERT_TRUE(recipe.video.has_value());
        const double frame = 1.0 / av_q2d(recipe.video->frameRate);
        const double outFrame = v->frameRate > 0 ? 1.0 / v->frameRate : frame;
        EXPECT_NEAR(v->duration, recipe.video->frameCount * frame, std::max(frame, outFrame) + 1e-6);
    } else {
        EXPECT_EQ(v, nullptr);
    }
    if (*c.audioCodec) {
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->codec, c.audioCodec);
        EXPECT_EQ(a->sampleRate, c.sampleRate);
        EXPECT_EQ(a->channels, c.channels);
        ASSERT_FALSE(recipe.audio.empty());
        // One audio frame; containers that cannot mark the encoder's priming samples (AVI, FLV,
        // ASF, MPEG, Matroska with AAC, raw MP3/AC-3) also carry the priming, at most one more frame.
        const double frame =
            std::max(1152, std::max(a->frameSize, 1024)) / static_cast<double>(a->sampleRate);
        const std::string fmt = out.format;
        const bool marksPriming = fmt.find("mp4") != std::string::npos || fmt == "ogg" || fmt == "wav";
        EXPECT_NEAR(a->decoded, recipe.audio[0].durationSeconds, (marksPriming ? frame : 2 * frame) + 1e-6)
            << out.format;
    } else {
        EXPECT_EQ(a, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, Conversion, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kavlo::test
