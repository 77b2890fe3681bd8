#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>

#include "cli/CliMessages.h"
#include "cli/CliOptions.h"
#include "cli/JsonText.h"
#include "cli/ProgressLine.h"
#include "cli/RunChoices.h"
#include "core/IniFile.h"
#include "core/Paths.h"
#include "core/TGlobalObject.h"
#include "core/TempDir.h"
#include "core/TextUtils.h"
#include "profiles/JobOptionBuilder.h"
#include "profiles/ProfileNames.h"

namespace kavlo::cli {
namespace {

TEST(CliTime, SecondsAndClockText) {
    struct Case {
        const char* text;
        int64_t us; // -1: refused
    };
    for (const Case& c :
         {Case{"0", 0}, Case{"90", 90000000}, Case{"12.5", 12500000}, Case{"0.000001", 1},
          Case{"1:30", 90000000}, Case{"00:01:30.250", 90250000}, Case{"2:00:00", 7200000000},
          Case{"1.1234567", 1123456}, Case{"", -1}, Case{"-1", -1}, Case{"1:60", -1}, Case{"1:2:3:4", -1},
          Case{"12.", -1}, Case{".5", -1}, Case{"1e3", -1}, Case{"a:10", -1}, Case{"1.5:10", -1}}) {
        int64_t us = -7;
        const bool ok = ParseTimeText(c.text, us);
        EXPECT_EQ(ok, c.us >= 0) << c.text;
        if (ok) {
            EXPECT_EQ(us, c.us) << c.text;
        }
    }
}

TEST(CliCommandLine, EditingOptionsFillTheRecord) {
    TCliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"a.mov",
                                  "--trim",
                                  "1:00,00:00:10.5",
                                  "--crop",
                                  "11,20,7,0",
                                  "--zoom=PAN",
                                  "--brightness",
                                  "300",
                                  "--contrast=-20",
                                  "--saturation",
                                  "0",
                                  "--exposure",
                                  "-255",
                                  "--text",
                                  "Hi",
                                  "--text-pos",
                                  "5,6",
                                  "--font",
                                  "DejaVu Sans,24,#FF8000,bold+italic",
                                  "--image",
                                  "w.bmp",
                                  "--image-pos",
                                  "7,8",
                                  "--alpha",
                                  "0",
                                  "--blend",
                                  "2",
                                  "--process-image",
                                  "-j",
                                  "2",
                                  "--priority",
                                  "idle",
                                  "--option",
                                  "b=500000",
                                  "--input-option",
                                  "ss=1",
                                  "--set",
                                  "videosize=640x480",
                                  "-o",
                                  "out",
                                  "-q",
                                  "--json",
                                  "--",
                                  "-b.mov"},
                                 o, error))
        << error;
    EXPECT_EQ(o.Files, (std::vector<std::string>{"a.mov", "-b.mov"}));
    const TlvFilesRecord& r = o.Record;
    EXPECT_EQ(r.TrimStart, 60000000);
    EXPECT_EQ(r.TrimLength, 10500000);
    // Source pixels, even, as the crop dialog stores them.
    EXPECT_EQ(r.CropTop, 10);
    EXPECT_EQ(r.CropBottom, 20);
    EXPECT_EQ(r.CropLeft, 6);
    EXPECT_EQ(r.CropRight, 0);
    EXPECT_EQ(o.Zoom, "pan");
    EXPECT_EQ(r.Brightness, 300);
    EXPECT_EQ(r.Contrast, -20);
    EXPECT_EQ(r.Saturation, 0);
    EXPECT_EQ(r.Exposure, -255);
    EXPECT_EQ(r.WatermarkText, "Hi");
    EXPECT_EQ(r.TextX, 5);
    EXPECT_EQ(r.TextY, 6);
    EXPECT_EQ(r.WatermarkFont.Name, "DejaVu Sans");
    EXPECT_EQ(r.WatermarkFont.Size, 24);
    EXPECT_EQ(r.WatermarkFont.Color, MakeBgrColor(0xFF, 0x80, 0x00));
    EXPECT_TRUE(r.WatermarkFont.Bold && r.WatermarkFont.Italic && !r.WatermarkFont.Underline);
    EXPECT_EQ(r.WatermarkImageFile, "w.bmp");
    EXPECT_EQ(r.ImageX, 7);
    EXPECT_EQ(r.ImageY, 8);
    EXPECT_EQ(r.ImageAlpha, 0);
    EXPECT_EQ(r.ImageBlendStyle, 2);
    EXPECT_TRUE(r.ProcessImage);
    EXPECT_FALSE(r.ProcessText);
    EXPECT_EQ(o.Jobs, 2);
    EXPECT_EQ(o.Priority, 0);
    EXPECT_EQ(o.OutputOptions, (std::vector<std::string>{"b=500000"}));
    EXPECT_EQ(o.InputOptions, (std::vector<std::string>{"ss=1"}));
    ASSERT_EQ(o.Sets.size(), 1u);
    EXPECT_EQ(o.Sets[0], (std::pair<std::string, std::string>{"VideoSize", "640x480"}));
    EXPECT_EQ(o.OutputDir, "out");
    EXPECT_TRUE(o.Quiet && o.Json);
}

