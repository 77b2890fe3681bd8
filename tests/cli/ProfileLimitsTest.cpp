#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "CliTestUtil.h"
#include "core/Paths.h"
#include "core/TempDir.h"
#include "core/TextUtils.h"
#include "profiles/ProfileNames.h"

namespace kavlo::test {
namespace {

// One row of the device limits table (data/profile-limits.md); "-" means no limit.
struct LimitsRow {
    int code = -1;
    std::string profile, container, videoCodecs, h264Profile, h264Level, maxSize, maxFps, videoKbps,
        audioCodecs, sampleRates, channels, audioKbps, defaultOk;
};

// Shown by GoogleTest for a failing case instead of the row's bytes.
void PrintTo(const LimitsRow& r, std::ostream* os) {
    *os << r.code << " " << r.profile;
}

std::vector<LimitsRow> LoadLimits() {
    std::vector<LimitsRow> rows;
    std::ifstream in(DefaultDataFile("profile-limits.md"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 3 || line[0] != '|' || !std::isdigit(static_cast<unsigned char>(line[2])))
            continue;
        // Cells split at "|" that is not escaped as "\|" (the table writes alternatives that way).
        std::vector<std::string> cells;
        std::string cell;
        for (size_t i = 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '|') {
                cell += '|';
                ++i;
            } else if (line[i] == '|') {
                cells.push_back(Trim(cell));
                cell.clear();
            } else {
                cell += line[i];
            }
        }
        if (cells.size() < 14)
            continue;
        LimitsRow r;
        r.code = std::stoi(cells[0]);
        r.profile = cells[1];
        r.container = cells[2];
        r.videoCodecs = cells[3];
        r.h264Profile = cells[4];
        r.h264Level = cells[5];
        r.maxSize = cells[6];
        r.maxFps = cells[7];
        r.videoKbps = cells[8];
        r.audioCodecs = cells[9];
        r.sampleRates = cells[10];
        r.channels = cells[11];
        r.audioKbps = cells[12];
        r.defaultOk = cells[13];
        rows.push_back(r);
    }
    return rows;
}

const std::vector<LimitsRow>& Limits() {
    static const std::vector<LimitsRow> rows = LoadLimits();
    return rows;
}

bool InList(const std::string& list, const std::string& value, char sep = ',') {
    for (const std::string& item : Split(list, sep))
        if (Trim(item) == value)
            return true;
    return false;
}

int H264ProfileRank(const std::string& name) {
    if (name == "Baseline" || name == "Constrained Baseline")
        return 0;
    if (name == "Main" || name == "Extended")
        return 1;
    if (name == "High")
        return 2;
    return 3; // High 10 and above
}

// Short clips leave rate control little room, so measured rates get this much slack.
constexpr double kRateSlack = 0.25;

void CheckRate(const char* what, const std::string& range, int64_t bitsPerSecond,
               std::vector<std::string>& out) {
    if (range == "-" || bitsPerSecond < 0)
        return;
    const std::vector<std::string> mm = Split(range, '-');
    if (mm.size() != 2)
        return;
    const double lo = std::stod(mm[0]), hi = std::stod(mm[1]);
    const double kbps = static_cast<double>(bitsPerSecond) / 1000.0;
    // Above the device's highest rate it may not play; below its lowest only a fixed rate (a
    // range of one value, like VCD's) is a fault.
    if (kbps > hi * (1 + kRateSlack) || (lo == hi && kbps < lo * (1 - kRateSlack)))
        out.push_back(Format("%s %.0f kbit/s outside %s", what, kbps, range.c_str()));
}

std::vector<std::string> Violations(const LimitsRow& r, const MediaFacts& f) {
    std::vector<std::string> v;
    if (!InList(f.formatName, r.container))
        v.push_back("container " + f.formatName + " is not " + r.container);
    if (r.videoCodecs != "-") {
        if (!f.hasVideo)
            v.push_back("no video");
        else if (!InList(r.videoCodecs, f.videoCodec))
            v.push_back("video codec " + f.videoCodec + " not in " + r.videoCodecs);
    } else if (f.hasVideo) {
        v.push_back("video " + f.videoCodec + " in an audio profile");
    }
    if (f.hasVideo && f.videoCodec == "h264") {
        if (r.h264Profile != "-" && H264ProfileRank(f.h264Profile) > H264ProfileRank(r.h264Profile))
            v.push_back("H.264 profile " + f.h264Profile + " above " + r.h264Profile);
        if (r.h264Level != "-" && f.h264Level > std::lround(std::stod(r.h264Level) * 10))
            v.push_back(Format("H.264 level %d.%d above %s", f.h264Level / 10, f.h264Level % 10,
                               r.h264Level.c_str()));
    }
    if (f.hasVideo && r.maxSize != "-") {
        const std::string size = std::to_string(f.width) + "x" + std::to_string(f.height);
        if (r.maxSize.find('|') != std::string::npos) {
            if (!InList(r.maxSize, size, '|'))
                v.push_back("frame size " + size + " not one of " + r.maxSize);
        } else {
            int w = 0, h = 0;
            const std::vector<std::string> wh = Split(r.maxSize, 'x');
            if (wh.size() == 2 && TryParseInt(wh[0], w) && TryParseInt(wh[1], h) &&
                (f.width > w || f.height > h))
                v.push_back("frame size " + size + " above " + r.maxSize);
        }
    }
    if (f.hasVideo && r.maxFps != "-") {
        if (r.maxFps[0] == '=') {
            bool any = false;
            for (const std::string& fps : Split(r.maxFps.substr(1), '|'))
                any = any || std::fabs(std::stod(fps) - f.fps) < 0.02;
            if (!any)
                v.push_back(Format("frame rate %.3f not one of %s", f.fps, r.maxFps.c_str() + 1));
        } else if (f.fps > std::stod(r.maxFps) + 0.02) {
            v.push_back(Format("frame rate %.3f above %s", f.fps, r.maxFps.c_str()));
        }
    }
    if (f.hasVideo)
        CheckRate("video", r.videoKbps, f.videoBitRate, v);
    if (r.audioCodecs != "-") {
        if (!f.hasAudio) {
            v.push_back("no audio");
        } else {
            if (!InList(r.audioCodecs, f.audioCodec))
                v.push_back("audio codec " + f.audioCodec + " not in " + r.audioCodecs);
            if (r.sampleRates != "-" && !InList(r.sampleRates, std::to_string(f.sampleRate)))
                v.push_back(Format("sample rate %d not in %s", f.sampleRate, r.sampleRates.c_str()));
            const std::vector<std::string> ch = Split(r.channels, '-');
            if (r.channels != "-" && !ch.empty()) {
                const int lo = std::stoi(ch[0]), hi = std::stoi(ch.back());
                if (f.channels < lo || f.channels > hi)
                    v.push_back(Format("%d channels outside %s", f.channels, r.channels.c_str()));
            }
            CheckRate("audio", r.audioKbps, f.audioBitRate, v);
        }
    }
    return v;
}

TEST(ProfileLimits, TableCoversTheCatalogue) {
    std::set<int> codes;
    for (const LimitsRow& r : Limits())
        EXPECT_TRUE(codes.insert(r.code).second) << "code " << r.code << " twice";
    for (int code : AllProfileCodes()) {
        EXPECT_TRUE(codes.count(code)) << "no limits for profile " << code;
        codes.erase(code);
    }
    EXPECT_TRUE(codes.empty()) << "limits for codes outside the catalogue";
}

class EveryProfile : public ::testing::TestWithParam<LimitsRow> {};

// A short clip converted with the profile's default choices, as a fresh installation would,
// read back and held against what the device accepts. A profile the table marks as not
// reaching its device's limits with these libraries must still convert, and must really miss
// them (so the mark is dropped once the data is mended).
TEST_P(EveryProfile, DefaultChoicesMeetTheDeviceLimits) {
    const LimitsRow& row = GetParam();
    TempDir dir;
    const std::string clip = MakeShortClip(dir.Root(), "clip.mov");
    const ToolResult r = RunConvert(
        {"--json", "-q", "--profile", std::to_string(row.code), "-o", dir.Path("out"), clip}, dir.Root());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto reports = ParseJsonLines(r.out);
    ASSERT_EQ(reports.size(), 1u) << r.out;
    ASSERT_EQ(reports[0].at("status"), "converted") << reports[0].at("error");
    const MediaFacts f = ReadMediaFacts(reports[0].at("output"));
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_GT(f.durationSec, 0.5);

    const std::vector<std::string> v = Violations(row, f);
    std::string text;
    for (const std::string& s : v)
        text += "\n  " + s;
    if (row.defaultOk == "yes")
        EXPECT_TRUE(v.empty()) << row.code << " " << row.profile << ":" << text;
    else
        EXPECT_FALSE(v.empty()) << row.code << " " << row.profile << " meets its limits now; mark it yes";
}

std::string RowName(const ::testing::TestParamInfo<LimitsRow>& info) {
    return "code_" + std::to_string(info.param.code);
}

INSTANTIATE_TEST_SUITE_P(Profiles, EveryProfile, ::testing::ValuesIn(Limits()), RowName);

} // namespace
} // namespace kavlo::test
