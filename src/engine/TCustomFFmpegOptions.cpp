#include "engine/TCustomFFmpeg.h"

#include "core/Paths.h"
#include "core/TextUtils.h"
#include "engine/FFmpegPresets.h"
#include "engine/ffmpeg/TFFLogger.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

namespace kavlo {

namespace {

// Whole-string integer conversion: optional blanks around, optional sign, decimal digits (or
// "0x" and hexadecimal digits). Anything else is the conversion error.
int64_t ParseInt64(const std::string& text) {
    std::string t = Trim(text);
    const char* b = t.c_str();
    const char* e = b + t.size();
    bool negative = false;
    if (b < e && (*b == '+' || *b == '-'))
        negative = *b++ == '-';
    int base = 10;
    if (e - b > 2 && b[0] == '0' && (b[1] == 'x' || b[1] == 'X')) {
        base = 16;
        b += 2;
    }
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(b, e, v, base);
    if (b == e || ec != std::errc() || p != e || v > static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0))
        throw FFmpegException(Format("'%s' is not a valid integer value", text.c_str()));
    return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

int ParseInt(const std::string& text) {
    int64_t v = ParseInt64(text);
    if (v < INT32_MIN || v > INT32_MAX)
        throw FFmpegException(Format("'%s' is not a valid integer value", text.c_str()));
    return static_cast<int>(v);
}

// Float conversion that does not depend on the process locale (the libraries' texts always
// use a decimal point).
bool TryParseDouble(const std::string& text, double& value) {
    std::string t = Trim(text);
    const char* b = t.c_str();
    const char* e = b + t.size();
    if (b < e && *b == '+')
        ++b;
    auto [p, ec] = std::from_chars(b, e, value);
    return b != e && ec == std::errc() && p == e;
}

double ParseDouble(const std::string& text) {
    double v = 0;
    if (!TryParseDouble(text, v))
        throw FFmpegException(Format("'%s' is not a valid floating point value", text.c_str()));
    return v;
}

// True unless the value is exactly "0".
bool ParseBool(const std::string& value) {
    return value != "0";
}

// The leading number of a text (as strtod reads it), in the C locale.
double LeadingDouble(const char* p, const char** end) {
    while (*p == ' ' || *p == '\t')
        ++p;
    const char* b = p;
    if (*b == '+')
        ++b;
    double v = 0;
    auto [q, ec] = std::from_chars(b, b + std::strlen(b), v);
    if (ec != std::errc()) {
        *end = p;
        return 0;
    }
    *end = q;
    return v;
}

std::string NormaliseLineBreaks(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool FileExists(const std::string& name) {
    struct stat st {};
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

void TCustomFFmpeg::SetCodecName(char kind, const std::string& name) {
    bool copy = name == "copy";
    switch (kind) {
    case 'v':
        if (copy)
            opt.videoStreamCopy = true;
        else
            opt.videoCodecName = name;
        break;
    case 'a':
        if (copy)
            opt.audioStreamCopy = true;
        else
            opt.audioCodecName = name;
        break;
    default:
        if (copy)
            opt.subtitleStreamCopy = true;
        else
            opt.subtitleCodecName = name;
        break;
    }
}

void TCustomFFmpeg::SetCodecTag(char kind, const std::string& value) {
    if (value.size() != 4)
        throw FFmpegException(kind == 'v'   ? "video tag parameter must be 4 chars"
                              : kind == 'a' ? "audio tag parameter must be 4 chars"
                                            : "subtitle tag parameter must be 4 chars");
    uint32_t tag = static_cast<uint8_t>(value[0]) | static_cast<uint8_t>(value[1]) << 8 |
                   static_cast<uint8_t>(value[2]) << 16 |
                   static_cast<uint32_t>(static_cast<uint8_t>(value[3])) << 24;
    (kind == 'v' ? opt.videoCodecTag : kind == 'a' ? opt.audioCodecTag : opt.subtitleCodecTag) = tag;
}

void TCustomFFmpeg::SetCrop(const std::string& name, const std::string& value) {
    int band = ParseInt(value);
    if (band <= 0)
        return;
    bool vertical = name == "croptop" || name == "cropbottom";
    if (vertical && band >= opt.frameHeight)
        throw FFmpegException("Vertical crop dimensions are outside the range of the original image.\n"
                              "Remember to crop first and scale second.");
    if (!vertical && band >= opt.frameWidth)
        throw FFmpegException("Horizontal crop dimensions are outside the range of the original image.\n"
                              "Remember to crop first and scale second.");
    FFLogger().Log(this, llWarning, "CropXXX is deprecated in favor of the crop avfilter");
    if (name == "croptop")
        opt.cropTop = band;
    else if (name == "cropbottom")
        opt.cropBottom = band;
    else if (name == "cropleft")
        opt.cropLeft = band;
    else
        opt.cropRight = band;
    (vertical ? opt.frameHeight : opt.frameWidth) -= band;
}

void TCustomFFmpeg::ParseMatrix(const std::string& text, std::vector<uint16_t>& matrix) {
    matrix.assign(64, 0);
    const char* p = text.c_str();
    for (int i = 0; i < 64; ++i) {
        matrix[i] = static_cast<uint16_t>(std::atoi(p));
        p = std::strchr(p, ',');
        if (!p) {
            if (i < 63)
                throw FFmpegException(Format("Syntax error in matrix \"%s\" at coeff %d", text.c_str(), i));
            break;
        }
        ++p;
    }
}

void TCustomFFmpeg::AddBitstreamFilter(const std::string& name, const std::string& value) {
    if (!value.empty() && value[0] == '=')
        return;
    std::string filter = Trim(value);
    std::string filterName = filter.substr(0, filter.find('='));
    if (!av_bsf_get_by_name(Trim(filterName).c_str()))
        throw FFmpegException(Format("Unknown bitstream filter %s", filter.c_str()));
    std::vector<std::string>& chain = name[0] == 'v'   ? opt.videoBitstreamFilters
                                      : name[0] == 'a' ? opt.audioBitstreamFilters
                                                       : opt.subtitleBitstreamFilters;
    chain.push_back(filter);
}

void TCustomFFmpeg::AddFrameHook(const std::string& value) {
    std::vector<std::string> args;
    char sep = value.find('|') != std::string::npos ? '|' : ' ';
    for (const std::string& a : Split(value, sep))
        if (!a.empty() && args.size() < 254)
            args.push_back(a);
    if (FrameHookAdd(hookModules, args) != 0)
        throw FFmpegException("Failed to add video hook function: " + value);
    opt.usingVhook = true;
}

void TCustomFFmpeg::ListPixelFormats() {
    char buf[256];
    FFLogger().Log(this, llInfo, Trim(av_get_pix_fmt_string(buf, sizeof(buf), AV_PIX_FMT_NONE)));
    for (const AVPixFmtDescriptor* d = av_pix_fmt_desc_next(nullptr); d; d = av_pix_fmt_desc_next(d))
        FFLogger().Log(this, llInfo,
                       Trim(av_get_pix_fmt_string(buf, sizeof(buf), av_pix_fmt_desc_get_id(d))));
}

void TCustomFFmpeg::ListSampleFormats() {
    char buf[128];
    for (int f = -1; f < AV_SAMPLE_FMT_NB; ++f)
        FFLogger().Log(this, llInfo,
                       Trim(av_get_sample_fmt_string(buf, sizeof(buf), static_cast<AVSampleFormat>(f))));
}

void TCustomFFmpeg::SetOption(const std::string& name, const std::string& value) {
    auto is = [&name](std::initializer_list<const char*> names) {
        for (const char* n : names)
            if (name == n)
                return true;
        return false;
    };

    if (is({"L", "h", "version", "formats", "codecs", "bsfs", "protocols", "filters", "i", "y",
            "benchmark"})) {
        FFLogger().Log(this, llInfo, "Do nothing: option - " + name);
    } else if (name == "loglevel") {
        FFLogger().SetLogLevelByName(value);
    } else if (name == "f") {
        if (value == "pgmyuv") {
            opt.forcedFormat = "image2";
            opt.pgmyuv = true;
            FFLogger().Log(this, llInfo, "pgmyuv format is deprecated, use image2");
        } else {
            opt.forcedFormat = value;
        }
    } else if (name == "map") {
        if (static_cast<int>(opt.streamMaps.size()) >= kMaxStreamMaps)
            throw FFmpegException(Format("Too many stream maps (at most %d)", kMaxStreamMaps));
        TStreamMap m;
        char* p = const_cast<char*>(value.c_str());
        m.File = static_cast<int>(std::strtol(p, &p, 0));
        if (*p)
            ++p;
        m.Stream = static_cast<int>(std::strtol(p, &p, 0));
        if (*p) {
            ++p;
            m.SyncFile = static_cast<int>(std::strtol(p, &p, 0));
            if (*p)
                ++p;
            m.SyncStream = static_cast<int>(std::strtol(p, &p, 0));
        } else {
            m.SyncFile = m.File;
            m.SyncStream = m.Stream;
        }
        opt.streamMaps.push_back(m);
    } else if (name == "map_meta_data") {
        if (static_cast<int>(opt.metaDataMaps.size()) >= kMaxMetaDataMaps)
            throw FFmpegException(Format("Too many metadata maps (at most %d)", kMaxMetaDataMaps));
        TMetaDataMap m;
        char* p = const_cast<char*>(value.c_str());
        m.Out = static_cast<int>(std::strtol(p, &p, 0));
        if (*p)
            ++p;
        m.In = static_cast<int>(std::strtol(p, &p, 0));
        opt.metaDataMaps.push_back(m);
    } else if (name == "t") {
        int64_t t = ParseDuration(name, value, true);
        if (t != AV_NOPTS_VALUE) {
            opt.recordingTime = t;
            opt.totalDuration = t;
        }
    } else if (name == "fs") {
        opt.limitFileSize = ParseInt64(value);
    } else if (name == "ss") {
        opt.startTime = ParseDuration(name, value, true);
    } else if (name == "itsoffset") {
        opt.inputTsOffset = ParseDuration(name, value, true);
    } else if (name == "itsscale") {
        char* p = nullptr;
        long stream = std::strtol(value.c_str(), &p, 0);
        if (stream < 0 || stream >= kMaxStreams)
            throw FFmpegException(Format("stream index over MAX_STREAMS(%d)", kMaxStreams));
        if (InputCount() >= kMaxFiles)
            throw FFmpegException(Format("Too many input files (at most %d)", kMaxFiles));
        if (*p)
            ++p;
        const char* end = nullptr;
        opt.inputTsScale[InputCount()][stream] = LeadingDouble(p, &end);
    } else if (name == "timestamp") {
        opt.recordingTimestamp = ParseDuration(name, value, false) / 1000000;
    } else if (name == "metadata") {
        size_t eq = value.find('=');
        if (eq == std::string::npos)
            throw FFmpegException("Missing =");
        opt.metadata.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    } else if (name == "dframes") {
        opt.maxFrames[AVMEDIA_TYPE_DATA] = ParseInt(value);
    } else if (name == "timelimit") {
        FFLogger().Log(this, llWarning, "Warning: -timelimit not implemented on Windows");
    } else if (name == "dump") {
        opt.dumpPackets = ParseBool(value);
    } else if (name == "hex") {
        opt.hexDump = ParseBool(value);
    } else if (name == "re") {
        opt.rateEmulation = ParseBool(value);
    } else if (name == "loop_input") {
        opt.loopInput = ParseBool(value);
    } else if (name == "loop_output") {
        opt.loopOutput = ParseInt(value);
    } else if (name == "v") {
        opt.verbosity = ParseInt(value);
    } else if (name == "target") {
        std::string norm = "auto";
        std::string target = value;
        for (const char* prefix : {"pal-", "ntsc-", "film-"})
            if (target.rfind(prefix, 0) == 0) {
                norm = std::string(prefix, std::strlen(prefix) - 1);
                target = target.substr(std::strlen(prefix));
                break;
            }
        SetTarget(target, norm, "ntsc");
    } else if (name == "threads") {
        throw FFmpegException("TODO: option - " + name);
    } else if (name == "vsync") {
        opt.videoSyncMethod = ParseInt(value);
    } else if (name == "async") {
        opt.audioSyncMethod = ParseInt(value);
    } else if (name == "adrift_threshold") {
        opt.audioDriftThreshold = ParseDouble(value);
    } else if (name == "vglobal") {
        opt.videoGlobalHeader = ParseInt(value);
    } else if (name == "copyts") {
        opt.copyTs = true;
    } else if (name == "shortest") {
        opt.shortest = ParseBool(value);
    } else if (name == "dts_delta_threshold") {
        opt.dtsDeltaThreshold = ParseDouble(value);
    } else if (name == "programid") {
        opt.programId = ParseInt(value);
    } else if (name == "xerror") {
        opt.exitOnError = true;
    } else if (name == "copyinkf") {
        opt.copyInitialNonKeyFrames = ParseInt(value);
    } else if (is({"b", "vb", "ab"})) {
        if (SetGenericOption(name, value)) {
            AVCodecContext* ctx = codecOpts_[name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO];
            if (ctx && ctx->bit_rate < 1000)
                FFLogger().Log(this, llWarning,
                               "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, "
                               "not kbits/s");
        }
    } else if (name == "vframes") {
        opt.maxFrames[AVMEDIA_TYPE_VIDEO] = ParseInt(value);
    } else if (name == "aframes") {
        opt.maxFrames[AVMEDIA_TYPE_AUDIO] = ParseInt(value);
    } else if (name == "r") {
        AVRational rate{0, 0};
        if (av_parse_video_rate(&rate, value.c_str()) < 0)
            throw FFmpegException("Incorrect frame rate");
        opt.frameRate = rate;
    } else if (name == "s") {
        int w = 0, h = 0;
        if (av_parse_video_size(&w, &h, value.c_str()) < 0)
            throw FFmpegException("Incorrect frame size");
        opt.frameWidth = w;
        opt.frameHeight = h;
    } else if (name == "aspect") {
        double aspect = 0;
        size_t colon = value.find(':');
        if (colon != std::string::npos) {
            const char* end = nullptr;
            double x = LeadingDouble(value.c_str(), &end);
            double y = LeadingDouble(value.c_str() + colon + 1, &end);
            aspect = y > 0 ? x / y : 0;
        } else if (!TryParseDouble(value, aspect)) {
            aspect = 0;
        }
        if (aspect == 0 || !std::isfinite(aspect))
            throw FFmpegException("Incorrect aspect ratio specification.");
        opt.frameAspectRatio = aspect;
    } else if (name == "pix_fmt") {
        if (value == "list") {
            ListPixelFormats();
        } else {
            AVPixelFormat f = av_get_pix_fmt(value.c_str());
            if (f == AV_PIX_FMT_NONE)
                throw FFmpegException(Format("Unknown pixel format requested: %s", value.c_str()));
            opt.framePixFmt = f;
        }
    } else if (is({"croptop", "cropbottom", "cropleft", "cropright"})) {
        SetCrop(name, value);
    } else if (is({"padtop", "padbottom", "padleft", "padright", "padcolor"})) {
        throw FFmpegException("Please use vfilters=pad");
    } else if (name == "intra") {
        opt.intraOnly = ParseBool(value);
    } else if (name == "vn") {
        opt.videoDisable = ParseBool(value);
    } else if (name == "vdt") {
        opt.videoDiscard = ParseInt(value);
    } else if (name == "qscale") {
        double q = ParseDouble(value);
        if (!(q > 0 && q <= 255))
            throw FFmpegException("qscale must be > 0.0 and <= 255");
        opt.videoQScale = static_cast<float>(q);
    } else if (name == "rc_override") {
        opt.rcOverride = value;
    } else if (name == "vcodec") {
        SetCodecName('v', value);
    } else if (name == "me_threshold") {
        opt.meThreshold = ParseInt(value);
    } else if (name == "sameq") {
        opt.sameQuality = ParseBool(value);
    } else if (name == "pass") {
        int pass = ParseInt(value);
        if (pass != 1 && pass != 2)
            throw FFmpegException("pass number can be only 1 or 2");
        opt.pass = pass;
    } else if (name == "passlogfile") {
        opt.passLogFile = value;
    } else if (name == "deinterlace") {
        opt.deinterlace = ParseBool(value);
    } else if (name == "psnr") {
        opt.psnr = ParseBool(value);
    } else if (name == "vstats") {
        std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        char hhnnss[16];
        std::strftime(hhnnss, sizeof(hhnnss), "%H%M%S", &tm);
        opt.vstatsFileName = Format("%svstats_%s.log", ProgramFolder().c_str(), hhnnss);
    } else if (name == "vstats_file") {
        opt.vstatsFileName = value;
    } else if (name == "vhook") {
        AddFrameHook(value);
    } else if (name == "vfilters" || name == "vf") {
        opt.videoFilters = value;
    } else if (name == "intra_matrix") {
        ParseMatrix(value, opt.intraMatrix);
    } else if (name == "inter_matrix") {
        ParseMatrix(value, opt.interMatrix);
    } else if (name == "top") {
        opt.topFieldFirst = ParseInt(value);
    } else if (name == "dc") {
        opt.intraDcPrecision = ParseInt(value);
    } else if (name == "vtag") {
        SetCodecTag('v', value);
    } else if (name == "atag") {
        SetCodecTag('a', value);
    } else if (name == "stag") {
        SetCodecTag('s', value);
    } else if (name == "newvideo") {
        NewStream('v');
    } else if (name == "newaudio") {
        NewStream('a');
    } else if (name == "newsubtitle") {
        NewStream('s');
    } else if (name == "vlang") {
        opt.videoLanguage = value;
    } else if (name == "alang") {
        opt.audioLanguage = value;
    } else if (name == "slang") {
        opt.subtitleLanguage = value;
    } else if (name == "qphist") {
        opt.qpHist = ParseBool(value);
    } else if (name == "force_fps") {
        opt.forceFps = ParseBool(value);
    } else if (name == "streamid") {
        size_t colon = value.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == value.size())
            throw FFmpegException(
                Format("Invalid value \"%s\" for option \"%s\", required syntax is \"index:value\"",
                       value.c_str(), name.c_str()));
        int index = ParseInt(value.substr(0, colon));
        if (index < 0 || index >= kMaxStreams)
            throw FFmpegException(Format("Invalid stream index %d for option \"%s\" (at most %d streams)",
                                         index, name.c_str(), kMaxStreams));
        opt.streamIdMap[index] = ParseInt(value.substr(colon + 1));
    } else if (name == "aq") {
        opt.audioQScale = static_cast<float>(ParseDouble(value));
    } else if (name == "ar") {
        int v = ParseInt(value);
        if (v > 0)
            opt.audioSampleRate = v;
    } else if (name == "ac") {
        int v = ParseInt(value);
        if (v > 0)
            opt.audioChannels = v;
    } else if (name == "an") {
        opt.audioDisable = ParseBool(value);
    } else if (name == "sn") {
        opt.subtitleDisable = ParseBool(value);
    } else if (name == "acodec") {
        SetCodecName('a', value);
    } else if (name == "scodec") {
        SetCodecName('s', value);
    } else if (name == "vol") {
        opt.audioVolume = ParseInt(value);
    } else if (name == "sample_fmt") {
        if (value == "list")
            ListSampleFormats();
        else
            opt.audioSampleFmt = av_get_sample_fmt(value.c_str());
    } else if (name == "vc") {
        opt.videoChannel = ParseInt(value);
    } else if (name == "tvstd") {
        opt.tvStandard = value;
    } else if (name == "isync") {
        opt.inputSync = ParseBool(value);
    } else if (name == "muxdelay") {
        opt.muxMaxDelay = static_cast<float>(ParseDouble(value));
    } else if (name == "muxpreload") {
        opt.muxPreload = static_cast<float>(ParseDouble(value));
    } else if (is({"absf", "vbsf", "sbsf"})) {
        AddBitstreamFilter(name, value);
    } else if (is({"apre", "vpre", "spre", "fpre"})) {
        SetPreset(name, value);
    } else {
        SetGenericOption(name, value);
    }
}

void TCustomFFmpeg::SetPreset(const std::string& kind, const std::string& value) {
    std::string presetName = value;
    const char* builtin = nullptr;
    if (kind != "fpre") {
        builtin = FindBuiltinPreset(value);
        if (!builtin) {
            const std::string& codec = kind == "vpre"   ? opt.videoCodecName
                                       : kind == "apre" ? opt.audioCodecName
                                                        : opt.subtitleCodecName;
            if (!codec.empty()) {
                presetName = codec + "-" + value;
                builtin = FindBuiltinPreset(presetName);
            }
        }
    }
    std::string text;
    if (builtin) {
        text = builtin;
    } else {
        if (!FileExists(value))
            throw FFmpegException(Format("Preset \"%s\" not found", value.c_str()));
        std::ifstream in(value, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        if (!in && !in.eof())
            throw FFmpegException(Format("Preset \"%s\" not found", value.c_str()));
        text = content.str();
    }

    for (const std::string& raw : Split(NormaliseLineBreaks(Trim(text)), '\n')) {
        std::string line = Trim(raw);
        if (line.empty())
            continue;
        size_t eq = line.find('=');
        std::string key = Trim(line.substr(0, eq));
        std::string val = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
        if (key.empty() || val.empty())
            throw FFmpegException(Format("%s: Invalid syntax: \"%s\"", presetName.c_str(), line.c_str()));
        if (SameText(key, "acodec"))
            SetCodecName('a', val);
        else if (SameText(key, "vcodec"))
            SetCodecName('v', val);
        else if (SameText(key, "scodec"))
            SetCodecName('s', val);
        else if (!SetGenericOption(key, val))
            throw FFmpegException(Format("%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                                         presetName.c_str(), line.c_str(), key.c_str(), val.c_str()));
    }
}

namespace {

enum TNorm { nmPal, nmNtsc, nmFilm, nmUnknown };

TNorm NormOfRate(double framesPer1000) {
    long r = std::lround(framesPer1000);
    if (r == 25000)
        return nmPal;
    if (r == 29970 || r == 23976)
        return nmNtsc;
    return nmUnknown;
}

} // namespace

void TCustomFFmpeg::SetTarget(const std::string& target, const std::string& normText,
                              const std::string& defaultNorm) {
    static const char* const kRates[] = {"25", "30000/1001", "24000/1001"};
    TNorm norm = normText == "pal"    ? nmPal
                 : normText == "ntsc" ? nmNtsc
                 : normText == "film" ? nmFilm
                                      : nmUnknown;
    if (norm == nmUnknown) {
        if (opt.frameRate.num == 0 || opt.frameRate.den == 0)
            throw FFmpegException("frame_rate is invalid.");
        norm = NormOfRate(opt.frameRate.num * 1000.0 / opt.frameRate.den);
        for (const TInputFile& in : inputFiles) {
            if (norm != nmUnknown)
                break;
            for (unsigned i = 0; i < in.Context->nb_streams && norm == nmUnknown; ++i) {
                const AVStream* st = in.Context->streams[i];
                if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
                    continue;
                AVRational fr = st->r_frame_rate.num ? st->r_frame_rate : st->avg_frame_rate;
                if (fr.num > 0 && fr.den > 0)
                    norm = NormOfRate(fr.num * 1000.0 / fr.den);
            }
        }
        if (norm == nmUnknown)
            norm = defaultNorm == "film" ? nmFilm : defaultNorm == "ntsc" ? nmNtsc : nmPal;
        if (opt.verbosity > 0)
            FFLogger().LogFmt(this, llVerbose, "Assuming %s for target.", norm == nmPal ? "PAL" : "NTSC");
    }
    bool pal = norm == nmPal;
    std::string t = target;
    auto generic = [this](const char* n, const char* v) { SetGenericOption(n, v); };
    auto assumeAspect = [this](const char* aspect, double value) {
        if (opt.frameAspectRatio == 0) {
            FFLogger().LogFmt(this, llInfo, "Assuming %s for aspect ratio", aspect);
            opt.frameAspectRatio = value;
        }
    };

    if (t == "vcd") {
        SetCodecName('v', "mpeg1video");
        SetCodecName('a', "mp2");
        SetOption("f", "vcd");
        SetOption("s", pal ? "352x288" : "352x240");
        SetOption("r", kRates[norm]);
        generic("g", pal ? "15" : "18");
        generic("b", "1150000");
        generic("maxrate", "1150000");
        generic("minrate", "1150000");
        generic("bufsize", "327680");
        generic("ab", "224000");
        opt.audioSampleRate = 44100;
        opt.audioChannels = 2;
        generic("packetsize", "2324");
        generic("muxrate", "1411200");
        // Two video and one audio sector of preload, as the VCD players expect.
        opt.muxPreload = 0.44f;
        assumeAspect("4:3", 4.0 / 3.0);
    } else if (t == "svcd") {
        SetCodecName('v', "mpeg2video");
        SetCodecName('a', "mp2");
        SetOption("f", "svcd");
        SetOption("s", pal ? "480x576" : "480x480");
        SetOption("r", kRates[norm]);
        generic("g", pal ? "15" : "18");
        generic("b", "2040000");
        generic("maxrate", "2516000");
        generic("minrate", "0");
        generic("bufsize", "1835008");
        generic("flags", "+scan_offset");
        generic("ab", "224000");
        opt.audioSampleRate = 44100;
        generic("packetsize", "2324");
        if (opt.audioChannels == 1)
            opt.audioChannels = 2;
        assumeAspect("4:3", 4.0 / 3.0);
    } else if (t == "dvd") {
        SetCodecName('v', "mpeg2video");
        SetCodecName('a', "ac3");
        SetOption("f", "dvd");
        SetOption("s", pal ? "720x576" : "720x480");
        SetOption("r", kRates[norm]);
        generic("g", pal ? "15" : "18");
        generic("b", "6000000");
        generic("maxrate", "9000000");
        generic("minrate", "0");
        generic("bufsize", "1835008");
        generic("packetsize", "2048");
        generic("muxrate", "10080000");
        generic("ab", "448000");
        opt.audioSampleRate = 48000;
        if (opt.audioChannels == 1)
            opt.audioChannels = 2;
        assumeAspect("16:9", 16.0 / 9.0);
    } else if (t == "dv" || t == "dv50") {
        SetOption("f", "dv");
        SetOption("s", pal ? "720x576" : "720x480");
        SetOption("r", kRates[norm]);
        SetOption("pix_fmt", t == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
        opt.audioSampleRate = 48000;
        opt.audioChannels = 2;
    } else {
        throw FFmpegException("Unknown target type");
    }
}

} // namespace kavlo
