// The shipped format data against the catalogue, the installed encoders and the device limits
// table: every profile's default choices must name encoders the libraries have and stay inside
// what the table says its device accepts.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "RecordingMessages.h"
#include "core/IniFile.h"
#include "core/Paths.h"
#include "core/TGlobalObject.h"
#include "core/TextUtils.h"
#include "engine/CodecAliases.h"
#include "profiles/ParameterRules.h"
#include "profiles/ProfileNames.h"
#include "profiles/TParameterPanel.h"

namespace kavlo {
namespace {

using Values = std::map<std::string, std::string>;

Values DefaultsOf(const IniFile& format, int code, test::RecordingMessages& messages) {
    Values values;
    for (const auto& [key, value] : ProfileDefaultValues(format, code, &messages))
        values[key] = value;
    return values;
}

// The container the engine writes for a profile: the named one, the disc target's, or the
// one of the file extension.
const AVOutputFormat* ContainerOf(const IniFile& format, int code) {
    const std::string section = FormatSectionName(code);
    const std::string fmt = ToLower(format.ReadString(section, "Format", "null"));
    for (const char* name : {"ipod", "3gp", "3g2", "avi", "psp", "mov", "vcd", "flv", "mpegts", "vob"})
        if (fmt == name)
            return av_guess_format(name, nullptr, nullptr);
    if (fmt.find("dvd") != std::string::npos)
        return av_guess_format("dvd", nullptr, nullptr);
    if (fmt.find("svcd") != std::string::npos)
        return av_guess_format("svcd", nullptr, nullptr);
    if (fmt.find("vcd") != std::string::npos)
        return av_guess_format("vcd", nullptr, nullptr);
    const std::string file = "x." + format.ReadString(section, "FileExt", "mp4");
    return av_guess_format(nullptr, file.c_str(), nullptr);
}

// The encoder an encoder setting ends up with: through the alias table, or the container's
// own choice for names that leave the codec to it.
const AVCodec* EncoderOf(const std::string& name, const AVOutputFormat* container, bool video) {
    static const std::set<std::string> containerChoice = {"mov", "3gp", "3g2", "flv", "swf", "wmv3"};
    if (video && containerChoice.count(name))
        return container ? avcodec_find_encoder(container->video_codec) : nullptr;
    const std::string resolved = ResolveEncoderName(name, container);
    if (resolved.empty())
        return container ? avcodec_find_encoder(video ? container->video_codec : container->audio_codec)
                         : nullptr;
    return avcodec_find_encoder_by_name(resolved.c_str());
}

struct LimitsRow {
    std::map<std::string, std::string> cells;
    const std::string& operator[](const std::string& column) const { return cells.at(column); }
};

std::map<int, LimitsRow> ReadLimits(const std::string& path) {
    std::ifstream in(path);
    std::map<int, LimitsRow> rows;
    std::vector<std::string> header;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("| code | profile |", 0) == 0) {
            header.clear();
            for (auto& cell : Split(line.substr(1, line.size() - 2), '|'))
                header.push_back(Trim(cell));
            continue;
        }
        if (header.empty() || line.size() < 3 || line[0] != '|' ||
            !std::isdigit(static_cast<unsigned char>(line[2])))
            continue;
        // Cells are separated by "|" not preceded by a backslash.
        std::vector<std::string> cells;
        std::string cell;
        for (size_t i = 1; i + 1 < line.size(); ++i) {
            if (line[i] == '\\' && line[i + 1] == '|') {
                cell += '|';
                ++i;
            } else if (line[i] == '|') {
                cells.push_back(Trim(cell));
                cell.clear();
            } else {
                cell += line[i];
            }
        }
        cells.push_back(Trim(cell));
        EXPECT_EQ(cells.size(), header.size()) << line;
        LimitsRow row;
        for (size_t i = 0; i < cells.size() && i < header.size(); ++i)
            row.cells[header[i]] = cells[i];
        rows[std::stoi(cells[0])] = row;
    }
    return rows;
}

