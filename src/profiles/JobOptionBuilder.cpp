#include "profiles/JobOptionBuilder.h"

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "core/Paths.h"
#include "core/Settings.h"
#include "core/TextUtils.h"
#include "profiles/ProfileNames.h"

namespace kavlo {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAsSource = "as source";
constexpr double kFourThirds = 4.0 / 3.0;

int32_t ClampToInt32(int64_t v) {
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

int StrToInt(const std::string& s) {
    int v = 0;
    if (!TryParseInt(s, v))
        throw TConvertError("'" + s + "' is not a valid integer value");
    return v;
}

bool IsVideoCodecName(const std::string& v) {
    static const char* const names[] = {
        "mpeg4",   "libxvid", "mpeg1video", "mpeg2video", "msmpeg4", "msmpeg4v1", "msmpeg4v2",
        "huffyuv", "dvvideo", "rawvideo",   "h263p",      "h263",    "rv10",      "rv20",
        "ljpeg",   "mjpeg",   "svq1",       "zlib",       "wmv1",    "wmv2",      "libx264"};
    for (const char* n : names)
        if (v == n)
            return true;
    return false;
}

bool IsContainerFormat(const std::string& lower) {
    static const char* const names[] = {"ipod", "3gp", "3g2", "avi",    "psp",
                                        "mov",  "vcd", "flv", "mpegts", "vob"};
    for (const char* n : names)
        if (lower == n)
            return true;
    return false;
}

std::string SizeText(int w, int h) {
    return std::to_string(w) + "x" + std::to_string(h);
}
std::string AspectText(int w, int h) {
    return std::to_string(w) + ":" + std::to_string(h);
}

struct Pads {
    int L = 0, R = 0, T = 0, B = 0;
    bool vertical = false; // the last case that ran padded top and bottom
};

// The letterbox pads of a source SW x SH inside W x H: the orientation tests run one after
// another, each overwriting what it sets.
Pads LetterboxPads(int W, int H, int SW, int SH) {
    Pads p;
    auto padVertically = [&](double r) {
        p.T = p.B = HalfOf(H - EvenOf(static_cast<int>(RoundHalfEven(SH / r))));
        p.L = p.R = 0;
        p.vertical = true;
    };
    auto padHorizontally = [&](double r) {
        p.L = p.R = HalfOf(W - EvenOf(static_cast<int>(RoundHalfEven(SW / r))));
        p.T = p.B = 0;
        p.vertical = false;
    };
    auto fit = [&] {
        const double rW = static_cast<double>(SW) / W, rH = static_cast<double>(SH) / H;
        if (rW > rH)
            padVertically(rW);
        else if (rW < rH)
            padHorizontally(rH);
        else
            p = Pads{};
    };
    if (W <= SW && H >= SH)
        padVertically(static_cast<double>(SW) / W);
    if (W >= SW && H <= SH)
        padHorizontally(static_cast<double>(SH) / H);
    if (W >= SW && H >= SH)
        fit();
    if (W <= SW && H <= SH)
        fit();
    if (W == SW && H == SH)
        p = Pads{};
    return p;
}

void ApplyZoom(const TlvFilesRecord& rec, TOutputOptions& out, int W, int H, int SW, int SH,
               std::string& filter) {
    const bool recordCrop = rec.CropTop > 0 || rec.CropBottom > 0 || rec.CropLeft > 0 || rec.CropRight > 0;
    const std::string& mode = rec.ZoomMode;
    if (mode == "full") {
        if (recordCrop) {
            out.CropTop = rec.CropTop;
            out.CropBottom = rec.CropBottom;
            out.CropLeft = rec.CropLeft;
            out.CropRight = rec.CropRight;
        }
        out.FrameSize = SizeText(W, H);
        out.AspectRatio = AspectText(W, H);
    } else if (mode == "lbox") {
        const Pads p = LetterboxPads(W, H, SW, SH);
        const int IW = W - p.L - p.R, IH = H - p.T - p.B;
        out.AspectRatio = AspectText(IW, IH);
        const std::string pad = Format("pad=%d:%d:%d:%d", W, H, p.L, p.T);
        if (recordCrop) {
            // The installed crop filter takes width:height:x:y.
            filter = Format("crop=%d:%d:%d:%d", SW - rec.CropLeft - rec.CropRight, SH - rec.CropTop - rec.CropBottom,
                            rec.CropLeft, rec.CropTop) +
                     "," + Format("scale=%d:%d", IW, IH) + "," + pad;
        } else {
            out.FrameSize = SizeText(IW, IH);
            filter = pad;
        }
    } else if (mode == "pan") {
        // Crop the (user-cropped) picture to 4:3 around its centre, then scale it to the frame.
        // The second side takes what the first one's even rounding left over.
        const int cw = SW - rec.CropLeft - rec.CropRight, ch = SH - rec.CropTop - rec.CropBottom;
        out.CropTop = rec.CropTop;
        out.CropBottom = rec.CropBottom;
        out.CropLeft = rec.CropLeft;
        out.CropRight = rec.CropRight;
        if (cw > 0 && ch > 0) {
            const double ratio = static_cast<double>(cw) / ch;
            if (ratio > kFourThirds) {
                const int excess =
                    static_cast<int>(std::max<int64_t>(0, RoundHalfEven(cw - ch * kFourThirds)));
                out.CropLeft = EvenOf(rec.CropLeft + excess / 2);
                out.CropRight = EvenOf(rec.CropRight + excess - (out.CropLeft - rec.CropLeft));
            } else if (ratio < kFourThirds) {
                const int excess =
                    static_cast<int>(std::max<int64_t>(0, RoundHalfEven(ch - cw / kFourThirds)));
                out.CropTop = EvenOf(rec.CropTop + excess / 2);
                out.CropBottom = EvenOf(rec.CropBottom + excess - (out.CropTop - rec.CropTop));
            }
        }
        out.FrameSize = SizeText(W, H);
        out.AspectRatio = AspectText(W, H);
    } else if (mode == "center") {
        // The source picture gets its black borders at its own size; the frame then keeps the
        // inner size in the padded direction.
        const Pads p = LetterboxPads(W, H, SW, SH);
        out.AspectRatio = AspectText(W, H);
        if (W == SW && H == SH) {
            out.FrameSize = SizeText(W, H);
            filter = Format("pad=%d:%d:%d:%d:black", SW, SH, 0, 0);
        } else if (p.vertical) {
            out.FrameSize = SizeText(W, H - p.T - p.B);
            filter = Format("pad=%d:%d:%d:%d:black", SW, SH + p.T + p.B, 0, p.T);
        } else {
            out.FrameSize = SizeText(W - p.L - p.R, H);
            filter = Format("pad=%d:%d:%d:%d:black", SW + p.L + p.R, SH, p.L, 0);
        }
    }
}

// Audio values shared by video and audio-only profiles: sample rate, bit rate and volume.
void ApplyAudioValues(const TProfileSettings& settings, TOutputOptions& out) {
    const std::string sampleRate = settings.ReadString("paraSampleRate", "44100");
    int rate = 0;
    if (sampleRate != kAsSource && TryParseInt(sampleRate, rate) && rate > 0)
        out.AudioSampleRate = rate;

    const std::string bitRate = settings.ReadString("paraAudioBitRate", "128");
    if (bitRate != kAsSource && (IsNumber(bitRate) || IsInteger(bitRate)) && !Trim(bitRate).empty()) {
        const int64_t bps = RoundHalfEven(std::strtod(Trim(bitRate).c_str(), nullptr) * 1000.0);
        if (bps > 0)
            out.AudioBitrate = ClampToInt32(bps);
    }

    // 256 is the unchanged level. Without a stored volume the level stays unchanged too: the
    // old fallback of 3 (of 256) made the sound all but silent.
    const std::string volume = settings.ReadString("paraVolume", "256");
    if (volume != "256")
        out.Volume = StrToInt(volume);
}

} // namespace

int64_t RoundHalfEven(double v) {
    if (!std::isfinite(v))
        return 0;
    if (v >= static_cast<double>(INT64_MAX))
        return INT64_MAX;
    if (v <= static_cast<double>(INT64_MIN))
        return INT64_MIN;
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(v);
    std::fesetround(saved);
    return static_cast<int64_t>(r);
}

void BuildJobOptions(const TlvFilesRecord& record, int code, TOutputOptions& out, const TSourceVideo& source,
                     TInputOptions& input, const IniFile& formatFile, const TProfileSettings& settings,
                     IUserMessages& messages) {
    const std::string section = FormatSectionName(code);
    const std::string format = formatFile.ReadString(section, "Format", "null");
    const std::string fmt = ToLower(format);

    // 1. Disc targets.
    if (fmt == "ntsc-dvd" || fmt == "pal-dvd") {
        const bool ntsc = fmt == "ntsc-dvd";
        out.TargetType = 3;
        out.TargetNorm = ntsc ? 2 : 1;
        const std::string size = settings.ReadString("paraVideoSize", "null");
        out.AspectRatio = size == (ntsc ? "720x480" : "720x576") ? "16:9" : "4:3";
    } else if (fmt == "ntsc-vcd" || fmt == "pal-vcd" || fmt == "ntsc-svcd" || fmt == "pal-svcd") {
        out.TargetType = fmt.find("svcd") != std::string::npos ? 2 : 1;
        out.TargetNorm = fmt.rfind("ntsc", 0) == 0 ? 2 : 1;
        out.AspectRatio = "4:3";
    }

    // 2. Without a video encoder the profile is audio-only.
    const std::string videoEncoder = settings.ReadString("paraVideoEncoder", "");
    if (Trim(videoEncoder).empty()) {
        out.AudioCodec = settings.ReadString("paraAudioEncoder", "libfaac");
        const std::string channels = settings.ReadString("paraChannel", "2");
        int n = 0;
        if (channels != kAsSource && TryParseInt(channels, n) && n > 0)
            out.AudioChannels = n;
        ApplyAudioValues(settings, out);
        // Keep whatever the caller already put there; the video is switched off in any case.
        input.ExtOptions = input.ExtOptions.empty() ? "vn=1" : input.ExtOptions + "\nvn=1";
        out.DisableVideo = true;
        out.DisableSubtitle = true;
        return;
    }

    // 3-4. Video codec and preset; names the engine does not take leave the container's choice.
    if (IsVideoCodecName(videoEncoder)) {
        out.VideoCodec = videoEncoder;
        // MPEG-2 video means a DVD stream, unless the profile already chose its disc (an SVCD
        // must stay an SVCD).
        if (videoEncoder == "mpeg2video" && out.TargetType == 0)
            out.TargetType = 3;
    }
    if (videoEncoder == "libx264") {
        if (fmt == "psp")
            out.VideoPreset = "libx264-psp";
        else if (fmt == "ipod")
            out.VideoPreset = "libx264-ipod";
        else if (fmt == "ps3")
            out.VideoPreset = "libx264-ps3";
        else
            out.VideoPreset = "libx264-mp4";
    }

    std::string filter;
    if (source.VideoStreamCount < 1) {
        out.DisableVideo = true;
    } else {
        // 6. Video bit rate.
        const std::string bitRate = settings.ReadString("paraVideoBitRate", "512");
        int kbps = 0;
        if (bitRate != kAsSource && TryParseInt(bitRate, kbps)) {
            if (kbps > 0)
                out.VideoBitrate = ClampToInt32(static_cast<int64_t>(kbps) * 1000);
        } else {
            out.VideoBitrate = source.BitRate;
        }

        // 7. Frame rate.
        const std::string frameRate = settings.ReadString("paraFrameRate", "29.97");
        if (frameRate != kAsSource && (IsNumber(frameRate) || IsInteger(frameRate)) &&
            std::strtod(Trim(frameRate).c_str(), nullptr) > 0)
            out.FrameRate = frameRate;

        // 8. Container.
        if (IsContainerFormat(fmt))
            out.FileFormat = format;

        // 9-10. Source and target size.
        const int SW = source.Width, SH = source.Height;
        int W = SW, H = SH;
        std::string size = settings.ReadString("paraVideoSize", "null");
        const size_t x = size.find('x');
        if (size != kAsSource && x != std::string::npos && x != 0 && x != size.size() - 1) {
            int v = 0;
            W = TryParseInt(size.substr(0, x), v) ? v : SW;
            H = TryParseInt(size.substr(x + 1), v) ? v : SH;
            // H.263 codes five picture sizes only.
            if (ToLower(out.VideoCodec) == "h263" &&
                std::string("704x576,352x288,176x144,160x120,128x96").find(size) == std::string::npos) {
                if (W >= 177 && W <= 352) {
                    W = 352;
                    H = 288;
                } else if (W > 352) {
                    W = 704;
                    H = 576;
                }
            }
        } else if (size != kAsSource) {
            if (messages.MessageBox(kMsgVideoSizeQuestion, kCaptionWarning, TMsgButtons::mbYesNo,
                                    TMsgIcon::miQuestion) == TMsgResult::mrYes) {
                W = 320;
                H = 240;
            } else {
                size = kAsSource;
            }
        }
        if (size == kAsSource) {
            W = SW;
            H = SH;
        }

        // 11. Crops the engine left unset count as none.
        for (int32_t* crop : {&out.CropTop, &out.CropBottom, &out.CropLeft, &out.CropRight})
            if (*crop == -1)
                *crop = 0;

        // 12. Zoom mode.
        ApplyZoom(record, out, W, H, SW, SH, filter);
    }

    // 13. Filter chain.
    if (!filter.empty())
        out.VideoFilters = out.VideoFilters.empty() ? filter : out.VideoFilters + "," + filter;

    // 14. Audio of a video profile.
    out.AudioCodec = settings.ReadString("paraAudioEncoder", "");
    if (out.AudioCodec == "libamr_nb")
        out.AudioCodec = "libopencore_amrnb";
    if (Trim(out.AudioCodec).empty())
        out.DisableAudio = true;
    const std::string channels = settings.ReadString("paraChannel", "2");
    int n = 0;
    if (channels != kAsSource && TryParseInt(channels, n))
        out.AudioChannels = n;
    ApplyAudioValues(settings, out);
}

std::string MakeOutputFileName(const std::string& sourcePath, const std::string& suffix,
                               const IniFile& settings, IUserMessages& messages) {
    const std::string fallback = DefaultOutputDir();
    std::string folder = settings.ReadString(settings::kSection, settings::kOutPutDir, fallback);
    std::error_code ec;
    bool ready = !folder.empty() && fs::is_directory(folder, ec);
    if (!ready && !folder.empty()) {
        fs::create_directories(folder, ec);
        ready = fs::is_directory(folder, ec);
    }
    if (!ready) {
        messages.MessageBox("Cannot create output directory:" + folder +
                                ".It will create default directory " + fallback + "!",
                            kCaptionWarning, TMsgButtons::mbOK, TMsgIcon::miWarning);
        fs::create_directories(fallback, ec);
        settings.WriteString(settings::kSection, settings::kOutPutDir, fallback);
        folder = fallback;
    }
    if (folder.empty() || folder.back() != '/')
        folder += '/';

    const std::string base = folder + fs::path(sourcePath).stem().string();
    auto taken = [](const std::string& path) {
        std::error_code e;
        // A dangling link is taken too: writing through it would create some other file.
        return fs::exists(fs::symlink_status(path, e));
    };
    std::string candidate = base + "_(new)" + suffix;
    for (int n = 1; taken(candidate); ++n)
        candidate = base + "_(new_" + std::to_string(n) + ")" + suffix;
    return candidate;
}

} // namespace kavlo
