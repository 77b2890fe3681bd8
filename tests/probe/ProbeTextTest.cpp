#include "probe/ProbeText.h"
#include "probe/StreamRotation.h"
#include "probe/TVideoStreamInfo.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/display.h>
}

namespace kavlo {
namespace {

TEST(ProbeText, RatesUseDecimalsOnlyWhenNeededAndThousandsAsK) {
    const struct {
        double value;
        const char* unit;
        const char* text;
    } cases[] = {
        {25.0, "fps", ", 25 fps"},
        {30000.0 / 1001, "fps", ", 29.97 fps"},
        {24000.0 / 1001, "tbr", ", 23.98 tbr"},
        {90000.0, "tbn", ", 90k tbn"},
        {12800.0, "tbn", ", 12800 tbn"},
        {1000.0, "tbn", ", 1k tbn"},
        {600.0, "tbn", ", 600 tbn"},
        {59.94, "tbc", ", 59.94 tbc"},
        {1e9, "tbn", ", 1000000k tbn"},
        {0.5, "fps", ", 0.50 fps"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatRate(c.value, c.unit), c.text) << c.value;
}

TEST(ProbeText, MetadataDisplayKeysNameId3Frames) {
    const struct {
        const char* key;
        const char* shown;
    } cases[] = {{"TIT2", "title"},     {"TT2", "title"},       {"TPE1", "artist"}, {"TP1", "artist"},
                 {"TALB", "album"},     {"TSOP", "authorsort"}, {"TYER", "year"},   {"TRK", "track"},
                 {"TCON", "genre"},     {"TLAN", "language"},   {"title", "title"}, {"tit2", "tit2"},
                 {"encoder", "encoder"}};
    for (const auto& c : cases)
        EXPECT_EQ(MetadataDisplayKey(c.key), c.shown) << c.key;
}

TEST(ProbeText, MetadataBlockSkipsLanguageAndEmptyDictionaries) {
    AVDictionary* dict = nullptr;
    EXPECT_TRUE(MetadataBlock(dict, "").empty());

    av_dict_set(&dict, "language", "eng", 0);
    EXPECT_TRUE(MetadataBlock(dict, "  ").empty()) << "a language alone makes no block";

    av_dict_set(&dict, "TIT2", "Song", 0);
    av_dict_set(&dict, "comment", "first\r\nsecond", 0);
    std::vector<std::string> expected = {
        "  Metadata:",
        "    title           : Song",
        "    comment         : first",
        "                    : second",
    };
    EXPECT_EQ(MetadataBlock(dict, "  "), expected);
    av_dict_free(&dict);
}

TEST(ProbeText, DisplayMatrixGivesClockwiseQuarterTurns) {
    // The matrix an iPhone writes for a clip shot upright: the stored landscape picture is
    // turned a quarter turn clockwise for showing (x to the right becomes y downwards).
    const int32_t upright[9] = {0, 65536, 0, -65536, 0, 0, 0, 0, 1 << 30};
    EXPECT_EQ(DisplayMatrixRotation(upright), 90);

    // av_display_rotation_set builds a clockwise rotation.
    const struct {
        double clockwiseSet;
        int clockwise;
    } cases[] = {{0, 0}, {90, 90}, {-90, 270}, {180, 180}, {-180, 180}, {270, 270}, {89.6, 90}, {30, 0}};
    for (const auto& c : cases) {
        int32_t matrix[9];
        av_display_rotation_set(matrix, c.clockwiseSet);
        EXPECT_EQ(DisplayMatrixRotation(matrix), c.clockwise) << c.clockwiseSet;
    }
    int32_t singular[9] = {0};
    EXPECT_EQ(DisplayMatrixRotation(singular), 0);
    EXPECT_EQ(DisplayMatrixRotation(nullptr), 0);
}

TEST(ProbeText, UprightSizeSwapsForQuarterTurns) {
    TVideoStreamInfo info;
    info.Width = 640;
    info.Height = 480;
    info.DisplayAspectRatio = 4.0f / 3.0f;
    for (int rotation : {0, 90, 180, 270}) {
        info.Rotation = rotation;
        TUprightSize size = UprightSize(info);
        bool quarter = rotation == 90 || rotation == 270;
        EXPECT_EQ(size.Width, quarter ? 480 : 640) << rotation;
        EXPECT_EQ(size.Height, quarter ? 640 : 480) << rotation;
        EXPECT_FLOAT_EQ(size.DisplayAspectRatio, quarter ? 0.75f : 4.0f / 3.0f) << rotation;
    }
    TVideoStreamInfo unknown;
    unknown.Rotation = 90;
    TUprightSize size = UprightSize(unknown);
    EXPECT_EQ(size.Width, -1);
    EXPECT_EQ(size.Height, -1);
    EXPECT_EQ(size.DisplayAspectRatio, -1.0f);
}

} // namespace
} // namespace kavlo
