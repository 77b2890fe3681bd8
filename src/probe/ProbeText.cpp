#include "probe/ProbeText.h"

#include "core/TextUtils.h"

#include <cmath>

extern "C" {
#include <libavutil/dict.h>
}

namespace kavlo {

std::string FormatRate(double value, const std::string& unit) {
    long long hundredths = std::llround(value * 100);
    if (hundredths % 100)
        return Format(", %3.2f %s", value, unit.c_str());
    if (hundredths % (100 * 1000))
        return Format(", %1.0f %s", value, unit.c_str());
    return Format(", %1.0fk %s", value / 1000, unit.c_str());
}

std::string MetadataDisplayKey(const std::string& key) {
    static const struct {
        const char* key;
        const char* shown;
    } table[] = {
        {"TALB", "album"},     {"TAL", "album"},      {"TCOM", "composer"},  {"TCON", "genre"},
        {"TCO", "genre"},      {"TCOP", "copyright"}, {"TDRL", "date"},      {"TENC", "encoder"},
        {"TEN", "encoder"},    {"TIT2", "title"},     {"TT2", "title"},      {"TLAN", "language"},
        {"TPE1", "artist"},    {"TP1", "artist"},     {"TPOS", "disc"},      {"TPUB", "publisher"},
        {"TRCK", "track"},     {"TRK", "track"},      {"TSOA", "albumsort"}, {"TSOP", "authorsort"},
        {"TSOT", "titlesort"}, {"TYER", "year"},
    };
    for (const auto& row : table)
        if (key == row.key)
            return row.shown;
    return key;
}

std::vector<std::string> MetadataBlock(const AVDictionary* metadata, const std::string& prefix) {
    std::vector<std::string> lines;
    int count = av_dict_count(metadata);
    if (count == 0)
        return lines;
    if (count == 1 && av_dict_get(metadata, "language", nullptr, 0))
        return lines;
    lines.push_back(prefix + "Metadata:");
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        if (SameText(entry->key, "language"))
            continue;
        // A value of several lines (descriptions, lyrics) keeps its later lines under the first
        // value instead of breaking the layout of the block.
        std::vector<std::string> parts = Split(entry->value ? entry->value : "", '\n');
        if (parts.empty())
            parts.emplace_back();
        for (auto& part : parts)
            if (!part.empty() && part.back() == '\r')
                part.pop_back();
        lines.push_back(Format("%s  %-16s: %s", prefix.c_str(), MetadataDisplayKey(entry->key).c_str(),
                               parts[0].c_str()));
        for (size_t i = 1; i < parts.size(); ++i)
            lines.push_back(Format("%s  %-16s: %s", prefix.c_str(), "", parts[i].c_str()));
    }
    return lines;
}

std::string FormatSecondsMicro(int64_t us) {
    return Format("%lld.%.6lld", static_cast<long long>(us / 1000000), static_cast<long long>(us % 1000000));
}

} // namespace kavlo