// "a|b" alternatives as a "," list.
std::string Replace(std::string s) {
    for (char& c : s)
        if (c == '|')
            c = ',';
    return s;
}

bool InList(const std::string& list, const std::string& item) {
    for (const auto& entry : Split(list, ','))
        if (entry == item)
            return true;
    return false;
}

// "a-b" ranges; "-" is no limit.
bool InRange(const std::string& range, double v) {
    if (range == "-")
        return true;
    const size_t dash = range.find('-', 1);
    if (dash == std::string::npos)
        return false;
    return v >= std::stod(range.substr(0, dash)) - 1e-9 && v <= std::stod(range.substr(dash + 1)) + 1e-9;
}

class ProfileDataTest : public ::testing::Test {
protected:
    IniFile format{DefaultDataFile(kFormatFileName)};
};

TEST_F(ProfileDataTest, EveryCatalogueProfileHasItsSection) {
    ASSERT_TRUE(format.SectionExists("formatInfo0")) << format.FileName();
    std::set<std::string> expected;
    for (int code : AllProfileCodes())
        expected.insert(FormatSectionName(code));
    std::set<std::string> present;
    for (const auto& section : format.ReadSections())
        present.insert(section);
    EXPECT_EQ(present, expected);

    static const char* const lists[][2] = {
        {"VideoSize", "iVideoSize"},       {"VideoBitRate", "iVideoBitRate"}, {"FrameRate", "iFrameRate"},
        {"VideoEncoder", "iVideoEncoder"}, {"AudioBitRate", "iAudioBitRate"}, {"SampleRate", "iSampleRate"},
        {"AudioEncoder", "iAudioEncoder"}, {"Channel", "iChannel"},           {"Volume", "iVolume"}};
    for (int code : AllProfileCodes()) {
        SCOPED_TRACE(code);
        const std::string section = FormatSectionName(code);
        for (const auto& [list, index] : lists) {
            const std::string value = format.ReadString(section, list, "<missing>");
            ASSERT_NE(value, "<missing>") << list;
            const int i = format.ReadInteger(section, index, -1);
            if (value == "null") {
                EXPECT_EQ(i, 0) << index;
                continue;
            }
            const auto items = SplitList(value);
            EXPECT_GE(i, 0) << index;
            EXPECT_LT(i, static_cast<int>(items.size())) << index;
            for (const auto& item : items)
                EXPECT_FALSE(item.empty()) << list;
        }
        // Every item the boxes offer maps to something the builder acts on.
        for (const auto& item : SplitList(format.ReadString(section, "VideoEncoder", "null")))
            if (item != "null") {
                EXPECT_TRUE(VideoEncoderParam(item)) << item;
            }
        for (const auto& item : SplitList(format.ReadString(section, "AudioEncoder", "null")))
            EXPECT_TRUE(AudioEncoderParam(item)) << item;
        for (const auto& item : SplitList(format.ReadString(section, "Channel", "null")))
            EXPECT_TRUE(ChannelParam(item)) << item;
        for (const auto& item : SplitList(format.ReadString(section, "Volume", "null")))
            EXPECT_TRUE(VolumeParam(item)) << item;
        for (const auto& item : SplitList(format.ReadString(section, "VideoSize", "null"))) {
            int w = 0, h = 0;
            if (item != "null" && item != kAsSource) {
                EXPECT_TRUE(ParseTypedFrameSize(item, w, h)) << item;
                EXPECT_FALSE(MakeEvenFrameSize(w, h)) << item;
            }
        }
    }
}

