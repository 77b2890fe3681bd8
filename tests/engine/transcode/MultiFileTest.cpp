// Tasks with more than one output, and (below the component, which gives a task one input)
// a task with two inputs: stream selection across files and `shortest`.
#include "TranscodeTestUtil.h"

#include "engine/TFFmpeg.h"

#include <gtest/gtest.h>

namespace kavlo::test {
namespace {

using fixtures::FixtureKind;

class MultiFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadLibraries(); }
    TempDir dir_;
};

TEST_F(MultiFile, OneTaskWritesEveryOutput) {
    const std::string input = fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root());
    TFFmpegEngine engine;
    std::vector<TTerminateInfo> terminations;
    engine.OnTerminate = [&](TCustomFFmpegEngine*, const TTerminateInfo& i) { terminations.push_back(i); };
    const int task = engine.AddTask(input, nullptr);
    ASSERT_GE(task, 0);
    TOutputOptions mp4;
    mp4.VideoCodec = "libx264";
    mp4.VideoPreset = "libx264-ultrafast";
    mp4.AudioCodec = "aac";
    TOutputOptions mp3;
    mp3.DisableVideo = true;
    mp3.AudioCodec = "libmp3lame";
    mp3.AudioSampleRate = 44100;
    ASSERT_TRUE(engine.SetOutputFile(task, dir_.Path("a.mp4"), &mp4)) << engine.LastErrMsg();
    ASSERT_TRUE(engine.SetOutputFile(task, dir_.Path("b.mp3"), &mp3)) << engine.LastErrMsg();
    engine.StartTask(0);
    ASSERT_EQ(terminations.size(), 2u);
    EXPECT_TRUE(terminations[0].Finished) << terminations[0].ErrorMessage;
    const MediaFacts a = Inspect(dir_.Path("a.mp4"));
    const MediaFacts b = Inspect(dir_.Path("b.mp3"));
    ASSERT_NE(a.First(AVMEDIA_TYPE_VIDEO), nullptr);
    ASSERT_NE(a.First(AVMEDIA_TYPE_AUDIO), nullptr);
    ASSERT_NE(b.First(AVMEDIA_TYPE_AUDIO), nullptr);
    EXPECT_EQ(b.First(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_EQ(b.First(AVMEDIA_TYPE_AUDIO)->sampleRate, 44100);
    EXPECT_NEAR(b.First(AVMEDIA_TYPE_AUDIO)->decoded, 2.0, 2 * 1152.0 / 44100);
}

TEST_F(MultiFile, ShortestEndsWithTheShorterInput) {
    const std::string video = fixtures::MakeFixture(FixtureKind::MovVideoOnly, dir_.Root()); // 2 s
    fixtures::FixtureSpec longAudio = fixtures::SpecFor(FixtureKind::M4aAacAudioOnly);
    longAudio.audio.at(0).durationSeconds = 5.0;
    const std::string audio = dir_.Path("long.m4a");
    std::string error;
    ASSERT_TRUE(fixtures::Generate(longAudio, audio, &error)) << error;
    for (const bool shortest : {true, false}) {
        SCOPED_TRACE(shortest ? "shortest" : "longest");
        const std::string out = dir_.Path(shortest ? "short.mp4" : "long.mp4");
        {
            TFFmpeg task;
            task.Init();
            ASSERT_TRUE(task.OpenInput(video)) << task.setupError;
            ASSERT_TRUE(task.OpenInput(audio)) << task.setupError;
            task.SetOption("shortest", shortest ? "1" : "0");
            task.SetOption("vcodec", "libx264");
            task.SetOption("vpre", "libx264-ultrafast");
            task.SetOption("acodec", "aac");
            ASSERT_GE(task.OpenOutput(out, false), 1) << task.setupError;
            task.Start(false, TThreadPriority::tpNormal);
            EXPECT_FALSE(task.Run.Failed) << task.Run.ErrorMessage;
            EXPECT_TRUE(task.Run.Finished);
        }
        const MediaFacts f = Inspect(out);
        ASSERT_NE(f.First(AVMEDIA_TYPE_VIDEO), nullptr);
        ASSERT_NE(f.First(AVMEDIA_TYPE_AUDIO), nullptr);
        if (shortest) {
            EXPECT_LT(f.First(AVMEDIA_TYPE_AUDIO)->decoded, 2.6);
        } else {
            EXPECT_NEAR(f.First(AVMEDIA_TYPE_AUDIO)->decoded, 5.0, 2 * 1024.0 / 48000);
        }
    }
}

} // namespace
} // namespace kavlo::test