TEST(CliCommandLine, Defaults) {
    TCliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"a.mov"}, o, error)) << error;
    EXPECT_EQ(o.Record, TlvFilesRecord{});
    EXPECT_EQ(o.Jobs, 1);
    EXPECT_FALSE(o.Priority.has_value());
    EXPECT_FALSE(o.OutputDir.has_value());
    EXPECT_TRUE(o.Profile.empty());
    EXPECT_TRUE(ParseCommandLine({"--list-profiles"}, o, error)) << "no file needed for the list";
}

TEST(CliCommandLine, RefusedCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--jobs", "0", "a"},
        {"--jobs", "65", "a"},
        {"--brightness", "513", "a"},
        {"--contrast", "-101", "a"},
        {"--exposure", "-256", "a"},
        {"--alpha", "256", "a"},
        {"--blend", "3", "a"},
        {"--crop", "1,2,3", "a"},
        {"--crop", "1,2,3,-4", "a"},
        {"--text-pos", "-1,0", "a"},
        {"--image-pos", "1", "a"},
        {"--trim", "5,0", "a"},
        {"--trim", "x", "a"},
        {"--zoom", "wide", "a"},
        {"--priority", "high", "a"},
        {"--font", ",12", "a"},
        {"--font", "Sans,0", "a"},
        {"--font", "Sans,12,#12345", "a"},
        {"--font", "Sans,12,#123456,heavy", "a"},
        {"--set", "Quality=5", "a"},
        {"--set", "VideoSize", "a"},
        {"--option", "a=1\nb=2", "a"},
        {"--option", "x<CRLF>y=1", "a"},
        {"--option", "=1", "a"},
        {"--log-level", "loud", "a"},
        {"--json=1", "a"},
        {"--nosuch", "a"},
        {"a", "--profile"},
    };
    for (const auto& args : bad) {
        TCliOptions o;
        std::string error;
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_FALSE(ParseCommandLine(args, o, error)) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}

