#include "ProbeTestUtils.h"

#include "core/TempDir.h"
#include "engine/ffmpeg/CodecLock.h"
#include "engine/ffmpeg/FFUtils.h"
#include "fixtures/Fixtures.h"
#include "probe/TAVProbe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

extern "C" {
#include <libavformat/avformat.h>
}

namespace kavlo {
namespace {

using fixtures::FixtureKind;

class Probe : public ::testing::Test {
protected:
    void SetUp() override { test::LoadConverterLibraries(); }
    std::string Make(FixtureKind kind) { return fixtures::MakeFixture(kind, dir.Root()); }
    test::TempDir dir;
};

TEST_F(Probe, InfoErrorsAreLoggedAtTheirLevelsAndKept) {
    TAVProbe probe;
    test::LogCapture log(&probe);
    const std::string audioOnly = Make(FixtureKind::M4aAacAudioOnly);
    const std::string videoOnly = Make(FixtureKind::MovVideoOnly);

    struct Case {
        const char* what;
        std::string file; // empty: nothing loaded
        bool audio;       // which info is asked for
        int index;
        std::string message;
        TLogLevel level;
    };
    const Case cases[] = {
        {"closed, audio", "", true, -1, "file not loaded.", llError},
        {"closed, video", "", false, 0, "file not loaded.", llError},
        {"no video", audioOnly, false, -1, "no video stream.", llWarning},
        {"no audio", videoOnly, true, -1, "no audio stream.", llWarning},
        {"index past the end", audioOnly, true, 1, "stream index #1 is invalid.", llWarning},
        {"negative index", videoOnly, false, -2, "stream index #-2 is invalid.", llWarning},
        {"audio asked of video", videoOnly, true, 0, "stream #0 is not audio stream.", llWarning},
        {"video asked of audio", audioOnly, false, 0, "stream #0 is not video stream.", llWarning},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.file.empty())
            probe.CloseFile();
        else
            ASSERT_TRUE(probe.LoadFile(c.file)) << probe.LastErrMsg();
        log.Take();
        bool ok;
        if (c.audio) {
            TAudioStreamInfo info;
            info.SampleRate = 12345; // must be cleared
            ok = probe.GetAudioStreamInfo(c.index, info);
            EXPECT_EQ(info.SampleRate, -1);
            EXPECT_EQ(info.Channels, -1);
            EXPECT_EQ(info.DurationMicro, -1);
            EXPECT_TRUE(info.CodecName.empty());
        } else {
            TVideoStreamInfo info;
            info.Width = 12345;
            ok = probe.GetVideoStreamInfo(c.index, info);
            EXPECT_EQ(info.Width, -1);
            EXPECT_EQ(info.Height, -1);
            EXPECT_EQ(info.FrameRateNum, -1);
            EXPECT_EQ(info.DisplayAspectRatio, -1.0f);
            EXPECT_TRUE(info.CodecName.empty());
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(probe.LastErrMsg(), c.message);
        auto entries = log.Take();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].msg, c.message);
        EXPECT_EQ(entries[0].level, c.level);
    }

    probe.CloseFile();
    TFileStreamInfo file;
    file.Duration = 5;
    EXPECT_FALSE(probe.GetFileStreamInfo(file));
    EXPECT_EQ(file.Duration, -1);
    EXPECT_EQ(probe.LastErrMsg(), "file not loaded.");
    EXPECT_FALSE(probe.IsAudioStream(0));
    EXPECT_FALSE(probe.IsVideoStream(0));
    EXPECT_TRUE(probe.InfoText().empty());
}

TEST_F(Probe, OpenFailuresNameTheFile) {
    TAVProbe probe;
    test::LogCapture log(&probe);

    const std::string missing = dir.Path("missing.mov");
    EXPECT_FALSE(probe.LoadFile(missing));
    EXPECT_EQ(probe.LastErrMsg(), missing + ": No such file or directory");
    auto entries = log.Take();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, llError);

    const std::string folder = dir.Path("folder.mov");
    std::filesystem::create_directory(folder);
    EXPECT_FALSE(probe.LoadFile(folder));
    EXPECT_EQ(probe.LastErrMsg().rfind(folder + ": ", 0), 0u) << probe.LastErrMsg();

    // A failed open after a good one leaves the probe closed.
    ASSERT_TRUE(probe.LoadFile(Make(FixtureKind::WavPcm)));
    EXPECT_TRUE(probe.LastErrMsg().empty());
    EXPECT_FALSE(probe.LoadFile(missing));
    EXPECT_EQ(probe.StreamCount(), -1);
    EXPECT_TRUE(probe.FormatName().empty());
}

