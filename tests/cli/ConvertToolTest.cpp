#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>

#include "CliTestUtil.h"
#include "core/TempDir.h"
#include "core/TextUtils.h"
#include "fixtures/Fixtures.h"

namespace kavlo::test {
namespace {

namespace fs = std::filesystem;

using Report = std::map<std::string, std::string>;

class ConvertToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        clip_ = MakeShortClip(dir_.Root(), "clip.mov");
        out_ = dir_.Path("out");
    }

    // Runs kavlo-convert with --json into out_ (plus `args`); the reports by source.
    ToolResult Convert(std::vector<std::string> args) {
        args.insert(args.begin(), {"--json", "-o", out_});
        return RunConvert(args, dir_.Root());
    }

    static Report Only(const ToolResult& r) {
        const auto reports = ParseJsonLines(r.out);
        EXPECT_EQ(reports.size(), 1u) << r.out << r.err;
        return reports.empty() ? Report{} : reports[0];
    }

    int Files(const std::string& folder) const {
        std::error_code ec;
        int n = 0;
        if (fs::is_directory(folder, ec))
            for (auto it = fs::directory_iterator(folder, ec); it != fs::directory_iterator(); ++it)
                ++n;
        return n;
    }

    TempDir dir_;
    std::string clip_;
    std::string out_;
};

// The default profile (1, H.264 in an iPod MP4): the report names the output, which holds the
// whole clip; nothing is written to the settings.
TEST_F(ConvertToolTest, ConvertsWithTheStoredProfileAndReportsIt) {
    const ToolResult r = Convert({clip_});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Report rep = Only(r);
    EXPECT_EQ(rep.at("source"), clip_);
    EXPECT_EQ(rep.at("status"), "converted");
    EXPECT_EQ(rep.at("error"), "null");
    EXPECT_EQ(rep.at("output"), out_ + "/clip_(new).mp4");
    EXPECT_EQ(std::stoll(rep.at("size")), static_cast<long long>(fs::file_size(rep.at("output"))));
    EXPECT_NEAR(std::stod(rep.at("duration")), 1.0, 0.15);
    const MediaFacts f = ReadMediaFacts(rep.at("output"));
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.videoCodec, "h264");
    EXPECT_EQ(f.audioCodec, "aac");
    EXPECT_FALSE(fs::exists(dir_.Path("config/kavlo/kavlomovmp4converter.ini")));

    // A second run never writes over the first output.
    const ToolResult again = Convert({clip_});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(Only(again).at("output"), out_ + "/clip_(new_1).mp4");
}

// The profile's stored choices are used (and never written); an unusable stored frame size gets
// the builder's question, answered 320x240 with a warning, or the source size when asked to.
TEST_F(ConvertToolTest, StoredChoicesAndTheFrameSizeQuestion) {
    fs::create_directories(dir_.Path("config/kavlo"));
    const std::string settings = dir_.Path("config/kavlo/kavlomovmp4converter.ini");
    std::ofstream(settings) << "[settings]\nFormatCode=1\n[formatInfo1]\nparaVideoEncoder=libx264\n"
                               "paraAudioEncoder=libfaac\nparaVideoSize=big\n";
    const auto before = fs::last_write_time(settings);
    const std::string small = MakeShortClip(dir_.Root(), "small.mov", 1.0, 3, 176, 144);

    const ToolResult yes = Convert({small});
    ASSERT_EQ(yes.exitCode, 0) << yes.err;
    EXPECT_NE(yes.err.find("warning: Error output Video Size.Use the default size 320x240?"),
              std::string::npos)
        << yes.err;
    MediaFacts f = ReadMediaFacts(Only(yes).at("output"));
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.width, 320);
    EXPECT_EQ(f.height, 240);

    const ToolResult no = Convert({"--no-default-size", small});
    ASSERT_EQ(no.exitCode, 0) << no.err;
    f = ReadMediaFacts(Only(no).at("output"));
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.width, 176);
    EXPECT_EQ(f.height, 144);
    EXPECT_EQ(fs::last_write_time(settings), before) << "the settings were written";
}

