#include "engine/LegacyOptions.h"

namespace kavlo {

namespace {

// A flag of "flags"/"flags2" that the installed generation has as an option of its own.
struct TFlagMove {
    const char* Flags; // "flags" or "flags2"
    const char* Flag;
    const char* Option;
    const char* OnValue;  // value for +flag
    const char* OffValue; // value for -flag
};

const TFlagMove kFlagMoves[] = {
    // libx264
    {"flags2", "dct8x8", "8x8dct", "1", "0"},
    {"flags2", "wpred", "weightb", "1", "0"},
    {"flags2", "mixed_refs", "mixed-refs", "1", "0"},
    {"flags2", "bpyramid", "b-pyramid", "normal", "none"},
    {"flags2", "fastpskip", "fast-pskip", "1", "0"},
    {"flags2", "mbtree", "mbtree", "1", "0"},
    {"flags2", "aud", "aud", "1", "0"},
    {"flags2", "psy", "psy", "1", "0"},
    {"flags2", "ssim", "ssim", "1", "0"},
    {"flags2", "intra_refresh", "intra-refresh", "1", "0"},
    // MPEG-1/2/4 and H.263 family encoders
    {"flags2", "skiprd", "mpv_flags", "+skip_rd", "-skip_rd"},
    {"flags2", "sgop", "mpv_flags", "+strict_gop", "-strict_gop"},
    {"flags2", "ivlc", "intra_vlc", "1", "0"},
    {"flags2", "drop_frame_timecode", "drop_frame_timecode", "1", "0"},
    {"flags2", "non_linear_q", "non_linear_quant", "1", "0"},
    // libmp3lame
    {"flags2", "reservoir", "reservoir", "1", "0"},
    {"flags", "scan_offset", "scan_offset", "1", "0"},
    {"flags", "alt", "alternate_scan", "1", "0"},
    {"flags", "mv0", "mpv_flags", "+mv0", "-mv0"},
    {"flags", "naq", "mpv_flags", "+naq", "-naq"},
    {"flags", "cbp", "mpv_flags", "+cbp_rd", "-cbp_rd"},
    {"flags", "qprd", "mpv_flags", "+qp_rd", "-qp_rd"},
    {"flags", "umv", "umv", "1", "0"},
    {"flags", "aiv", "aiv", "1", "0"},
    {"flags", "obmc", "obmc", "1", "0"},
    {"flags", "slice", "structured_slices", "1", "0"},
    {"flags", "gmc", "gmc", "1", "0"},
    {"flags", "part", "data_partitioning", "1", "0"},
};

// Renamed options (same values).
struct TRename {
    const char* Old;
    const char* New;
};

const TRename kRenames[] = {
    {"directpred", "direct-pred"}, {"cqp", "qp"},
    {"aq_mode", "aq-mode"},        {"aq_strength", "aq-strength"},
    {"psy_rd", "psy-rd"},          {"rc_lookahead", "rc-lookahead"},
    {"bframebias", "b-bias"},      {"nr", "noise_reduction"},
};

// libx264's partitions: the old flag names and the list names.
struct TPartition {
    const char* Flag;
    const char* Name;
};

const TPartition kPartitions[] = {
    {"parti4x4", "i4x4"}, {"parti8x8", "i8x8"}, {"partp4x4", "p4x4"},
    {"partp8x8", "p8x8"}, {"partb8x8", "b8x8"},
};

struct TFlagToken {
    char Sign; // '+', '-' or 0 (absolute)
    std::string Name;
};

// "+a-b+c" -> (+a)(-b)(+c); "a" -> (0 a).
std::vector<TFlagToken> SplitFlags(const std::string& value) {
    std::vector<TFlagToken> tokens;
    size_t i = 0;
    while (i < value.size()) {
        char sign = 0;
        if (value[i] == '+' || value[i] == '-')
            sign = value[i++];
        size_t j = i;
        while (j < value.size() && value[j] != '+' && value[j] != '-')
            ++j;
        if (j > i)
            tokens.push_back({sign, value.substr(i, j - i)});
        i = j;
    }
    return tokens;
}

const TFlagMove* FindFlagMove(const std::string& flags, const std::string& flag) {
    for (const TFlagMove& m : kFlagMoves)
        if (flags == m.Flags && flag == m.Flag)
            return &m;
    return nullptr;
}

bool LooksLikeFlags(const std::string& value) {
    return !value.empty() && (value[0] == '+' || value[0] == '-');
}

} // namespace

std::vector<TOptionSetting> TranslateLegacyOption(const std::string& name, const std::string& value) {
    if (name == "flags" || name == "flags2") {
        std::vector<TFlagToken> tokens = SplitFlags(value);
        std::string kept;
        std::vector<TOptionSetting> moved;
        for (const TFlagToken& t : tokens) {
            if (const TFlagMove* m = FindFlagMove(name, t.Name)) {
                moved.push_back({m->Option, t.Sign == '-' ? m->OffValue : m->OnValue});
            } else {
                if (t.Sign)
                    kept += t.Sign;
                else if (!kept.empty())
                    kept += '+';
                kept += t.Name;
            }
        }
        if (moved.empty())
            return {{name, value}};
        std::vector<TOptionSetting> result;
        if (!kept.empty())
            result.push_back({name, kept});
        // Several moved flags may land in one option (mpv_flags): join their tokens.
        for (const TOptionSetting& s : moved) {
            bool merged = false;
            for (TOptionSetting& r : result)
                if (r.Name == s.Name && LooksLikeFlags(r.Value) && LooksLikeFlags(s.Value)) {
                    r.Value += s.Value;
                    merged = true;
                    break;
                }
            if (!merged)
                result.push_back(s);
        }
        return result;
    }
    if (name == "partitions" && LooksLikeFlags(value)) {
        std::string list;
        for (const TFlagToken& t : SplitFlags(value)) {
            if (t.Sign == '-')
                continue;
            for (const TPartition& p : kPartitions)
                if (t.Name == p.Flag) {
                    if (!list.empty())
                        list += ',';
                    list += p.Name;
                }
        }
        return {{name, list.empty() ? "none" : list}};
    }
    for (const TRename& r : kRenames)
        if (name == r.Old)
            return {{r.New, value}};
    return {{name, value}};
}

} // namespace kavlo