TEST_F(Probe, ForcedInputFormat) {
    const std::string wav = Make(FixtureKind::WavPcm);
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(wav, "wav")) << probe.LastErrMsg();
    EXPECT_EQ(probe.FormatName(), "wav");
    EXPECT_EQ(probe.ForcedFormatName(), "wav");
    ASSERT_TRUE(probe.LoadFile(wav));
    EXPECT_TRUE(probe.ForcedFormatName().empty());

    EXPECT_FALSE(probe.LoadFile(wav, "no_such_format"));
    EXPECT_EQ(probe.LastErrMsg(), "Unknown input format: no_such_format");
    EXPECT_EQ(probe.StreamCount(), -1);

    // A wrong format fails cleanly or finds nothing playable; it never pretends to be the file.
    if (probe.LoadFile(wav, "mp3")) {
        EXPECT_EQ(probe.FormatName(), "mp3");
    } else {
        EXPECT_EQ(probe.LastErrMsg().rfind(wav + ": ", 0), 0u) << probe.LastErrMsg();
    }
}

TEST_F(Probe, MissingLibrariesRaiseInCheckOrder) {
    const std::string wav = Make(FixtureKind::WavPcm);
    const struct {
        TLibraryId id;
        const char* message;
    } cases[] = {
        {libAVCodec, "LibAVCodec not loaded."},
        {libAVFormat, "LibAVFormat not loaded."},
        {libAVUtil, "LibAVUtil not loaded."},
        {libSWScale, "LibSwScale not loaded."},
    };
    for (const auto& c : cases) {
        FFmpegLoader().UnloadLibrary(c.id);
        TAVProbe probe;
        try {
            probe.LoadFile(wav);
            ADD_FAILURE() << "no exception for " << c.message;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_THROW(probe.AttachContext(nullptr), std::runtime_error);
        test::LoadConverterLibraries();
    }
    // With everything unloaded the first library of the order is named.
    FFmpegLoader().Unload(kConverterLibraries);
    TAVProbe probe;
    try {
        probe.LoadFile(wav);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "LibAVCodec not loaded.");
    }
    test::LoadConverterLibraries();
    EXPECT_TRUE(probe.LoadFile(wav)) << probe.LastErrMsg();
}

TEST_F(Probe, NamesWithSpacesNonAsciiAndColonsOpen) {
    const std::string source = Make(FixtureKind::MovH264Aac);
    for (const std::string name : {"clip with spaces.mov", "Ünïcødé 日本語 клип.mov", "take 2: final.mov",
                                   "file:looks like a url.mov", "http:not really.mov"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.Path(name);
        std::filesystem::copy_file(source, path);
        TAVProbe probe;
        ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrMsg();
        EXPECT_EQ(probe.FileName(), path);
        EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(std::filesystem::file_size(path)));
        EXPECT_EQ(test::Lines(probe.InfoText()).at(0), "File Name: " + path);
        EXPECT_EQ(probe.VideoStreamCount(), 1);
    }
}

TEST_F(Probe, AttachedContextIsProbedButNotClosed) {
    const std::string path = Make(FixtureKind::TwoAudioStreams);
    AVFormatContext* ic = nullptr;
    ASSERT_EQ(avformat_open_input(&ic, FileNameToURL(path).c_str(), nullptr, nullptr), 0);
    {
        std::lock_guard<std::mutex> lock(CodecLock());
        ASSERT_GE(avformat_find_stream_info(ic, nullptr), 0);
    }
    {
        TAVProbe probe;
        probe.AttachContext(ic);
        EXPECT_EQ(probe.FormatContext(), ic);
        EXPECT_EQ(probe.FileName(), path);
        EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(std::filesystem::file_size(path)));
        EXPECT_EQ(probe.StreamCount(), 3);
        EXPECT_EQ(probe.AudioStreamCount(), 2);
        EXPECT_EQ(probe.FirstAudioStreamIndex(), 1);
        TAudioStreamInfo second;
        ASSERT_TRUE(probe.GetAudioStreamInfo(2, second));
        EXPECT_EQ(second.SampleRate, 44100);
        EXPECT_EQ(second.Channels, 1);
        EXPECT_EQ(test::CountLinesStartingWith(probe.InfoText(), "Stream #"), 3);

        probe.CloseFile();
        EXPECT_EQ(probe.StreamCount(), -1);
        probe.AttachContext(ic);
        // Opening a file of its own releases the attachment without closing the context.
        ASSERT_TRUE(probe.LoadFile(Make(FixtureKind::WavPcm)));
        EXPECT_EQ(probe.StreamCount(), 1);
        probe.AttachContext(ic);
    } // destroying the probe leaves the context alone as well

    AVPacket* packet = av_packet_alloc();
    EXPECT_EQ(av_read_frame(ic, packet), 0) << "the owner can still read its context";
    av_packet_free(&packet);
    avformat_close_input(&ic);
}

