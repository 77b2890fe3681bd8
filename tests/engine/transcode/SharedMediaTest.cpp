// Every real-world file of the shared media folder: a short conversion either finishes with a
// video or audio stream in the output, or fails with a message; never a crash or a hang.
#include "TranscodeTestUtil.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace kavlo::test {
namespace {

TEST(SharedMedia, ShortConversionOfEveryFile) {
    const char* dir = std::getenv("KAVLO_SHARED_MEDIA");
    if (!dir || !std::filesystem::is_directory(dir))
        GTEST_SKIP() << "shared media folder not available";
    LoadLibraries();
    TempDir out;
    int converted = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || entry.path().extension() == ".md")
            continue;
        SCOPED_TRACE(name);
        TFFmpegEngine engine;
        TOutputOptions o;
        o.VideoCodec = "libx264";
        o.VideoPreset = "libx264-ultrafast";
        o.AudioCodec = "aac";
        o.FrameSize = "320x240";
        o.RecordingTime = 500000;
        const std::string target = out.Path(name + ".mp4");
        const RunResult r = RunOne(engine, entry.path().string(), target, o);
        if (!r.added) {
            EXPECT_FALSE(r.addError.empty());
            continue;
        }
        ASSERT_EQ(r.terminations.size(), 2u);
        if (r.terminations[0].Failed) {
            EXPECT_FALSE(r.terminations[0].ErrorMessage.empty());
        } else {
            const MediaFacts f = Inspect(target);
            EXPECT_TRUE(f.ok) << f.error;
            EXPECT_TRUE(f.First(AVMEDIA_TYPE_VIDEO) || f.First(AVMEDIA_TYPE_AUDIO));
            ++converted;
        }
        if (std::filesystem::exists(target)) {
            EXPECT_GT(std::filesystem::file_size(target), 0u);
        }
    }
    EXPECT_GT(converted, 0);
}

} // namespace
} // namespace kavlo::test
