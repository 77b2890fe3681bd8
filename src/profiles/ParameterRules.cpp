#include "profiles/ParameterRules.h"

#include <cctype>
#include <utility>

#include "core/TextUtils.h"

namespace kavlo {

namespace {

std::optional<std::string> LookUp(const std::vector<std::pair<const char*, const char*>>& map,
                                  const std::string& key) {
    const std::string k = ToLower(key);
    for (const auto& [name, value] : map)
        if (k == name)
            return std::string(value);
    return std::nullopt;
}

} // namespace

std::optional<std::string> VideoEncoderParam(const std::string& displayName) {
    static const std::vector<std::pair<const char*, const char*>> map = {
        {"mpeg-4", "mpeg4"},
        {"xvid", "libxvid"},
        {"h264", "libx264"},
        {"3gp", "3gp"},
        {"3g2", "3g2"},
        {"mov", "mov"},
        {"wmv1", "wmv1"},
        {"wmv2", "wmv2"},
        {"wmv3", "wmv3"},
        {"flv", "flv"},
        {"swf", "swf"},
        {"msmpeg4", "msmpeg4"},
        {"msmpeg4v1", "msmpeg4v1"},
        {"msmpeg4v2", "msmpeg4v2"},
        {"mpeg1video", "mpeg1video"},
        {"mpeg2video", "mpeg2video"},
        {"h263", "h263"},
        {"h263p", "h263p"},
        {"rawvideo", "rawvideo"},
        {"rv10", "rv10"},
        {"rv20", "rv20"},
        {"dvvideo", "dvvideo"},
        {"huffyuv", "huffyuv"},
        {"ljpeg", "ljpeg"},
        {"mjpeg", "mjpeg"},
        {"svq1", "svq1"},
        {"zlib", "zlib"},
    };
    return LookUp(map, displayName);
}

std::optional<std::string> AudioEncoderParam(const std::string& displayName) {
    static const std::vector<std::pair<const char*, const char*>> map = {
        {"mp3", "libmp3lame"},
        {"ogg", "vorbis"},
        {"mp2", "mp2"},
        {"aac", "libfaac"},
        {"ac-3", "ac3"},
        {"flac", "libflac"},
        {"amr_nb", "libopencore_amrnb"},
        {"pcm_s16", "pcm_s16le"},
        {"pcm_u16", "pcm_u16le"},
        {"pcm_alaw", "pcm_alaw"},
        {"pcm_mulaw", "pcm_mulaw"},
        {"adpcm_ms", "adpcm_ms"},
        {"adpcm_ima_wav", "adpcm_ima_wav"},
        {"wma1", "wmav1"},
        {"wma2", "wmav2"},
    };
    return LookUp(map, displayName);
}

std::optional<std::string> ChannelParam(const std::string& item) {
    if (item == "as source")
        return std::string("as source");
    if (item == "mono 1 channel")
        return std::string("1");
    if (item == "stereo 2 channels")
        return std::string("2");
    return std::nullopt;
}

std::optional<std::string> VolumeParam(const std::string& item) {
    if (item.empty())
        return std::nullopt;
    int percent = 0;
    if (!TryParseInt(item.substr(0, item.size() - 1), percent))
        return std::nullopt;
    static const std::vector<std::pair<int, int>> map = {
        {25, 64},   {50, 128},  {75, 192},  {100, 256}, {125, 320}, {150, 384},
        {175, 448}, {200, 512}, {250, 640}, {300, 768}, {350, 896}, {400, 1024},
    };
    for (const auto& [p, volume] : map)
        if (p == percent)
            return std::to_string(volume);
    return std::nullopt;
}

std::string ZoomModeName(int index) {
    static const char* const names[] = {"full", "lbox", "pan", "center"};
    return index >= 0 && index < 4 ? names[index] : "";
}

int ZoomModeIndex(const std::string& mode) {
    for (int i = 0; i < 4; ++i)
        if (mode == ZoomModeName(i))
            return i;
    return -1;
}

std::vector<std::string> SplitList(const std::string& value) {
    return Split(value, ',');
}

bool DigitKeyAccepted(char key) {
    return std::isdigit(static_cast<unsigned char>(key)) || key == kBackspace;
}

int FrameSizeKeyFailures(const std::string& boxText, char key) {
    const bool digitOrBack = DigitKeyAccepted(key);
    int failures = 0;
    for (char c : boxText) {
        const bool ok = c == 'x' ? digitOrBack : (digitOrBack || key == 'x');
        if (!ok)
            ++failures;
    }
    return failures;
}

bool ParseTypedFrameSize(const std::string& text, int& width, int& height) {
    const size_t x = text.rfind('x');
    if (x == std::string::npos)
        return false;
    return TryParseInt(text.substr(0, x), width) && TryParseInt(text.substr(x + 1), height);
}

bool MakeEvenFrameSize(int& width, int& height) {
    if (width % 2 == 0 && height % 2 == 0 && width != 0 && height != 0)
        return false;
    auto even = [](int v) {
        v = (v / 2) * 2; // toward zero: 7 -> 6, -3 -> -2
        return v == 0 ? 2 : v;
    };
    width = even(width);
    height = even(height);
    return true;
}

} // namespace kavlo