TEST_F(ProfileDataTest, DefaultsUseInstalledEncodersWithinTheDeviceLimits) {
    const auto limits = ReadLimits(DefaultDataFile("profile-limits.md"));
    ASSERT_EQ(limits.size(), AllProfileCodes().size());
    for (int code : AllProfileCodes()) {
        SCOPED_TRACE(std::to_string(code) + " " + CatalogueProfileName(code));
        ASSERT_TRUE(limits.count(code));
        const LimitsRow& limit = limits.at(code);
        EXPECT_EQ(limit["profile"], CatalogueProfileName(code));
        test::RecordingMessages messages;
        Values v = DefaultsOf(format, code, messages);
        EXPECT_TRUE(messages.Silent());
        const AVOutputFormat* container = ContainerOf(format, code);
        ASSERT_NE(container, nullptr);
        const bool ok = limit["default_ok"] == "yes";
        EXPECT_TRUE(ok || limit["default_ok"] == "no");

        const bool audioOnly = code / 100 == 27;
        EXPECT_EQ(v.count("paraVideoEncoder") == 0, audioOnly);
        if (!audioOnly) {
            const AVCodec* video = EncoderOf(v["paraVideoEncoder"], container, true);
            ASSERT_NE(video, nullptr) << v["paraVideoEncoder"];
            if (ok) {
                EXPECT_TRUE(InList(limit["video_codecs"], avcodec_get_name(video->id)))
                    << avcodec_get_name(video->id);
            }
            int w = 0, h = 0;
            ASSERT_TRUE(ParseTypedFrameSize(v["paraVideoSize"], w, h)) << v["paraVideoSize"];
            const std::string& maxSize = limit["max_size"];
            if (maxSize.find('|') != std::string::npos || maxSize.find('x') == std::string::npos) {
                EXPECT_TRUE(maxSize == "-" || InList(Replace(maxSize), v["paraVideoSize"])) << maxSize;
            } else {
                int mw = 0, mh = 0;
                ASSERT_TRUE(ParseTypedFrameSize(maxSize, mw, mh));
                EXPECT_LE(w, mw);
                EXPECT_LE(h, mh);
            }
            const double fps = std::stod(v["paraFrameRate"]);
            const std::string& maxFps = limit["max_fps"];
            if (!maxFps.empty() && maxFps[0] == '=') {
                EXPECT_TRUE(InList(Replace(maxFps.substr(1)), v["paraFrameRate"])) << maxFps;
            } else if (maxFps != "-") {
                EXPECT_LE(fps, std::stod(maxFps) + 0.01);
            }
            EXPECT_TRUE(InRange(limit["video_kbps"], std::stod(v["paraVideoBitRate"])))
                << v["paraVideoBitRate"];
        }
        const AVCodec* audio = EncoderOf(v["paraAudioEncoder"], container, false);
        ASSERT_NE(audio, nullptr) << v["paraAudioEncoder"];
        EXPECT_TRUE(InList(limit["audio_codecs"], avcodec_get_name(audio->id)))
            << avcodec_get_name(audio->id);
        if (limit["sample_rates"] != "-") {
            EXPECT_TRUE(InList(limit["sample_rates"], v["paraSampleRate"])) << v["paraSampleRate"];
        }
        if (audio->supported_samplerates) {
            bool supported = false;
            for (const int* r = audio->supported_samplerates; *r; ++r)
                supported = supported || std::to_string(*r) == v["paraSampleRate"];
            EXPECT_TRUE(supported) << audio->name << " " << v["paraSampleRate"];
        }
        const std::string& channels = limit["channels"];
        const int ch = v["paraChannel"] == "as source" ? 2 : std::stoi(v["paraChannel"]);
        EXPECT_TRUE(channels.find('-') != std::string::npos ? InRange(channels, ch)
                                                            : std::to_string(ch) == channels);
        if (v.count("paraAudioBitRate")) {
            EXPECT_TRUE(InRange(limit["audio_kbps"], std::stod(v["paraAudioBitRate"])))
                << v["paraAudioBitRate"];
        }
        EXPECT_EQ(v["paraVolume"], "256");
    }
}

} // namespace
} // namespace kavlo