TEST(CliJson, StringsStayValidJson) {
    EXPECT_EQ(JsonString("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    EXPECT_EQ(JsonString("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
    // A file name that is not UTF-8 still gives parseable JSON.
    EXPECT_EQ(JsonString("x\xFFy\xC3"), "\"x\xEF\xBF\xBDy\xEF\xBF\xBD\"");
    EXPECT_EQ(JsonString("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"") << "overlong form";

    TFileReport r;
    r.Source = "in \"1\".mov";
    r.Output = "/o/in_(new).mp4";
    r.Status = "failed";
    r.Error = "bad\nthing";
    r.Duration = 1.5;
    r.Size = 1234;
    r.Seconds = 0.25;
    const std::string line = FileReportJson(r);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    EXPECT_EQ(o["source"].toString().toStdString(), r.Source);
    EXPECT_EQ(o["output"].toString().toStdString(), r.Output);
    EXPECT_EQ(o["status"].toString().toStdString(), "failed");
    EXPECT_EQ(o["error"].toString().toStdString(), r.Error);
    EXPECT_DOUBLE_EQ(o["duration"].toDouble(), 1.5);
    EXPECT_EQ(o["size"].toInteger(), 1234);
    EXPECT_DOUBLE_EQ(o["seconds"].toDouble(), 0.25);

    TFileReport none;
    none.Status = "converted";
    const QJsonObject n = QJsonDocument::fromJson(QByteArray::fromStdString(FileReportJson(none))).object();
    EXPECT_TRUE(n["output"].isNull());
    EXPECT_TRUE(n["error"].isNull());
    EXPECT_TRUE(n["size"].isNull());
}

TEST(CliProgress, PercentSpeedAndEta) {
    TFileProgress p;
    p.CurrentUs = 2500000;
    p.ExpectedUs = 10000000;
    p.Bytes = 2048;
    p.ElapsedSec = 1.25;
    EXPECT_EQ(ProgressPercent(p), 25);
    EXPECT_DOUBLE_EQ(ProgressSpeed(p), 2.0);
    EXPECT_DOUBLE_EQ(ProgressEtaSeconds(p), 3.75);
    const std::string line = FormatProgressLine("[1/2] a.mov", p);
    for (const char* part :
         {"[1/2] a.mov", " 25%", "00:00:03 / 00:00:10", "2.00 KB", "2.00x", "ETA 00:00:04"})
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;

    TFileProgress unknown;
    unknown.CurrentUs = 5;
    EXPECT_EQ(ProgressPercent(unknown), -1);
    EXPECT_EQ(ProgressEtaSeconds(unknown), -1);
    EXPECT_NE(FormatProgressLine("x", unknown).find("?%"), std::string::npos);
    TFileProgress over = p;
    over.CurrentUs = 11000000;
    EXPECT_EQ(ProgressPercent(over), 100);
    EXPECT_EQ(ProgressEtaSeconds(over), 0);
}

// Plain lines (not a terminal): one per tenth of a file, never twice for the same tenth.
TEST(CliProgress, PlainLinesPerTenth) {
    char* text = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&text, &size);
    {
        TProgressDisplay d(f, false, true);
        TFileProgress p;
        p.ExpectedUs = 1000;
        for (int64_t us : {0, 50, 99, 100, 150, 420, 430, 1000}) {
            p.CurrentUs = us;
            d.Update(0, "a", p);
        }
        d.Print(f, "done");
    }
    std::fclose(f);
    const std::string out(text, size);
    std::free(text);
    EXPECT_EQ(Split(out, '\n').size(), 6u) << out; // 0%, 10%, 42%, 100%, done, and the end
}

TEST(CliProfiles, ResolveByCodeOrName) {
    int code = -1;
    std::string error;
    ASSERT_TRUE(ResolveProfile("403", code, error));
    EXPECT_EQ(code, 403);
    ASSERT_TRUE(ResolveProfile("PSP Video (480P) (*.mp4)", code, error));
    EXPECT_EQ(code, 404);
    ASSERT_TRUE(ResolveProfile("psp video (480p) (*.mp4)", code, error));
    EXPECT_EQ(code, 404);
    for (const char* bad : {"9", "2710", "-1", "PSP", ""}) {
        EXPECT_FALSE(ResolveProfile(bad, code, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(CliProfiles, ListHasEveryProfileOnce) {
    const std::vector<std::string> lines = Split(ProfileListText(), '\n');
    const std::vector<int> codes = AllProfileCodes();
    ASSERT_EQ(lines.size(), codes.size() + 1) << "one line per profile and the final line break";
    EXPECT_EQ(lines.back(), "");
    for (size_t i = 0; i < codes.size(); ++i) {
        const std::vector<std::string> fields = Split(lines[i], '\t');
        ASSERT_EQ(fields.size(), 3u) << lines[i];
        EXPECT_EQ(fields[0], std::to_string(codes[i]));
        EXPECT_EQ(fields[2], CatalogueProfileName(codes[i]));
    }
    EXPECT_EQ(lines[0], "0\tApple iPod\tiPod Video MPEG-4 (*.mp4)");
}

class RunChoicesTest : public ::testing::Test {
protected:
    std::string Value(const TProfileValues& values, const std::string& key) {
        std::string v = "<none>";
        for (const auto& [k, val] : values)
            if (SameText(k, key))
                v = val;
        return v;
    }
    bool Build(int code, const std::vector<std::pair<std::string, std::string>>& sets,
               std::optional<std::string> zoom = std::nullopt) {
        values_.clear();
        warnings_.clear();
        error_.clear();
        return BuildRunChoices(formatFile_, settings_, code, sets, zoom, messages_, values_, warnings_,
                               error_);
    }

    test::TempDir dir_;
    IniFile formatFile_{DefaultDataFile(kFormatFileName)};
    IniFile settings_{dir_.Path("settings.ini")};
    std::vector<std::string> warned_;
    TCliMessages messages_{false, [this](const std::string& w) { warned_.push_back(w); }};
    TProfileValues values_;
    std::vector<std::string> warnings_;
    std::string error_;
};

// A profile never adjusted converts with its defaults; --set changes only this run and writes
// nothing to the settings file.
TEST_F(RunChoicesTest, DefaultsAndSetsWithoutWriting) {
    ASSERT_TRUE(Build(1, {}));
    EXPECT_EQ(Value(values_, "paraVideoEncoder"), "libx264");
    const std::string defaultRate = Value(values_, "paraVideoBitRate");
    EXPECT_NE(defaultRate, "<none>");

    ASSERT_TRUE(
        Build(1, {{"VideoBitRate", "700"}, {"Volume", "150%"}, {"Channel", "MONO 1 CHANNEL"}}, "center"))
        << error_;
    EXPECT_EQ(Value(values_, "paraVideoBitRate"), "700");
    EXPECT_EQ(Value(values_, "paraVolume"), "384");
    EXPECT_EQ(Value(values_, "paraChannel"), "1");
    EXPECT_EQ(Value(values_, "paraZoom"), "center");
    EXPECT_FALSE(std::filesystem::exists(settings_.FileName())) << "the settings file was written";
}

// What the user stored for a profile is the starting point.
TEST_F(RunChoicesTest, StoredChoicesComeFirst) {
    const std::string section = FormatSectionName(403);
    settings_.WriteString(section, "paraVideoBitRate", "999");
    settings_.WriteString(section, "paraZoom", "pan");
    ASSERT_TRUE(Build(403, {}));
    EXPECT_EQ(Value(values_, "paraVideoBitRate"), "999");
    EXPECT_EQ(Value(values_, "paraZoom"), "pan");
    ASSERT_TRUE(Build(403, {{"Zoom", "Full Screen"}}));
    EXPECT_EQ(Value(values_, "paraZoom"), "full");
    EXPECT_EQ(Value(values_, "paraVideoBitRate"), "999");
}

TEST_F(RunChoicesTest, PanelRulesAndMessages) {
    // An odd size is corrected as the panel corrects it, with its message as a warning.
    ASSERT_TRUE(Build(1, {{"VideoSize", "321x241"}})) << error_;
    EXPECT_EQ(Value(values_, "paraVideoSize"), "320x240");
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_NE(warnings_[0].find("Frame Size must be a multiple of 2. The correct value:320x240"),
              std::string::npos)
        << warnings_[0];

    struct Case {
        int code;
        std::string key, value, message;
    };
    for (const Case& c : {Case{1, "VideoBitRate", "12a", "Please enter numerical."},
                          Case{1, "SampleRate", "4.5", "Please enter numerical."},
                          Case{1, "VideoSize", "640", "Frame Size is not a valid value!"},
                          Case{1, "VideoSize", "640*480", "frame size takes digits"},
                          Case{1, "VideoEncoder", "VP9", "is not offered by profile 1"},
                          Case{2700, "VideoSize", "320x240", "does not apply to profile 2700"}}) {
        SCOPED_TRACE(c.key + "=" + c.value);
        EXPECT_FALSE(Build(c.code, {{c.key, c.value}}));
        EXPECT_NE(error_.find(c.message), std::string::npos) << error_;
    }
}

TEST(CliMessagesTest, SizeQuestionAnswers) {
    std::vector<std::string> warned;
    TCliMessages yes(false, [&](const std::string& w) { warned.push_back(w); });
    EXPECT_EQ(
        yes.MessageBox(kMsgVideoSizeQuestion, kCaptionWarning, TMsgButtons::mbYesNo, TMsgIcon::miQuestion),
        TMsgResult::mrYes);
    TCliMessages no(true, [&](const std::string& w) { warned.push_back(w); });
    EXPECT_EQ(
        no.MessageBox(kMsgVideoSizeQuestion, kCaptionWarning, TMsgButtons::mbYesNo, TMsgIcon::miQuestion),
        TMsgResult::mrNo);
    ASSERT_EQ(warned.size(), 2u);
    EXPECT_NE(warned[0].find(kMsgVideoSizeQuestion), std::string::npos);
    EXPECT_TRUE(yes.Take().empty()) << "an answered question is not a message to report";
    yes.ShowMessage("x");
    EXPECT_EQ(yes.Take(), (std::vector<std::string>{"x"}));
}

} // namespace
} // namespace kavlo::cli
