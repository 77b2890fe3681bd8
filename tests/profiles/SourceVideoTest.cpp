#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "RecordingMessages.h"
#include "core/IniFile.h"
#include "core/TempDir.h"
#include "engine/ffmpeg/TFFmpegLoader.h"
#include "fixtures/Fixtures.h"
#include "probe/TAVProbe.h"
#include "profiles/TSourceVideo.h"

namespace kavlo {
namespace {

class SourceVideoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FFmpegLoader().Load(kConverterLibraries)) << FFmpegLoader().LastErrMsg();
    }
    test::TempDir dir;
};

TEST_F(SourceVideoTest, FirstVideoStreamOfTheProbe) {
    TAVProbe probe;
    EXPECT_EQ(SourceVideoOf(probe).VideoStreamCount, 0); // nothing open

    const std::string mov = fixtures::MakeFixture(fixtures::FixtureKind::MovH264Aac, dir.Root());
    ASSERT_TRUE(probe.LoadFile(mov)) << probe.LastErrMsg();
    const TSourceVideo video = SourceVideoOf(probe);
    EXPECT_EQ(video.VideoStreamCount, 1);
    EXPECT_EQ(video.Width, 320);
    EXPECT_EQ(video.Height, 240);
    EXPECT_GT(video.BitRate, 0);

    const std::string mp3 = fixtures::MakeFixture(fixtures::FixtureKind::Mp3AudioOnly, dir.Root());
    ASSERT_TRUE(probe.LoadFile(mp3)) << probe.LastErrMsg();
    const TSourceVideo audio = SourceVideoOf(probe);
    EXPECT_EQ(audio.VideoStreamCount, 0);
    EXPECT_EQ(audio.Width, -1);
}

TEST_F(SourceVideoTest, SidewaysPhoneClipIsUpright) {
    const char* media = std::getenv("KAVLO_SHARED_MEDIA");
    const std::string clip = std::string(media ? media : "") + "/iphone_h264_aac_rotated90.mov";
    if (!media || !std::filesystem::exists(clip))
        GTEST_SKIP() << "shared media not available";
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(clip)) << probe.LastErrMsg();
    const TSourceVideo video = SourceVideoOf(probe);
    EXPECT_EQ(video.Width, 480); // stored 640x480 with a quarter-turn matrix
    EXPECT_EQ(video.Height, 640);
}

} // namespace
} // namespace kavlo
