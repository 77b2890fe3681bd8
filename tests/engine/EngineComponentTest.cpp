// The engine component's set-up side: properties, AddTask and SetOutputFile with their option
// records and ExtOptions, the limits, and the refusals while working.
#include "SetupTestUtil.h"
#include "engine/TFFmpegEngine.h"
#include "engine/ffmpeg/FFUtils.h"
#include "probe/TAVProbe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kavlo::test {
namespace {

using fixtures::FixtureKind;

class EngineComponentTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(engine.LoadAVLib("")) << engine.LastErrMsg(); }
    int Add(FixtureKind kind, const TInputOptions* options = nullptr) {
        int index = engine.AddTask(FixturePath(kind), options);
        EXPECT_GE(index, 0) << engine.LastErrMsg();
        return index;
    }
    // The encoders of a task's output streams by name, in order.
    std::vector<std::string> Encoders(int task) {
        std::vector<std::string> names;
        for (const TOutputStreamSetup& s : engine.Task(task)->outputStreams)
            names.push_back(s.StreamCopy ? "copy" : s.Codec->name);
        return names;
    }
    TFFmpegEngine engine;
    TempDir dir;
};

TEST_F(EngineComponentTest, PropertiesAndTheirDefaults) {
    EXPECT_EQ(engine.Version(), "3.3");
    EXPECT_FALSE(engine.Preview());
    EXPECT_FALSE(engine.PreviewBitmap());
    EXPECT_EQ(engine.ProgressInterval(), 500);
    EXPECT_EQ(engine.ThreadPriority(), TThreadPriority::tpNormal);
    EXPECT_TRUE(engine.TriggerEventInMainThread());
    for (auto [set, read] : {std::pair{50, 100}, {100, 100}, {101, 101}, {-3, 100}, {2000, 2000}}) {
        engine.SetProgressInterval(set);
        EXPECT_EQ(engine.ProgressInterval(), read) << set;
    }
}

TEST_F(EngineComponentTest, PreviewFlagsReachEveryTask) {
    Add(FixtureKind::MovH264Aac);
    Add(FixtureKind::Mp4H264Aac);
    engine.SetPreview(true);
    EXPECT_EQ(engine.Task(0)->PreviewFlags(), 1);
    EXPECT_EQ(engine.Task(1)->PreviewFlags(), 1);
    engine.SetPreviewBitmap(true);
    EXPECT_EQ(engine.Task(1)->PreviewFlags(), 3);
    Add(FixtureKind::MovH264Aac);
    EXPECT_EQ(engine.Task(2)->PreviewFlags(), 3);
    engine.SetPreview(false);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(engine.Task(i)->PreviewFlags(), 2);
}

TEST_F(EngineComponentTest, AddTaskOpensTheInputAndItsProbe) {
    TInputOptions options;
    int index = Add(FixtureKind::MovH264Aac, &options);
    ASSERT_EQ(index, 0);
    EXPECT_EQ(engine.TasksCount(), 1);
    ASSERT_TRUE(engine.Task(0)->inputOptions[0].has_value());
    EXPECT_EQ(engine.Task(0)->inputOptions[0]->FileName, FixturePath(FixtureKind::MovH264Aac));
    TAVProbe* probe = engine.AVProbe(0, 0);
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe, engine.AVProbe(0, 0));
    EXPECT_EQ(probe->StreamCount(), 2);
    EXPECT_EQ(probe->VideoStreamCount(), 1);
    EXPECT_EQ(probe->FormatContext(), engine.Task(0)->inputFiles[0].Context);
    // An input position without an input gets an empty probe.
    EXPECT_FALSE(engine.AVProbe(0, 1)->Opened());
    EXPECT_EQ(Add(FixtureKind::WavPcm), 1);
    engine.RemoveTask(0);
    EXPECT_EQ(engine.TasksCount(), 1);
    EXPECT_EQ(engine.AVProbe(0, 0)->AudioStreamCount(), 1);
}

TEST_F(EngineComponentTest, AddTaskFailuresLeaveTheReason) {
    std::string missing = dir.Path("no such file.mov");
    EXPECT_EQ(engine.AddTask(missing, nullptr), -1);
    EXPECT_EQ(engine.LastErrMsg(), missing + ": No such file or directory");
    EXPECT_EQ(engine.AddTask(FixturePath(FixtureKind::ZeroBytes), nullptr), -1);
    EXPECT_EQ(engine.LastErrMsg(), ErrorText(FixturePath(FixtureKind::ZeroBytes), AVERROR_INVALIDDATA));

    TInputOptions bad;
    bad.ExtOptions = "g=25<CRLF>pass=3";
    EXPECT_EQ(engine.AddTask(FixturePath(FixtureKind::MovH264Aac), &bad), -1);
    EXPECT_EQ(engine.LastErrMsg(), "pass number can be only 1 or 2");
    TInputOptions format;
    format.FileFormat = "nosuchformat";
    EXPECT_EQ(engine.AddTask(FixturePath(FixtureKind::MovH264Aac), &format), -1);
    EXPECT_EQ(engine.LastErrMsg(), "Unknown input format: \"nosuchformat\"");
    TInputOptions program;
    program.ProgramID = 3;
    EXPECT_EQ(engine.AddTask(FixturePath(FixtureKind::MovH264Aac), &program), -1);
    EXPECT_EQ(engine.LastErrMsg(), "Specified program id not found");
    EXPECT_EQ(engine.TasksCount(), 0);
}

