#include "ProbeTestUtils.h"

#include "core/TempDir.h"
#include "core/TextUtils.h"
#include "fixtures/Fixtures.h"
#include "probe/TAVProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kavlo {
namespace {

using fixtures::FixtureKind;
using fixtures::FixtureSpec;

// The name the libraries' demuxer reports for what each muxer writes.
std::string DemuxerOf(const std::string& muxer) {
    static const std::map<std::string, std::string> names = {
        {"mov", "mov,mp4,m4a,3gp,3g2,mj2"},
        {"mp4", "mov,mp4,m4a,3gp,3g2,mj2"},
        {"ipod", "mov,mp4,m4a,3gp,3g2,mj2"},
        {"avi", "avi"},
        {"matroska", "matroska,webm"},
        {"vob", "mpeg"},
        {"flv", "flv"},
        {"mp3", "mp3"},
        {"wav", "wav"},
        {"mpegts", "mpegts"},
    };
    auto it = names.find(muxer);
    return it == names.end() ? "(no demuxer known for " + muxer + ")" : it->second;
}

bool SameRate(int num, int den, AVRational expected) {
    return av_cmp_q(AVRational{num, den}, expected) == 0;
}

class ProbeFixtureKind : public ::testing::TestWithParam<FixtureKind> {
protected:
    void SetUp() override { test::LoadConverterLibraries(); }
    test::TempDir dir;
};

// Every kind of the generator: what the probe reads must be what the generator wrote.
TEST_P(ProbeFixtureKind, ReportsWhatTheGeneratorWrote) {
    const FixtureKind kind = GetParam();
    const FixtureSpec recipe = fixtures::SpecFor(kind);
    const std::string path = fixtures::MakeFixture(kind, dir.Root());
    TAVProbe probe;

    if (fixtures::IsBrokenKind(kind)) {
        if (!probe.LoadFile(path)) {
            // The library's error text for the file name, or the stream-information failure.
            EXPECT_EQ(probe.LastErrMsg().rfind(path + ": ", 0), 0u) << probe.LastErrMsg();
            EXPECT_EQ(probe.StreamCount(), -1);
            EXPECT_EQ(probe.FileSize(), -1);
            EXPECT_TRUE(probe.FileName().empty());
            EXPECT_TRUE(probe.InfoText().empty());
            return;
        }
        // Only damage behind an intact header may open; the description must still be whole.
        EXPECT_TRUE(kind == FixtureKind::TruncatedFaststart || kind == FixtureKind::ValidHeaderThenGarbage)
            << fixtures::KindName(kind) << " should not open";
        EXPECT_EQ(test::CountLinesStartingWith(probe.InfoText(), "Stream #"), probe.StreamCount());
        return;
    }

    ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrMsg();
    EXPECT_EQ(probe.FileName(), path);
    EXPECT_EQ(probe.FormatName(), DemuxerOf(recipe.format));
    EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(std::filesystem::file_size(path)));

    const int videoCount = recipe.video ? 1 : 0;
    const int audioCount = static_cast<int>(recipe.audio.size());
    EXPECT_EQ(probe.VideoStreamCount(), videoCount);
    EXPECT_EQ(probe.AudioStreamCount(), audioCount);
    EXPECT_EQ(probe.SubtitleStreamCount(), recipe.subtitles ? 1 : 0);
    // The generator writes video first, then the audio streams, then subtitles.
    EXPECT_EQ(probe.FirstVideoStreamIndex(), recipe.video ? 0 : -1);
    EXPECT_EQ(probe.FirstAudioStreamIndex(), audioCount ? videoCount : -1);
    EXPECT_EQ(probe.FirstSubtitleStreamIndex(), recipe.subtitles ? videoCount + audioCount : -1);
    EXPECT_EQ(probe.StreamIndex(), 0) << "first video stream, else first audio stream";
    EXPECT_GE(probe.StreamCount(), videoCount + audioCount + (recipe.subtitles ? 1 : 0));

    // Expected length: the longest stream. Encoders add priming and padding of up to one audio
    // packet each; a container may round to a frame.
    double frameSeconds = recipe.video ? av_q2d(av_inv_q(recipe.video->frameRate)) : 0;
    double expectedSeconds = recipe.video ? recipe.video->frameCount * frameSeconds : 0;
    int maxPacketSamples = 0;
    int lowestRate = 48000;
    for (const auto& a : recipe.audio) {
        expectedSeconds = std::max(expectedSeconds, a.durationSeconds);
        lowestRate = std::min(lowestRate, a.sampleRate);
        maxPacketSamples = 1152; // the largest frame of the audio encoders used (MP3, MP2)
    }
    const int64_t toleranceUs =
        std::llround((frameSeconds + 2.0 * maxPacketSamples / lowestRate) * 1e6) + 1000;
    const int64_t expectedUs = std::llround(expectedSeconds * 1e6);

    TFileStreamInfo file;
    ASSERT_TRUE(probe.GetFileStreamInfo(file));
    EXPECT_NEAR(file.Duration, expectedUs, toleranceUs);