TEST_F(ConvertToolTest, TrimConvertsOnlyThePart) {
    const std::string longer = MakeShortClip(dir_.Root(), "two.mov", 2.0);
    const ToolResult r = Convert({"--trim", "0.5,0.8", longer});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const MediaFacts f = ReadMediaFacts(Only(r).at("output"));
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_NEAR(f.durationSec, 0.8, 0.12);
}

// How far a decoded output frame is from the source picture seen through a geometry: the mean
// difference between output pixels and the source pixels a mapping says they show (the source
// pattern is known exactly), over the best of the neighbouring source frames.
double GeometryError(const std::string& output, int frame, int x0, int x1,
                     const std::function<double(int)>& sourceX, const std::function<double(int)>& sourceY) {
    std::vector<uint8_t> gray;
    int w = 0, h = 0;
    if (!GrayFrame(output, frame, gray, w, h))
        return 1e9;
    double best = 1e9;
    for (int f = std::max(0, frame - 1); f <= frame + 1; ++f) {
        double sum = 0;
        int n = 0;
        for (int oy = 8; oy < h - 8; oy += 9)
            for (int ox = std::max(x0, 4); ox < std::min(x1, w - 4); ox += 7, ++n) {
                const int sx = static_cast<int>(std::lround(sourceX(ox)));
                const int sy = static_cast<int>(std::lround(sourceY(oy)));
                sum += std::fabs(gray[static_cast<size_t>(oy) * w + ox] -
                                 fixtures::FixtureLuma(1, f, sx, sy, 320, 240));
            }
        if (n > 0)
            best = std::min(best, sum / n);
    }
    return best;
}

// Crop 20/20/40/40 of the 320x240 clip into 320x180 with each zoom mode, checked against the
// source picture: full crops all four margins and fills the frame; letterbox keeps the cropped
// picture's shape and pads 40 black columns each side; pan and scan crops the cropped 240x200
// picture further to 4:3 around its centre (10 more rows at top and bottom) and fills the
// frame. Centre pads the picture after it was scaled, so
// its frame size follows the pad filter rather than the chosen size; it must convert, its
// geometry is not checked here.
TEST_F(ConvertToolTest, CropWithEachZoomMode) {
    auto scaled = [](double offset, double in, double out) {
        return [=](int o) { return offset + (o + 0.5) * in / out - 0.5; };
    };
    const auto yCropped = scaled(20, 200, 180); // rows 20..219 of the source over 180 rows
    const auto yWhole = scaled(0, 240, 180);
    struct Case {
        const char* zoom;
        int width, height; // 0: not checked
        int x0, x1;        // output columns that show the picture
        std::function<double(int)> sx, sy;
        bool blackSides;
    };
    const Case cases[] = {
        {"full", 320, 180, 0, 320, scaled(40, 240, 320), yCropped, false},
        {"lbox", 320, 180, 40, 280, [](int o) { return static_cast<double>(o); }, yCropped, true},
        {"pan", 320, 180, 0, 320, scaled(40, 240, 320), scaled(30, 180, 180), false},
        {"center", 0, 0, 0, 0, nullptr, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.zoom);
        const ToolResult r = Convert({"--crop", "20,20,40,40", "--zoom", c.zoom, "--set", "VideoSize=320x180",
                                      "--set", "FrameRate=25", clip_});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string output = Only(r).at("output");
        const MediaFacts f = ReadMediaFacts(output);
        ASSERT_TRUE(f.ok) << f.error;
        ASSERT_TRUE(f.hasVideo);
        EXPECT_GT(MeanLuma(output, 5, 0, 0, f.width, f.height), 0) << "no decodable picture";
        if (c.width == 0)
            continue;
        EXPECT_EQ(f.width, c.width);
        EXPECT_EQ(f.height, c.height);
        const double right = GeometryError(output, 5, c.x0, c.x1, c.sx, c.sy);
        const double uncropped = GeometryError(output, 5, c.x0, c.x1, scaled(0, 320, c.x1 - c.x0), yWhole);
        EXPECT_LT(right, 12) << "the picture is not the cropped source";
        EXPECT_LT(right * 2, uncropped) << "the check cannot tell the crop from none";
        const double left = MeanLuma(output, 5, 0, 0, 36, f.height);
        const double rightBand = MeanLuma(output, 5, f.width - 36, 0, 36, f.height);
        if (c.blackSides) {
            EXPECT_LT(left, 24) << "left band not black";
            EXPECT_LT(rightBand, 24) << "right band not black";
        } else {
            EXPECT_GT(left + rightBand, 60) << "picture missing at the sides";
        }
    }
}