TEST_F(Probe, ProgramsStreamIdsAndLanguageOnlyTags) {
    // A transport stream: one program with a provider and a name, stream ids, a 1/90000 time
    // base, and streams whose only tag is their language.
    fixtures::FixtureSpec recipe;
    recipe.format = "mpegts";
    recipe.extension = "ts";
    recipe.video = fixtures::VideoSpec{};
    recipe.video->frameCount = 25;
    fixtures::AudioSpec audio;
    audio.durationSeconds = 1.0;
    audio.language = "fra";
    recipe.audio.push_back(audio);
    const std::string path = dir.Path("program.ts");
    std::string error;
    ASSERT_TRUE(fixtures::Generate(recipe, path, &error)) << error;

    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrMsg();
    EXPECT_EQ(probe.FormatName(), "mpegts");
    EXPECT_EQ(probe.ProgramCount(), 1);
    const std::string text = probe.InfoText();
    const auto lines = test::Lines(text);

    size_t program = 0;
    while (program < lines.size() && lines[program].rfind("Program ", 0) != 0)
        ++program;
    ASSERT_LT(program, lines.size()) << text;
    EXPECT_EQ(lines[program], "Program 1 FFmpeg@Service01");
    EXPECT_EQ(lines[program + 1], "  Metadata:");
    // The program's streams follow its metadata block; nothing is listed twice.
    EXPECT_EQ(test::CountLinesStartingWith(text, "Stream #"), 2);
    size_t videoLine = 0, audioLine = 0;
    for (size_t i = program; i < lines.size(); ++i) {
        if (lines[i].rfind("Stream #0[0x100], 1/90000: Video: h264", 0) == 0)
            videoLine = i;
        if (lines[i].rfind("Stream #1[0x101](fra), 1/90000: Audio: aac", 0) == 0)
            audioLine = i;
    }
    ASSERT_NE(videoLine, 0u) << text;
    ASSERT_NE(audioLine, 0u) << text;
    EXPECT_NE(lines[videoLine].find(", 25 fps, 25 tbr, 90k tbn, 25 tbc, StartTime: "), std::string::npos)
        << lines[videoLine];
    // A language tag alone makes no metadata block.
    for (size_t i : {videoLine, audioLine})
        if (i + 1 < lines.size()) {
            EXPECT_NE(lines[i + 1], "  Metadata:") << text;
        }
    EXPECT_EQ(text.find("language"), std::string::npos) << text;

    TAudioStreamInfo info;
    ASSERT_TRUE(probe.GetAudioStreamInfo(-1, info));
    EXPECT_EQ(info.Language, "fra");
    // Transport streams start late; the raw value is in 1/90000, the other in microseconds.
    ASSERT_GE(info.StartTime, 0);
    EXPECT_EQ(info.StartTimeMicro, av_rescale(info.StartTime, 1000000, 90000));
}

TEST_F(Probe, FileFactsComeFromWhereTheContainerKeepsThem) {
    fixtures::FixtureSpec recipe = fixtures::SpecFor(FixtureKind::M4aAacAudioOnly);
    recipe.audio[0].durationSeconds = 0.5;
    recipe.metadata = {{"title", "T"},   {"artist", "A"},   {"album", "Al"},
                     {"genre", "G"},   {"comment", "C"},  {"copyright", "(c) K"},
                     {"date", "2009"}, {"track", "3/12"}, {"creation_time", "2011-02-03T04:05:06Z"}};
    const std::string path = dir.Path("tags.m4a");
    std::string error;
    ASSERT_TRUE(fixtures::Generate(recipe, path, &error)) << error;

    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrMsg();
    TFileStreamInfo info;
    ASSERT_TRUE(probe.GetFileStreamInfo(info));
    EXPECT_EQ(info.Title, "T");
    EXPECT_EQ(info.Author, "A");
    EXPECT_EQ(info.Album, "Al");
    EXPECT_EQ(info.Genre, "G");
    EXPECT_EQ(info.Comment, "C");
    EXPECT_EQ(info.Year, 2009);
    EXPECT_EQ(info.Track, 3);
    EXPECT_EQ(info.TimeStamp, 1296705906); // 2011-02-03 04:05:06 UTC
    EXPECT_GT(info.BitRate, 0);
    EXPECT_NE(probe.InfoText().find("\nTime Stamp: 20"), std::string::npos) << probe.InfoText();
}

} // namespace
} // namespace kavlo
