#include "probe/TCustomAVProbe.h"

#include "probe/ProbeText.h"
#include "probe/StreamRotation.h"

#include "core/TextUtils.h"
#include "engine/ffmpeg/CodecLock.h"
#include "engine/ffmpeg/FFUtils.h"
#include "engine/ffmpeg/TFFmpegLoader.h"

#include <chrono>
#include <climits>
#include <ctime>
#include <mutex>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/parseutils.h>
}

namespace kavlo {

namespace {

int64_t KnownOr(int64_t value, int64_t unknown = -1) {
    return value == AV_NOPTS_VALUE ? unknown : value;
}

// Bit rates are 64-bit in the libraries and whole numbers here; 0 means "not known" there.
int BitRateOf(int64_t bitRate) {
    if (bitRate <= 0)
        return -1;
    return bitRate > INT_MAX ? INT_MAX : static_cast<int>(bitRate);
}

// A stream time base with a zero denominator would make every conversion divide by zero.
AVRational SaneTimeBase(AVRational tb) {
    if (tb.den == 0)
        tb.den = tb.num != 0 ? tb.num : 1;
    return tb;
}

// The leading whole number of a tag value ("2009-05-01" -> 2009, "3/12" -> 3); -1 without one.
int LeadingNumber(const std::string& text) {
    std::string t = Trim(text);
    size_t digits = 0;
    while (digits < t.size() && digits < 9 && t[digits] >= '0' && t[digits] <= '9')
        ++digits;
    if (digits == 0)
        return -1;
    return std::stoi(t.substr(0, digits));
}

// The container's creation time in Unix seconds. Containers keep it as the "creation_time"
// tag (ISO 8601, UTC) nowadays; -1 when absent or unreadable.
int64_t CreationTime(const AVDictionary* metadata) {
    std::string text = MetadataValue(metadata, "creation_time");
    if (text.empty())
        return -1;
    int64_t us = 0;
    if (av_parse_time(&us, text.c_str(), 0) < 0)
        return -1;
    return us / 1000000;
}

std::string FormatDateTime(int64_t unixSeconds) {
    std::time_t t = std::chrono::system_clock::to_time_t(UnixTimeToDateTime(unixSeconds));
    std::tm local{};
    if (!localtime_r(&t, &local))
        return std::string();
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    return buf;
}

// The libraries' one-line description of a stream's codec ("Video: h264 (High) (avc1 / ...),
// yuv420p, 640x480, ...").
std::string CodecDescription(const AVCodecParameters* par) {
    AVCodecContext* ctx = avcodec_alloc_context3(nullptr);
    if (!ctx)
        return std::string();
    char buf[256] = {0};
    if (avcodec_parameters_to_context(ctx, par) >= 0)
        avcodec_string(buf, sizeof buf, ctx, 0);
    std::lock_guard<std::mutex> lock(CodecLock());
    avcodec_free_context(&ctx);
    return buf;
}

} // namespace

TCustomAVProbe::TCustomAVProbe() = default;

TCustomAVProbe::~TCustomAVProbe() {
    // Derived parts are gone by now; only the context is left to release.
    if (owned_ && context_)
        avformat_close_input(&context_);
    context_ = nullptr;
}

void TCustomAVProbe::CheckLibraries() {
    static const struct {
        TLibraryId id;
        const char* message;
    } required[] = {
        {libAVCodec, "LibAVCodec not loaded."},
        {libAVFormat, "LibAVFormat not loaded."},
        {libAVUtil, "LibAVUtil not loaded."},
        {libSWScale, "LibSwScale not loaded."},
    };
    TFFmpegLoader& loader = FFmpegLoader();
    for (const auto& library : required)
        if (!loader.IsLoaded(library.id))
            throw std::runtime_error(library.message);
}

void TCustomAVProbe::ReportError(TLogLevel level, const std::string& msg) {
    FFLogger().Log(this, level, msg);
    lastErrMsg_ = msg;
}

bool TCustomAVProbe::LoadFile(const std::string& fileName, const std::string& formatName) {
    CheckLibraries();
    CloseFile();
    lastErrMsg_.clear();

    const AVInputFormat* inputFormat = nullptr;
    if (!formatName.empty()) {
        inputFormat = av_find_input_format(formatName.c_str());
        if (!inputFormat) {
            lastErrMsg_ = Format("Unknown input format: %s", formatName.c_str());
            return false;
        }
    }

    AVFormatContext* ic = avformat_alloc_context();
    if (!ic) {
        ReportError(llError, ErrorText(fileName, AVERROR(ENOMEM)));
        return false;
    }
    ic->flags |= AVFMT_FLAG_NONBLOCK;
    std::string url = FileNameToURL(fileName);
    // The library frees the context itself when opening fails.
    int ret = avformat_open_input(&ic, url.c_str(), inputFormat, nullptr);
    if (ret < 0) {
        ReportError(llError, ErrorText(fileName, ret));
        return false;
    }
    context_ = ic;
    owned_ = true;

    {
        std::lock_guard<std::mutex> lock(CodecLock());
        ret = avformat_find_stream_info(ic, nullptr);
    }
    if (ret < 0) {
        lastErrMsg_ = Format("%s: could not find codec parameters", fileName.c_str());
        CloseFile();
        return false;
    }

    forcedFormat_ = formatName;
    CountStreams();
    FileOpened();
    return true;
}

void TCustomAVProbe::AttachContext(AVFormatContext* context) {
    CheckLibraries();
    CloseFile();
    lastErrMsg_.clear();
    if (!context)
        return;
    context_ = context;
    owned_ = false;
    CountStreams();
    FileOpened();
}

void TCustomAVProbe::CloseFile() {
    formatName_.clear();
    forcedFormat_.clear();
    if (context_ && owned_)
        avformat_close_input(&context_);
    context_ = nullptr;
    owned_ = false;
    ResetCounters();
}

void TCustomAVProbe::ResetCounters() {
    fileSize_ = -1;
    streamCount_ = -1;
    programCount_ = -1;
    audioStreamCount_ = -1;
    videoStreamCount_ = -1;
    subtitleStreamCount_ = -1;
    firstAudioStreamIndex_ = -1;
    firstVideoStreamIndex_ = -1;
    firstSubtitleStreamIndex_ = -1;
}

void TCustomAVProbe::CountStreams() {
    AVFormatContext* ic = context_;
    int64_t containerSize = ic->pb ? avio_size(ic->pb) : -1;
    fileSize_ = containerSize;
    if (containerSize <= 0) {
        std::string url = ic->url ? ic->url : "";
        // Only a name that is (or was made from) a local path may be looked up on disk.
        if (!url.empty() && (IsUnicodeURL(url) || NeedUnicodeURL(url))) {
            int64_t onDisk = FileSizeOf(URLToFileName(url));
            if (onDisk >= 0)
                fileSize_ = onDisk;
        }
    }
    // A pipe or a network source has no size; errors of the size query are not sizes.
    if (fileSize_ < 0)
        fileSize_ = -1;

    streamCount_ = static_cast<int>(ic->nb_streams);
    programCount_ = static_cast<int>(ic->nb_programs);
    audioStreamCount_ = videoStreamCount_ = subtitleStreamCount_ = 0;
    for (int i = 0; i < streamCount_; ++i) {
        switch (ic->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            if (videoStreamCount_++ == 0)
                firstVideoStreamIndex_ = i;
            break;
        case AVMEDIA_TYPE_AUDIO:
            if (audioStreamCount_++ == 0)
                firstAudioStreamIndex_ = i;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            if (subtitleStreamCount_++ == 0)
                firstSubtitleStreamIndex_ = i;
            break;
        default:
            break;
        }
    }
    formatName_ = ic->iformat && ic->iformat->name ? ic->iformat->name : "";
}

std::string TCustomAVProbe::FileName() const {
    if (!context_ || !context_->url)
        return std::string();
    return URLToFileName(context_->url);
}

std::string TCustomAVProbe::FormatName() const {
    return formatName_;
}

bool TCustomAVProbe::IsAudioStream(int index) const {
    return context_ && index >= 0 && index < static_cast<int>(context_->nb_streams) &&
           context_->streams[index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
}

bool TCustomAVProbe::IsVideoStream(int index) const {
    return context_ && index >= 0 && index < static_cast<int>(context_->nb_streams) &&
           context_->streams[index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
}

int TCustomAVProbe::ResolveStream(int index, int mediaType) {
    const bool audio = mediaType == AVMEDIA_TYPE_AUDIO;
    if (!context_) {
        ReportError(llError, "file not loaded.");
        return -1;
    }
    if (index == -1) {
        index = audio ? firstAudioStreamIndex_ : firstVideoStreamIndex_;
        if (index < 0) {
            ReportError(llWarning, audio ? "no audio stream." : "no video stream.");
            return -1;
        }
        return index;
    }
    if (index < 0 || index >= static_cast<int>(context_->nb_streams)) {
        ReportError(llWarning, Format("stream index #%d is invalid.", index));
        return -1;
    }
    if (context_->streams[index]->codecpar->codec_type != mediaType) {
        ReportError(
            llWarning,
            Format(audio ? "stream #%d is not audio stream." : "stream #%d is not video stream.", index));
        return -1;
    }
    return index;
}

bool TCustomAVProbe::GetFileStreamInfo(TFileStreamInfo& info) {
    info = TFileStreamInfo();
    if (!context_) {
        ReportError(llError, "file not loaded.");
        return false;
    }
    const AVFormatContext* ic = context_;
    info.StartTime = KnownOr(ic->start_time);
    info.Duration = KnownOr(ic->duration);
    info.BitRate = BitRateOf(ic->bit_rate);
    // The container fields of old (creation time, year, track, author) live in the tags now.
    info.TimeStamp = CreationTime(ic->metadata);
    info.Year = LeadingNumber(MetadataValue(ic->metadata, "date"));
    if (info.Year < 0)
        info.Year = LeadingNumber(MetadataValue(ic->metadata, "year"));
    info.Track = LeadingNumber(MetadataValue(ic->metadata, "track"));
    info.Title = MetadataValue(ic->metadata, "title");
    info.Author = MetadataValue(ic->metadata, "author", MetadataValue(ic->metadata, "artist"));
    info.Copyright = MetadataValue(ic->metadata, "copyright");
    info.Comment = MetadataValue(ic->metadata, "comment");
    info.Album = MetadataValue(ic->metadata, "album");
    info.Genre = MetadataValue(ic->metadata, "genre");
    return true;
}

namespace {

template <typename Info> void FillTimes(const AVStream* st, Info& info) {
    // Repaired on a copy: an attached context may be in use by its owner's threads.
    AVRational tb = SaneTimeBase(st->time_base);
    info.StartTime = KnownOr(st->start_time);
    if (st->start_time != AV_NOPTS_VALUE)
        info.StartTimeMicro = av_rescale_q(st->start_time, tb, AV_TIME_BASE_Q);
    info.Duration = KnownOr(st->duration);
    if (st->duration != AV_NOPTS_VALUE)
        info.DurationMicro = av_rescale_q(st->duration, tb, AV_TIME_BASE_Q);
}

} // namespace

bool TCustomAVProbe::GetAudioStreamInfo(int index, TAudioStreamInfo& info) {
    info = TAudioStreamInfo();
    index = ResolveStream(index, AVMEDIA_TYPE_AUDIO);
    if (index < 0)
        return false;
    const AVStream* st = context_->streams[index];
    const AVCodecParameters* par = st->codecpar;
    info.Language = MetadataValue(st->metadata, "language");
    info.CodecName = CodecDisplayName(par, false);
    FillTimes(st, info);
    info.BitRate = BitRateOf(par->bit_rate);
    info.Channels = par->ch_layout.nb_channels > 0 ? par->ch_layout.nb_channels : -1;
    info.SampleRate = par->sample_rate > 0 ? par->sample_rate : -1;
    info.SampleFormat = par->format >= 0 ? par->format : -1;
    return true;
}

bool TCustomAVProbe::GetVideoStreamInfo(int index, TVideoStreamInfo& info) {
    info = TVideoStreamInfo();
    index = ResolveStream(index, AVMEDIA_TYPE_VIDEO);
    if (index < 0)
        return false;
    AVStream* st = context_->streams[index];
    const AVCodecParameters* par = st->codecpar;
    info.Language = MetadataValue(st->metadata, "language");
    info.CodecName = CodecDisplayName(par, false);
    FillTimes(st, info);
    info.BitRate = BitRateOf(par->bit_rate);
    info.Width = par->width > 0 ? par->width : -1;
    info.Height = par->height > 0 ? par->height : -1;
    if (info.Width > 0 && info.Height > 0) {
        // The container's pixel shape wins over the bitstream's; no shape at all means square
        // pixels, as every player shows them.
        AVRational sar = av_guess_sample_aspect_ratio(context_, st, nullptr);
        double pixelShape = sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0;
        info.DisplayAspectRatio = static_cast<float>(pixelShape * info.Width / info.Height);
    }
    info.PixelFormat = par->format >= 0 ? par->format : -1;
    if (st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0) {
        info.FrameRateNum = st->r_frame_rate.num;
        info.FrameRateDen = st->r_frame_rate.den;
    }
    info.Rotation = StreamRotation(st);
    return true;
}

std::string TCustomAVProbe::StreamLine(int index) const {
    const AVFormatContext* ic = context_;
    const AVStream* st = ic->streams[index];
    const AVCodecParameters* par = st->codecpar;

    std::string line = Format("Stream #%d", index);
    if (ic->iformat && (ic->iformat->flags & AVFMT_SHOW_IDS))
        line += Format("[0x%x]", static_cast<unsigned>(st->id));
    std::string language = MetadataValue(st->metadata, "language");
    if (!language.empty())
        line += "(" + language + ")";
    int gcd = static_cast<int>(av_gcd(st->time_base.num, st->time_base.den));
    if (gcd == 0)
        gcd = 1;
    line += Format(", %d/%d", st->time_base.num / gcd, st->time_base.den / gcd);
    line += ": " + CodecDescription(par);

    if (st->sample_aspect_ratio.num && av_cmp_q(st->sample_aspect_ratio, par->sample_aspect_ratio) != 0) {
        AVRational dar;
        av_reduce(&dar.num, &dar.den, static_cast<int64_t>(par->width) * st->sample_aspect_ratio.num,
                  static_cast<int64_t>(par->height) * st->sample_aspect_ratio.den, 1024 * 1024);
        line += Format(", PAR %d:%d DAR %d:%d", st->sample_aspect_ratio.num, st->sample_aspect_ratio.den,
                       dar.num, dar.den);
    }

    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        if (st->avg_frame_rate.num && st->avg_frame_rate.den)
            line += FormatRate(av_q2d(st->avg_frame_rate), "fps");
        if (st->r_frame_rate.num && st->r_frame_rate.den)
            line += FormatRate(av_q2d(st->r_frame_rate), "tbr");
        if (st->time_base.num && st->time_base.den)
            line += FormatRate(1 / av_q2d(st->time_base), "tbn");
        // The codec time base is no longer kept for decoding (decoders report their frame
        // rate instead); it is taken as one tick per frame of the stream's real base rate.
        AVRational codecTimeBase = av_inv_q(st->r_frame_rate);
        if (codecTimeBase.num && codecTimeBase.den)
            line += FormatRate(1 / av_q2d(codecTimeBase), "tbc");
        int rotation = StreamRotation(st);
        if (rotation != 0)
            line += Format(", rotate %d", rotation);
    }

    AVRational tb = SaneTimeBase(st->time_base);
    if (st->start_time != AV_NOPTS_VALUE)
        line += ", StartTime: " + FormatSecondsMicro(av_rescale_q(st->start_time, tb, AV_TIME_BASE_Q));
    if (st->duration != AV_NOPTS_VALUE && st->duration >= 0)
        line += ", Duration: " + FormatTimestamp(av_rescale_q(st->duration, tb, AV_TIME_BASE_Q));
    else
        line += ", Duration: N/A";
    return line;
}

std::string TCustomAVProbe::InfoText() const {
    if (!context_)
        return std::string();
    const AVFormatContext* ic = context_;
    std::vector<std::string> lines;
    lines.push_back("File Name: " + FileName());
    lines.push_back("Format Name: " + formatName_);
    lines.push_back(std::string("Format Long Name: ") +
                    (ic->iformat && ic->iformat->long_name ? ic->iformat->long_name : ""));
    lines.push_back("File Size: " + (fileSize_ >= 0 ? FormatFileSize(fileSize_) : std::string("N/A")));
    if (ic->duration != AV_NOPTS_VALUE && ic->duration >= 0)
        lines.push_back("Duration: " + FormatTimestamp(ic->duration));
    else
        lines.push_back("Duration: N/A");
    if (ic->start_time != AV_NOPTS_VALUE && ic->start_time >= 0)
        lines.push_back("StartTime: " + FormatSecondsMicro(ic->start_time));
    if (ic->bit_rate >= 1)
        lines.push_back(Format("Bit Rate: %lld kb/s", static_cast<long long>(ic->bit_rate / 1000)));
    else
        lines.push_back("Bit Rate: N/A");
    int64_t created = CreationTime(ic->metadata);
    if (created > 0)
        lines.push_back("Time Stamp: " + FormatDateTime(created));
    for (auto& l : MetadataBlock(ic->metadata, ""))
        lines.push_back(std::move(l));

    std::vector<bool> listed(ic->nb_streams, false);
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
        const AVProgram* program = ic->programs[p];
        lines.push_back(Format("Program %d %s@%s", program->id,
                               MetadataValue(program->metadata, "service_provider", "N/A").c_str(),
                               MetadataValue(program->metadata, "service_name", "N/A").c_str()));
        for (auto& l : MetadataBlock(program->metadata, "  "))
            lines.push_back(std::move(l));
        for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
            unsigned index = program->stream_index[k];
            if (index >= ic->nb_streams)
                continue;
            lines.push_back(StreamLine(static_cast<int>(index)));
            for (auto& l : MetadataBlock(ic->streams[index]->metadata, "  "))
                lines.push_back(std::move(l));
            listed[index] = true;
        }
    }
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        if (listed[i])
            continue;
        lines.push_back(StreamLine(static_cast<int>(i)));
        for (auto& l : MetadataBlock(ic->streams[i]->metadata, "  "))
            lines.push_back(std::move(l));
    }

    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i)
            text += '\n';
        text += lines[i];
    }
    return text;
}

} // namespace kavlo
