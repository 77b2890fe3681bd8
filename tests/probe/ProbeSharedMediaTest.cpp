#include "ProbeTestUtils.h"

#include "probe/TAVProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

namespace kavlo {
namespace {

std::vector<std::string> SharedMediaFiles() {
    std::vector<std::string> files;
    const std::string dir = test::SharedMediaDir();
    if (dir.empty() || !std::filesystem::is_directory(dir))
        return files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file() && entry.path().extension() != ".md")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// Files made by real devices and muxers: each opens or fails with a message naming it, and an
// opened file gets a whole description. Only damaged files ("broken_" names) may fail.
TEST(ProbeSharedMedia, EveryFileOpensOrFailsCleanly) {
    const auto files = SharedMediaFiles();
    if (files.empty())
        GTEST_SKIP() << "no shared media folder (KAVLO_SHARED_MEDIA)";
    test::LoadConverterLibraries();
    FFLogger().SetLogLevel(llQuiet); // damaged files make the libraries talk a lot

    TAVProbe probe;
    int opened = 0;
    for (const auto& path : files) {
        const std::string name = std::filesystem::path(path).filename().string();
        SCOPED_TRACE(name);
        const bool damaged = name.rfind("broken_", 0) == 0;
        if (!probe.LoadFile(path)) {
            EXPECT_TRUE(damaged) << probe.LastErrMsg();
            EXPECT_EQ(probe.LastErrMsg().rfind(path + ": ", 0), 0u) << probe.LastErrMsg();
            EXPECT_EQ(probe.StreamCount(), -1);
            continue;
        }
        ++opened;
        const std::string text = probe.InfoText();
        EXPECT_EQ(test::CountLinesStartingWith(text, "Stream #"), probe.StreamCount()) << text;
        EXPECT_LE(probe.AudioStreamCount() + probe.VideoStreamCount() + probe.SubtitleStreamCount(),
                  probe.StreamCount());
        EXPECT_GT(probe.FileSize(), 0);

        TFileStreamInfo file;
        EXPECT_TRUE(probe.GetFileStreamInfo(file));
        TVideoStreamInfo video;
        EXPECT_EQ(probe.GetVideoStreamInfo(-1, video), probe.VideoStreamCount() > 0);
        if (probe.VideoStreamCount() > 0 && !damaged) {
            EXPECT_GT(video.Width, 0);
            EXPECT_GT(video.Height, 0);
            EXPECT_GT(video.DisplayAspectRatio, 0);
        }
        TAudioStreamInfo audio;
        EXPECT_EQ(probe.GetAudioStreamInfo(-1, audio), probe.AudioStreamCount() > 0);
        if (probe.AudioStreamCount() > 0 && !damaged) {
            EXPECT_GT(audio.SampleRate, 0);
            EXPECT_GT(audio.Channels, 0);
        }
        // Video wins over audio even when the audio track comes first.
        EXPECT_EQ(probe.StreamIndex(), probe.FirstVideoStreamIndex() >= 0 ? probe.FirstVideoStreamIndex()
                                                                          : probe.FirstAudioStreamIndex());
    }
    EXPECT_GT(opened, 0);
    FFLogger().SetLogLevel(llInfo);
}

TEST(ProbeSharedMedia, RotationAndUprightSizeOfPhoneClips) {
    const std::string dir = test::SharedMediaDir();
    if (dir.empty() || !std::filesystem::is_directory(dir))
        GTEST_SKIP() << "no shared media folder (KAVLO_SHARED_MEDIA)";
    test::LoadConverterLibraries();

    // Phones record the sensor's landscape picture and ask players to turn it a quarter turn
    // clockwise when the phone was held upright.
    const struct {
        const char* file;
        int rotation;
        int uprightWidth;
        int uprightHeight;
    } cases[] = {
        {"iphone_h264_aac_rotated90.mov", 90, 480, 640},
        {"iphone_hevc_dolbyvision_rotated90.mov", 90, 720, 1280},
        {"android_h264_aac_4k60_portrait.mp4", 90, 2160, 3840},
        {"coremedia_h264_aac_vfr_editlist.mov", 0, 640, 480},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = dir + "/" + c.file;
        if (!std::filesystem::exists(path)) {
            ADD_FAILURE() << "missing from the shared media";
            continue;
        }
        TAVProbe probe;
        ASSERT_TRUE(probe.LoadFile(path)) << probe.LastErrMsg();
        TVideoStreamInfo video;
        ASSERT_TRUE(probe.GetVideoStreamInfo(-1, video)) << probe.LastErrMsg();
        EXPECT_EQ(video.Rotation, c.rotation);
        TUprightSize upright = UprightSize(video);
        EXPECT_EQ(upright.Width, c.uprightWidth);
        EXPECT_EQ(upright.Height, c.uprightHeight);
        const std::string text = probe.InfoText();
        if (c.rotation)
            EXPECT_NE(text.find(", rotate " + std::to_string(c.rotation) + ","), std::string::npos) << text;
        else
            EXPECT_EQ(text.find(", rotate "), std::string::npos) << text;
    }
}

} // namespace
} // namespace kavlo