// Brightness through the effect hook, and a text and an image watermark drawn on the frames.
TEST_F(ConvertToolTest, EffectAndWatermarksReachTheFrames) {
    const ToolResult plain = Convert({clip_});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    const std::string plainOut = Only(plain).at("output");

    const ToolResult bright = Convert({"--brightness", "450", clip_});
    ASSERT_EQ(bright.exitCode, 0) << bright.err;
    const std::string brightOut = Only(bright).at("output");
    const double before = MeanLuma(plainOut, 3, 0, 0, 320, 240);
    const double after = MeanLuma(brightOut, 3, 0, 0, 320, 240);
    ASSERT_GT(before, 0);
    EXPECT_GT(after, before + 15) << before << " -> " << after;

    // A black square, fully opaque, at (64, 32); a white text block at the top left.
    const std::string bmp = dir_.Path("black.bmp");
    WriteSolidBmp(bmp, 64, 48, 0, 0, 0);
    const ToolResult marked = Convert({"--image", bmp, "--image-pos", "64,32", "--alpha", "255", "--text",
                                       "\u2588\u2588\u2588\u2588", "--font", "DejaVu Sans,30,#FFFFFF",
                                       "--text-pos", "180,150", clip_});
    ASSERT_EQ(marked.exitCode, 0) << marked.err;
    const std::string markedOut = Only(marked).at("output");
    EXPECT_LT(MeanLuma(markedOut, 3, 72, 40, 48, 32), 30) << "image watermark missing";
    EXPECT_GT(MeanLuma(plainOut, 3, 72, 40, 48, 32), 40) << "the clip is too dark for this check";
    EXPECT_GT(MeanLuma(markedOut, 3, 186, 160, 40, 16), 200) << "text watermark missing";
    EXPECT_LT(MeanLuma(plainOut, 3, 186, 160, 40, 16), 190) << "the clip is too bright for this check";

    // An image that cannot be read is refused before anything is converted.
    std::ofstream(dir_.Path("not.bmp")) << "no picture";
    const ToolResult bad = Convert({"--image", dir_.Path("not.bmp"), clip_});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("not.bmp"), std::string::npos) << bad.err;
}

// A missing input fails alone with the reason; the others convert; the status says so.
TEST_F(ConvertToolTest, MissingInputFailsThatFileOnly) {
    const std::string missing = dir_.Path("missing.mov");
    const ToolResult r = Convert({missing, clip_});
    EXPECT_EQ(r.exitCode, 1);
    const auto reports = ParseJsonLines(r.out);
    ASSERT_EQ(reports.size(), 2u) << r.out;
    std::map<std::string, Report> bySource;
    for (const auto& rep : reports)
        bySource[rep.at("source")] = rep;
    EXPECT_EQ(bySource[missing].at("status"), "failed");
    EXPECT_NE(bySource[missing].at("error").find("No such file or directory"), std::string::npos);
    EXPECT_EQ(bySource[missing].at("output"), "null");
    EXPECT_EQ(bySource[clip_].at("status"), "converted");
    EXPECT_NE(r.err.find(bySource[missing].at("error")), std::string::npos)
        << "the error also goes to stderr";
}

// An output folder that cannot be made fails every file; nothing is written anywhere else.
TEST_F(ConvertToolTest, OutputFolderThatCannotBeCreated) {
    std::ofstream(dir_.Path("blocker")) << "a file where a folder should be";
    const std::string folder = dir_.Path("blocker/sub");
    const ToolResult r = RunConvert({"--json", "-o", folder, clip_, clip_}, dir_.Root());
    EXPECT_EQ(r.exitCode, 1);
    const auto reports = ParseJsonLines(r.out);
    ASSERT_EQ(reports.size(), 2u) << r.out;
    for (const auto& rep : reports) {
        EXPECT_EQ(rep.at("status"), "failed");
        EXPECT_EQ(rep.at("error").rfind("Cannot create output directory:" + folder, 0), 0u)
            << rep.at("error");
    }
    EXPECT_FALSE(fs::exists(dir_.Path("Videos"))) << "fell back to the default folder";
}