TEST_F(EngineComponentTest, InputRecordFieldsAndExtOptions) {
    TInputOptions options;
    options.FileName = "shown name";
    options.StartTime = 500000;
    options.ExtOptions = "vcodec=h264\r\nvn=1\rs=64x48\n";
    int task = Add(FixtureKind::MovH264Aac, &options);
    TFFmpeg* t = engine.Task(task);
    EXPECT_EQ(t->inputOptions[0]->FileName, "shown name");
    EXPECT_STREQ(t->inputCodecs[0]->name, "h264");
    EXPECT_EQ(t->inputFiles[0].Context->streams[0]->discard, AVDISCARD_ALL);
    EXPECT_EQ(t->opt.startTime, 0);
    EXPECT_LE(t->inputFiles[0].TsOffset, -500000);
    // The input's video was switched off: a video output profile gets no video stream.
    TOutputOptions out;
    out.VideoCodec = "libx264";
    out.AudioCodec = "aac";
    ASSERT_TRUE(engine.SetOutputFile(task, dir.Path("out.mp4"), &out)) << engine.LastErrMsg();
    EXPECT_EQ(Encoders(task), std::vector<std::string>{"aac"});
}

TEST_F(EngineComponentTest, AudioOnlyInputWithAVideoProfile) {
    int task = Add(FixtureKind::Mp3AudioOnly);
    TOutputOptions out;
    out.VideoCodec = "libx264";
    out.VideoPreset = "libx264-ipod";
    out.FrameSize = "320x240";
    out.VideoBitrate = 500000;
    out.AudioCodec = "libfaac";
    ASSERT_TRUE(engine.SetOutputFile(task, dir.Path("audio only.mp4"), &out)) << engine.LastErrMsg();
    EXPECT_EQ(Encoders(task), std::vector<std::string>{"aac"});
    EXPECT_EQ(engine.Task(task)->outputFiles[0].Context->nb_streams, 1u);
}

TEST_F(EngineComponentTest, OutputRecordFieldsAreApplied) {
    int task = Add(FixtureKind::MovH264Aac);
    TOutputOptions out;
    out.VideoCodec = "libx264";
    out.VideoPreset = "medium";
    out.AudioCodec = "aac";
    out.FrameSize = "160x120";
    out.FrameRate = "30";
    out.AspectRatio = "4:3";
    out.VideoBitrate = 300000;
    out.AudioBitrate = 96000;
    out.AudioChannels = 1;
    out.AudioSampleRate = 22050;
    out.GOPSize = 60;
    out.MaxRate = 400000;
    out.BufSize = 800000;
    out.VideoTag = "avc1";
    out.AudioLanguage = "ger";
    out.Volume = 300;
    out.AudioSync = 1;
    out.VideoSync = 2;
    out.RecordingTime = 1500000;
    out.Metadata.Title = "A title";
    out.Metadata.Author = "Someone";
    out.Metadata.Year = 2009;
    out.Metadata.Track = -1;
    ASSERT_TRUE(engine.SetOutputFile(task, dir.Path("out.mp4"), &out)) << engine.LastErrMsg();
    TFFmpeg* t = engine.Task(task);
    ASSERT_EQ(Encoders(task), (std::vector<std::string>{"libx264", "aac"}));
    AVCodecContext* v = t->outputStreams[0].Encoder;
    EXPECT_EQ(v->width, 160);
    EXPECT_EQ(v->time_base.den, 30);
    EXPECT_EQ(v->bit_rate, 300000);
    EXPECT_EQ(v->gop_size, 60);
    EXPECT_EQ(v->rc_max_rate, 400000);
    EXPECT_EQ(v->rc_buffer_size, 800000);
    EXPECT_EQ(v->refs, 3); // libx264-medium
    EXPECT_EQ(v->max_b_frames, 3);
    AVCodecContext* a = t->outputStreams[1].Encoder;
    EXPECT_EQ(a->bit_rate, 96000);
    EXPECT_EQ(a->ch_layout.nb_channels, 1);
    EXPECT_EQ(a->sample_rate, 22050);
    EXPECT_EQ(MetadataValue(t->outputStreams[1].Stream->metadata, "language"), "ger");
    EXPECT_EQ(t->opt.audioVolume, 300);
    EXPECT_EQ(t->opt.audioSyncMethod, 1);
    EXPECT_EQ(t->opt.videoSyncMethod, 2);
    EXPECT_EQ(t->opt.recordingTime, 1500000);
    EXPECT_EQ(t->opt.totalDuration, 1500000);
    AVDictionary* meta = t->outputFiles[0].Context->metadata;
    EXPECT_EQ(MetadataValue(meta, "title"), "A title");
    EXPECT_EQ(MetadataValue(meta, "author"), "Someone");
    EXPECT_EQ(MetadataValue(meta, "year"), "2009");
    EXPECT_EQ(MetadataValue(meta, "track"), "");
    EXPECT_TRUE(t->outputOptions[0].has_value());
    EXPECT_EQ(t->outputOptions[0]->FileName, dir.Path("out.mp4"));
    EXPECT_FALSE(static_cast<bool>(t->hookTarget));
}