    const std::string text = probe.InfoText();
    const std::vector<std::string> lines = test::Lines(text);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "File Name: " + path);
    EXPECT_EQ(lines[1], "Format Name: " + DemuxerOf(recipe.format));
    EXPECT_EQ(test::CountLinesStartingWith(text, "Stream #"), probe.StreamCount());

    const bool muxerKeepsTags = recipe.format != "vob" && recipe.format != "wav";
    auto tag = [&](const char* key) -> std::string {
        for (const auto& kv : recipe.metadata)
            if (kv.first == key)
                return kv.second;
        return "";
    };
    if (muxerKeepsTags) {
        EXPECT_EQ(file.Title, tag("title"));
        EXPECT_EQ(file.Author, tag("artist")) << "the artist tag stands in for the author";
        // Matroska keeps its tag names in capitals ("ARTIST"); they are shown as stored.
        const std::string lowerText = ToLower(text);
        for (const char* key : {"title", "artist"}) {
            if (!tag(key).empty()) {
                EXPECT_NE(lowerText.find(Format("\n  %-16s: %s\n", key, ToLower(tag(key)).c_str())),
                          std::string::npos)
                    << text;
            }
        }
    }

    if (recipe.video) {
        TVideoStreamInfo video;
        ASSERT_TRUE(probe.GetVideoStreamInfo(-1, video)) << probe.LastErrMsg();
        EXPECT_EQ(video.Width, recipe.video->width);
        EXPECT_EQ(video.Height, recipe.video->height);
        EXPECT_NEAR(video.DisplayAspectRatio, static_cast<double>(recipe.video->width) / recipe.video->height,
                    1e-4);
        EXPECT_TRUE(SameRate(video.FrameRateNum, video.FrameRateDen, recipe.video->frameRate))
            << video.FrameRateNum << "/" << video.FrameRateDen;
        EXPECT_GE(video.PixelFormat, 0);
        EXPECT_EQ(video.Rotation, 0);
        EXPECT_FALSE(video.CodecName.empty());
        if (video.DurationMicro >= 0) {
            EXPECT_NEAR(video.DurationMicro, std::llround(recipe.video->frameCount * frameSeconds * 1e6),
                        std::llround(frameSeconds * 1e6));
        } else {
            EXPECT_NE(recipe.format.rfind("mov", 0), 0u) << "QuickTime files know their stream lengths";
        }

        std::string videoLine;
        for (const auto& l : lines)
            if (l.rfind("Stream #0", 0) == 0)
                videoLine = l;
        if (av_cmp_q(recipe.video->frameRate, AVRational{25, 1}) == 0) {
            EXPECT_NE(videoLine.find(", 25 fps,"), std::string::npos) << videoLine;
        } else if (av_cmp_q(recipe.video->frameRate, AVRational{30000, 1001}) == 0) {
            EXPECT_NE(videoLine.find(", 29.97 fps,"), std::string::npos) << videoLine;
        } else {
            ADD_FAILURE() << "no expected text for this frame rate";
        }
        if (recipe.format == "vob") {
            EXPECT_NE(videoLine.find(", 90k tbn"), std::string::npos) << videoLine;
        }
        EXPECT_NE(
            videoLine.find(std::to_string(recipe.video->width) + "x" + std::to_string(recipe.video->height)),
            std::string::npos)
            << videoLine;
    }

    int audioSeen = 0;
    for (int i = 0; i < probe.StreamCount(); ++i) {
        if (!probe.IsAudioStream(i))
            continue;
        ASSERT_LT(audioSeen, audioCount);
        const auto& a = recipe.audio[audioSeen++];
        TAudioStreamInfo audio;
        ASSERT_TRUE(probe.GetAudioStreamInfo(i, audio)) << probe.LastErrMsg();
        EXPECT_EQ(audio.SampleRate, a.sampleRate) << "stream " << i;
        EXPECT_EQ(audio.Channels, a.channels) << "stream " << i;
        EXPECT_GE(audio.SampleFormat, 0);
        if (audio.DurationMicro >= 0) {
            EXPECT_NEAR(audio.DurationMicro, std::llround(a.durationSeconds * 1e6), toleranceUs)
                << "stream " << i;
        }
        if (!a.language.empty()) {
            EXPECT_EQ(audio.Language, a.language) << "stream " << i;
            std::string streamLine;
            for (const auto& l : lines)
                if (l.rfind("Stream #" + std::to_string(i), 0) == 0)
                    streamLine = l;
            EXPECT_NE(streamLine.find("(" + a.language + "), "), std::string::npos) << streamLine;
        }
    }
    EXPECT_EQ(audioSeen, audioCount);

    probe.CloseFile();
    EXPECT_EQ(probe.StreamCount(), -1);
    EXPECT_EQ(probe.VideoStreamCount(), -1);
    EXPECT_EQ(probe.FirstAudioStreamIndex(), -1);
    EXPECT_EQ(probe.FileSize(), -1);
    EXPECT_EQ(probe.StreamIndex(), -1);
    EXPECT_TRUE(probe.FormatName().empty());
}

INSTANTIATE_TEST_SUITE_P(AllKinds, ProbeFixtureKind, ::testing::ValuesIn(fixtures::AllKinds()),
                         [](const ::testing::TestParamInfo<FixtureKind>& info) {
                             std::string name = fixtures::KindName(info.param);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
} // namespace kavlo