TEST_F(ConvertToolTest, FourFilesTwoAtATime) {
    std::vector<std::string> args = {"--jobs", "2"};
    for (int i = 0; i < 4; ++i)
        args.push_back(MakeShortClip(dir_.Root(), "c" + std::to_string(i) + ".mov", 1.0, 10 + i));
    const ToolResult r = Convert(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto reports = ParseJsonLines(r.out);
    ASSERT_EQ(reports.size(), 4u) << r.out;
    std::set<std::string> outputs;
    for (const auto& rep : reports) {
        EXPECT_EQ(rep.at("status"), "converted") << rep.at("source") << ": " << rep.at("error");
        outputs.insert(rep.at("output"));
        const MediaFacts f = ReadMediaFacts(rep.at("output"));
        EXPECT_TRUE(f.ok && f.hasVideo && f.hasAudio) << rep.at("output") << ": " << f.error;
        EXPECT_NEAR(f.durationSec, 1.0, 0.15) << rep.at("output");
    }
    EXPECT_EQ(outputs.size(), 4u);
    EXPECT_EQ(Files(out_), 4);
}

// Engine options: a refused one fails the file with the engine's text; an accepted one acts.
TEST_F(ConvertToolTest, EngineOptions) {
    const ToolResult refused = Convert({"--option", "padtop=4", clip_});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(Only(refused).at("error"), "Please use vfilters=pad");
    EXPECT_EQ(Files(out_), 0) << "no output is left for a refused file";

    // Options the profile does not set itself take effect (the profile's own settings are
    // applied after the extra options, so those are changed with --set).
    const ToolResult tagged = Convert({"--option", "metadata=title=Kavlo CLI", "--option", "t=0.5", clip_});
    ASSERT_EQ(tagged.exitCode, 0) << tagged.err;
    const MediaFacts f = ReadMediaFacts(Only(tagged).at("output"));
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_EQ(f.title, "Kavlo CLI");
    EXPECT_NEAR(f.durationSec, 0.5, 0.12);
}

// Ctrl+C stops the batch: the file being written is closed properly (it opens and plays the
// part written), the next file is not started, the exit status is 130.
TEST_F(ConvertToolTest, InterruptStopsCleanly) {
    const std::string longClip = MakeShortClip(dir_.Root(), "long.mov", 2.0);
    // The input is read at its own pace ("re"), so the first file is surely still being written
    // when its first progress line brings the signal.
    const ToolResult r = RunConvert(
        {"--json", "-o", out_, "--input-option", "re=1", longClip, clip_}, dir_.Root(),
        [](const std::string& err) { return err.find("[1/2]") != std::string::npos ? SIGINT : 0; });
    EXPECT_EQ(r.exitCode, 130) << r.err;
    const auto reports = ParseJsonLines(r.out);
    ASSERT_EQ(reports.size(), 2u) << r.out << r.err;
    const Report& first = reports[0].at("source") == longClip ? reports[0] : reports[1];
    const Report& second = reports[0].at("source") == longClip ? reports[1] : reports[0];
    EXPECT_EQ(first.at("status"), "stopped");
    EXPECT_EQ(second.at("status"), "stopped");
    EXPECT_EQ(second.at("output"), "null") << "the second file was never started";
    ASSERT_NE(first.at("output"), "null") << r.err;
    const MediaFacts f = ReadMediaFacts(first.at("output"));
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_TRUE(f.hasVideo);
    EXPECT_GT(f.durationSec, 0.0);
    EXPECT_LT(f.durationSec, 1.9);
    EXPECT_EQ(Files(out_), 1) << "the unstarted file's empty output is removed";
}

TEST_F(ConvertToolTest, CommandLineAndProfileErrorsExit2) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--profile", "9999", clip_},
                                               {"--set", "VideoBitRate=fast", clip_},
                                               {"--set", "VideoSize=320x240", "--profile", "2700", clip_},
                                               {"--jobs", "0", clip_},
                                               {}}) {
        const ToolResult r = Convert(args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_FALSE(r.err.empty());
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_EQ(Files(out_), 0);

    const ToolResult list = RunConvert({"--list-profiles"}, dir_.Root());
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(Split(list.out, '\n').size(), 122u) << "121 profiles and the final line break";
}

} // namespace
} // namespace kavlo::test