TEST_F(EngineComponentTest, TimestampIsTheCreationTimeInUtc) {
    const char* oldTz = std::getenv("TZ");
    std::string saved = oldTz ? oldTz : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    int task = Add(FixtureKind::MovH264Aac);
    TOutputOptions out;
    out.Metadata.Timestamp = 44348.5; // 2021-06-01 12:00 local time (summer: UTC+2)
    out.HookEnabled = true;
    bool ok = engine.SetOutputFile(task, dir.Path("out.mp4"), &out);
    if (oldTz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    ASSERT_TRUE(ok) << engine.LastErrMsg();
    EXPECT_EQ(MetadataValue(engine.Task(task)->outputFiles[0].Context->metadata, "creation_time"),
              "2021-06-01T10:00:00.000000Z");
    EXPECT_TRUE(static_cast<bool>(engine.Task(task)->hookTarget));
}

TEST_F(EngineComponentTest, ExtOptionsWithCrlfTokensAndMixedLineBreaks) {
    struct Case {
        const char* ext;
        const char* videoCodec; // the record's
        const char* expectedEncoder;
    } cases[] = {
        {"vcodec=libx264<CRLF>b=500000", "", "libx264"},
        {"vcodec=libx264<CRLF>b=500000", "mpeg4", "mpeg4"},
        {"  vcodec=libx264\r\nb=500000\rg=33\n\n<CRLF>bf=2  ", "", "libx264"},
        {"VCODEC=mpeg4<CRLF><CRLF>B = 500000", "", "mpeg4"},
    };
    int i = 0;
    for (const Case& c : cases) {
        int task = Add(FixtureKind::MovH264Aac);
        TOutputOptions out;
        out.VideoCodec = c.videoCodec;
        out.DisableAudio = true;
        out.ExtOptions = c.ext;
        ASSERT_TRUE(engine.SetOutputFile(task, dir.Path("ext" + std::to_string(i++) + ".mp4"), &out))
            << engine.LastErrMsg();
        ASSERT_EQ(Encoders(task), std::vector<std::string>{c.expectedEncoder}) << c.ext;
        AVCodecContext* v = engine.Task(task)->outputStreams[0].Encoder;
        EXPECT_EQ(v->bit_rate, 500000) << c.ext;
        if (std::string(c.ext).find("g=33") != std::string::npos) {
            EXPECT_EQ(v->gop_size, 33);
            EXPECT_EQ(v->max_b_frames, 2);
        }
    }
}

TEST_F(EngineComponentTest, OutputRefusalsAndLimits) {
    int task = Add(FixtureKind::MovH264Aac);
    EXPECT_FALSE(engine.SetOutputFile(task, dir.Path("out.xyz"), nullptr));
    EXPECT_EQ(engine.LastErrMsg(),
              "Unable to find a suitable output format for '" + dir.Path("out.xyz") + "'");
    TOutputOptions threads;
    threads.ExtOptions = "threads=2";
    EXPECT_FALSE(engine.SetOutputFile(task, dir.Path("threads.mp4"), &threads));
    EXPECT_EQ(engine.LastErrMsg(), "TODO: option - threads");
    TOutputOptions crop;
    crop.CropTop = 240;
    EXPECT_FALSE(engine.SetOutputFile(task, dir.Path("crop.mp4"), &crop));
    EXPECT_EQ(engine.LastErrMsg(), "Vertical crop dimensions are outside the range of the original image.\n"
                                   "Remember to crop first and scale second.");
    EXPECT_FALSE(engine.Task(task)->outputOptions[0].has_value());
    EXPECT_FALSE(std::filesystem::exists(dir.Path("threads.mp4")));

    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(engine.SetOutputFile(task, dir.Path("o" + std::to_string(i) + ".mp4"), nullptr))
            << i << ": " << engine.LastErrMsg();
    EXPECT_FALSE(engine.SetOutputFile(task, dir.Path("o20.mp4"), nullptr));
    EXPECT_EQ(engine.LastErrMsg(), "max output files 20 reached");
    EXPECT_FALSE(std::filesystem::exists(dir.Path("o20.mp4")));
    EXPECT_EQ(engine.Task(task)->OutputCount(), 20);
    // The never-written outputs go with the task.
    engine.RemoveTask(task);
    EXPECT_FALSE(std::filesystem::exists(dir.Path("o0.mp4")));
}

TEST_F(EngineComponentTest, AdditionalStreamsTakeTheirListedOptions) {
    int task = Add(FixtureKind::MovH264Aac);
    TOutputOptions out;
    out.AudioCodec = "aac";
    out.VideoCodec = "libx264";
    out.ExtOptions =
        "acodec=mp2<CRLF>newaudio=<CRLF>vcodec=mpeg4<CRLF>vfilters=scale=80:60<CRLF>newvideo=<CRLF>"
        "newaudio=";
    ASSERT_TRUE(engine.SetOutputFile(task, dir.Path("multi.mkv"), &out)) << engine.LastErrMsg();
    // The main streams take the record's codecs; each new stream the first listed value of its
    // options, else the default.
    EXPECT_EQ(Encoders(task), (std::vector<std::string>{"libx264", "aac", "mp2", "mpeg4", "aac"}));
    EXPECT_EQ(engine.Task(task)->opt.videoFilters, "scale=80:60");
}

TEST_F(EngineComponentTest, TargetFromTheRecord) {
    int task = Add(FixtureKind::MovH264Aac);
    TOutputOptions out;
    out.TargetType = 3;
    out.TargetNorm = 0; // guessed from the 25 fps input
    ASSERT_TRUE(engine.SetOutputFile(task, dir.Path("dvd.mpg"), &out)) << engine.LastErrMsg();
    TFFmpeg* t = engine.Task(task);
    EXPECT_STREQ(t->outputFiles[0].Context->oformat->name, "dvd");
    ASSERT_EQ(Encoders(task), (std::vector<std::string>{"mpeg2video", "ac3"}));
    EXPECT_EQ(t->outputStreams[0].Encoder->height, 576);
}

TEST_F(EngineComponentTest, RefusalsWhileWorkingUntilClearTasks) {
    // A task without an output fails at once, so the run ends right away.
    Add(FixtureKind::MovH264Aac);
    std::vector<TTerminateInfo> terminations;
    engine.OnTerminate = [&](TCustomFFmpegEngine*, const TTerminateInfo& info) {
        terminations.push_back(info);
    };
    engine.StartTask(0);
    ASSERT_EQ(terminations.size(), 2u);
    EXPECT_TRUE(terminations[0].Failed);
    EXPECT_EQ(terminations[0].ErrorMessage, "At least one output file must be specified");
    EXPECT_EQ(terminations[1].TaskIndex, -1);

    auto refusal = [](const std::function<void()>& fn) { return Refusal(fn); };
    EXPECT_EQ(refusal([&] { engine.AddTask(FixturePath(FixtureKind::MovH264Aac), nullptr); }),
              "Cannot AddTask while working.");
    EXPECT_EQ(refusal([&] { engine.SetOutputFile(0, dir.Path("late.mp4"), nullptr); }),
              "Cannot SetOutputFile while working.");
    EXPECT_EQ(refusal([&] { engine.RemoveTask(0); }), "Cannot RemoveTask while working.");
    EXPECT_EQ(refusal([&] { engine.StartTask(0); }), "Cannot StartTask while working.");
    EXPECT_FALSE(std::filesystem::exists(dir.Path("late.mp4")));
    EXPECT_EQ(engine.TasksCount(), 1);

    engine.ClearTasks();
    EXPECT_EQ(engine.TasksCount(), 0);
    EXPECT_EQ(Add(FixtureKind::MovH264Aac), 0);
}

TEST_F(EngineComponentTest, ClearTasksIsRefusedWhileARunIsInProgress) {
    int task = Add(FixtureKind::Minute);
    TOutputOptions out;
    out.VideoCodec = "libx264";
    out.AudioCodec = "aac";
    ASSERT_TRUE(engine.SetOutputFile(task, dir.Path("minute.mp4"), &out)) << engine.LastErrMsg();
    engine.StartTask(1);
    EXPECT_EQ(Refusal([&] { engine.ClearTasks(); }), "Cannot ClearTasks while working.");
    engine.Stop(true);
    EXPECT_EQ(Refusal([&] { engine.ClearTasks(); }), "");
    EXPECT_EQ(engine.TasksCount(), 0);
}

} // namespace
} // namespace kavlo::test
