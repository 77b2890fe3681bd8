#include "engine/TCustomFFmpeg.h"

#include "core/TextUtils.h"
#include "engine/CodecAliases.h"
#include "engine/ffmpeg/CodecLock.h"
#include "engine/ffmpeg/FFUtils.h"
#include "engine/ffmpeg/TFFLogger.h"
#include "probe/StreamRotation.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/dv_profile.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace kavlo {

namespace {

const char* CodecKindText(bool encoder) {
    return encoder ? "encoder" : "decoder";
}

// Frees a demuxer or muxer context that is not (yet) part of the task's tables.
struct TInputGuard {
    AVFormatContext* ic = nullptr;
    ~TInputGuard() {
        if (ic)
            avformat_close_input(&ic);
    }
};

void FreeEncoder(AVCodecContext*& ctx) {
    if (!ctx)
        return;
    std::lock_guard<std::mutex> lock(CodecLock());
    avcodec_free_context(&ctx);
}

// The sample aspect ratio that shows a frame of the given size at the display aspect ratio;
// numerator and denominator at most 255.
AVRational SampleAspectFor(double aspect, int width, int height) {
    double sar = width && height ? aspect * height / width : aspect * 3 / 4;
    return av_d2q(sar, 255);
}

// "start,end,q" entries separated by "/".
std::vector<RcOverride> ParseRcOverride(const std::string& text) {
    std::vector<RcOverride> entries;
    for (const std::string& item : Split(text, '/')) {
        int start = 0, end = 0, q = 0;
        char tail = 0;
        if (std::sscanf(item.c_str(), "%d,%d,%d%c", &start, &end, &q, &tail) != 3)
            throw FFmpegException("error parsing rc_override");
        RcOverride o{};
        o.start_frame = start;
        o.end_frame = end;
        if (q > 0) {
            o.qscale = q;
            o.quality_factor = 1.0f;
        } else {
            o.qscale = 0;
            o.quality_factor = -q / 100.0f;
        }
        entries.push_back(o);
    }
    return entries;
}

uint16_t* CopyMatrix(const std::vector<uint16_t>& m) {
    auto* out = static_cast<uint16_t*>(av_malloc(64 * sizeof(uint16_t)));
    if (out)
        std::copy(m.begin(), m.begin() + 64, out);
    return out;
}

// "2024-01-31T12:00:00.000000Z" of a Unix time, as muxers read "creation_time".
std::string Iso8601(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S.000000Z", &tm);
    return buf;
}

} // namespace

bool TCustomFFmpeg::FindCodec(const std::string& name, AVMediaType type, bool encoder, int strictness,
                              const AVCodec*& codec, const AVOutputFormat* outputFormat) {
    codec = nullptr;
    if (name.empty())
        return true;
    std::string lookup = encoder ? ResolveEncoderName(name, outputFormat) : name;
    if (lookup.empty())
        return true; // an alias for the container's default encoder
    const AVCodec* found =
        encoder ? avcodec_find_encoder_by_name(lookup.c_str()) : avcodec_find_decoder_by_name(lookup.c_str());
    if (!found) {
        setupError = Format("Unknown %s '%s'", CodecKindText(encoder), name.c_str());
        return false;
    }
    if (found->type != type) {
        setupError = Format("Invalid %s type '%s'", CodecKindText(encoder), name.c_str());
        return false;
    }
    if ((found->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strictness > FF_COMPLIANCE_EXPERIMENTAL) {
        std::string msg = Format("%s '%s' is experimental and might produce bad results.\r\n"
                                 "Add '-strict experimental' if you want to use it.",
                                 CodecKindText(encoder), found->name);
        const AVCodec* def = encoder ? avcodec_find_encoder(found->id) : avcodec_find_decoder(found->id);
        if (def && !(def->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
            msg += Format("\r\nOr use the non experimental %s '%s'.", CodecKindText(encoder), def->name);
        setupError = msg;
        return false;
    }
    codec = found;
    return true;
}

void TCustomFFmpeg::ChooseSampleFormat(AVCodecContext* ctx, const AVCodec* codec) {
    if (!codec || !codec->sample_fmts)
        return;
    for (const AVSampleFormat* p = codec->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
        if (*p == ctx->sample_fmt)
            return;
    ctx->sample_fmt = codec->sample_fmts[0];
}

void TCustomFFmpeg::ChooseSampleRate(AVCodecContext* ctx, const AVCodec* codec) {
    if (!codec || !codec->supported_samplerates || !codec->supported_samplerates[0])
        return;
    int best = codec->supported_samplerates[0];
    for (const int* p = codec->supported_samplerates; *p; ++p)
        if (std::abs(*p - ctx->sample_rate) < std::abs(best - ctx->sample_rate))
            best = *p;
    if (best != ctx->sample_rate)
        av_log(ctx, AV_LOG_WARNING, "Requested sampling rate unsupported using closest supported (%d)\n",
               best);
    ctx->sample_rate = best;
}

void TCustomFFmpeg::ChoosePixelFormat(AVCodecContext* ctx, const AVCodec* codec) {
    if (!codec || !codec->pix_fmts)
        return;
    bool listed = false;
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE && !listed; ++p)
        listed = *p == ctx->pix_fmt;
    if (codec->id == AV_CODEC_ID_MJPEG) {
        bool limitedRange = ctx->pix_fmt == AV_PIX_FMT_YUV420P || ctx->pix_fmt == AV_PIX_FMT_YUV422P ||
                            ctx->pix_fmt == AV_PIX_FMT_YUV444P;
        if (limitedRange) {
            // Kept only when strictness allows it; the encoder lists these formats but refuses
            // them at normal strictness, so otherwise the full-range twin is taken.
            if (ctx->strict_std_compliance < FF_COMPLIANCE_NORMAL)
                return;
            ctx->pix_fmt = ctx->pix_fmt == AV_PIX_FMT_YUV420P   ? AV_PIX_FMT_YUVJ420P
                           : ctx->pix_fmt == AV_PIX_FMT_YUV422P ? AV_PIX_FMT_YUVJ422P
                                                                : AV_PIX_FMT_YUVJ444P;
            return;
        }
    }
    if (codec->id == AV_CODEC_ID_DVVIDEO) {
        // A DV frame size and rate fix the pixel format; take the listed one that has a profile.
        if (av_dv_codec_profile2(ctx->width, ctx->height, ctx->pix_fmt, ctx->framerate))
            return;
        for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
            if (av_dv_codec_profile2(ctx->width, ctx->height, *p, ctx->framerate)) {
                ctx->pix_fmt = *p;
                return;
            }
    }
    if (!listed)
        ctx->pix_fmt = codec->pix_fmts[0];
}

void TCustomFFmpeg::DiscardOtherPrograms(AVFormatContext* ic) {
    AVProgram* wanted = nullptr;
    for (unsigned i = 0; i < ic->nb_programs; ++i)
        if (ic->programs[i]->id == opt.programId)
            wanted = ic->programs[i];
    if (!wanted)
        return;
    for (unsigned i = 0; i < ic->nb_streams; ++i)
        ic->streams[i]->discard = AVDISCARD_ALL;
    for (unsigned i = 0; i < ic->nb_programs; ++i) {
        AVProgram* p = ic->programs[i];
        if (p != wanted) {
            p->discard = AVDISCARD_ALL;
            continue;
        }
        for (unsigned j = 0; j < p->nb_stream_indexes; ++j)
            ic->streams[p->stream_index[j]]->discard = AVDISCARD_DEFAULT;
    }
}

bool TCustomFFmpeg::OpenInput(const std::string& fileName) {
    setupError.clear();
    if (!codecOpts_[0])
        throw FFmpegException("The task has no option state (Init was not called)");
    if (InputCount() >= kMaxFiles) {
        setupError = Format("Too many input files (at most %d)", kMaxFiles);
        return false;
    }

    const AVInputFormat* forced = nullptr;
    if (!opt.forcedFormat.empty()) {
        std::string name = opt.forcedFormat;
        opt.forcedFormat.clear();
        forced = av_find_input_format(name.c_str());
        if (!forced)
            throw FFmpegException(Format("Unknown input format: \"%s\"", name.c_str()));
    }

    TInputGuard guard;
    guard.ic = avformat_alloc_context();
    if (!guard.ic)
        throw FFmpegException("avformat_alloc_context failed");
    AVFormatContext* ic = guard.ic;

    // What raw and device demuxers cannot read from the file itself.
    AVDictionary* params = nullptr;
    if (opt.audioSampleRate > 0)
        av_dict_set_int(&params, "sample_rate", opt.audioSampleRate, 0);
    if (opt.audioChannels > 0)
        av_dict_set_int(&params, "channels", opt.audioChannels, 0);
    if (opt.frameRate.num > 0 && opt.frameRate.den > 0)
        av_dict_set(&params, "framerate", Format("%d/%d", opt.frameRate.num, opt.frameRate.den).c_str(), 0);
    if (opt.frameWidth > 0 && opt.frameHeight > 0)
        av_dict_set(&params, "video_size", Format("%dx%d", opt.frameWidth, opt.frameHeight).c_str(), 0);
    if (opt.framePixFmt != AV_PIX_FMT_NONE)
        if (const char* n = av_get_pix_fmt_name(static_cast<AVPixelFormat>(opt.framePixFmt)))
            av_dict_set(&params, "pixel_format", n, 0);
    if (opt.videoChannel)
        av_dict_set_int(&params, "channel", opt.videoChannel, 0);
    if (!opt.tvStandard.empty())
        av_dict_set(&params, "standard", opt.tvStandard.c_str(), 0);
    CopyGenericFormatOptions(ic, AV_OPT_FLAG_DECODING_PARAM);

    const AVCodec* forcedDecoder[3] = {};
    const std::string* names[3] = {&opt.videoCodecName, &opt.audioCodecName, &opt.subtitleCodecName};
    const AVMediaType types[3] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE};
    for (int k = 0; k < 3; ++k)
        if (!FindCodec(*names[k], types[k], false, codecOpts_[types[k]]->strict_std_compliance,
                       forcedDecoder[k])) {
            av_dict_free(&params);
            return false;
        }
    if (forcedDecoder[0]) {
        ic->video_codec_id = forcedDecoder[0]->id;
        ic->video_codec = forcedDecoder[0];
    }
    if (forcedDecoder[1]) {
        ic->audio_codec_id = forcedDecoder[1]->id;
        ic->audio_codec = forcedDecoder[1];
    }
    if (forcedDecoder[2]) {
        ic->subtitle_codec_id = forcedDecoder[2]->id;
        ic->subtitle_codec = forcedDecoder[2];
    }
    ic->flags |= AVFMT_FLAG_NONBLOCK;
    if (opt.pgmyuv)
        ic->video_codec_id = AV_CODEC_ID_PGMYUV;

    int ret = avformat_open_input(&guard.ic, FileNameToURL(fileName).c_str(), forced, &params);
    av_dict_free(&params);
    if (ret < 0) {
        guard.ic = nullptr; // freed by the library
        setupError = ErrorText(fileName, ret);
        return false;
    }
    ic = guard.ic;

    if (opt.programId) {
        bool found = false;
        for (unsigned i = 0; i < ic->nb_programs; ++i)
            found = found || ic->programs[i]->id == opt.programId;
        if (!found) {
            setupError = "Specified program id not found";
            return false;
        }
        DiscardOtherPrograms(ic);
        opt.programId = 0;
    }

    if (opt.loopInput && ic->iformat->priv_class && av_opt_find(ic->priv_data, "loop", nullptr, 0, 0))
        av_opt_set_int(ic->priv_data, "loop", 1, 0);

    {
        std::lock_guard<std::mutex> lock(CodecLock());
        ret = avformat_find_stream_info(ic, nullptr);
    }
    if (ret < 0 && opt.verbosity >= 0) {
        setupError = Format("%s: could not find codec parameters", fileName.c_str());
        FFLogger().Log(this, llVerbose, setupError);
        return false;
    }

    int64_t timestamp = opt.startTime;
    if (ic->start_time != AV_NOPTS_VALUE)
        timestamp += ic->start_time;
    if (opt.startTime != 0) {
        ret = avformat_seek_file(ic, -1, INT64_MIN, timestamp, timestamp, 0);
        if (ret < 0 && opt.verbosity > 0)
            FFLogger().LogFmt(this, llVerbose, "%s: could not seek to position %0.3f", fileName.c_str(),
                              timestamp / 1000000.0);
        opt.startTime = 0;
    }

    std::vector<const AVCodec*> decoders;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        AVCodecParameters* par = st->codecpar;
        switch (par->codec_type) {
        case AVMEDIA_TYPE_VIDEO: {
            int width = par->width;
            int height = par->height;
            AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
            // A stream shown turned a quarter: the output is made upright, so the current size is
            // the upright one.
            int rotation = StreamRotation(st);
            if (rotation == 90 || rotation == 270) {
                std::swap(width, height);
                if (sar.num && sar.den)
                    sar = av_inv_q(sar);
            }
            int64_t lowres = 0;
            av_opt_get_int(codecOpts_[AVMEDIA_TYPE_VIDEO], "lowres", 0, &lowres);
            if (lowres > 0) {
                width = AV_CEIL_RSHIFT(width, static_cast<int>(lowres));
                height = AV_CEIL_RSHIFT(height, static_cast<int>(lowres));
            }
            opt.frameWidth = width;
            opt.frameHeight = height;
            if (sar.num && sar.den && height)
                opt.frameAspectRatio = av_q2d(sar) * width / height;
            else if (height)
                opt.frameAspectRatio = static_cast<double>(width) / height;
            else
                opt.frameAspectRatio = 4.0 / 3.0;
            opt.framePixFmt = par->format < 0 ? 0 : par->format;
            if (st->avg_frame_rate.num && st->avg_frame_rate.den && st->r_frame_rate.den &&
                av_cmp_q(st->avg_frame_rate, st->r_frame_rate) != 0 && opt.verbosity >= 0)
                FFLogger().LogFmt(this, llInfo,
                                  "Seems stream %d codec frame rate differs from container frame rate: %2.2f "
                                  "(%d/%d) -> %2.2f (%d/%d)",
                                  i, av_q2d(st->avg_frame_rate), st->avg_frame_rate.num,
                                  st->avg_frame_rate.den, av_q2d(st->r_frame_rate), st->r_frame_rate.num,
                                  st->r_frame_rate.den);
            opt.frameRate = st->r_frame_rate;
            decoders.push_back(forcedDecoder[0]);
            if (opt.videoDisable)
                st->discard = AVDISCARD_ALL;
            else if (opt.videoDiscard)
                st->discard = static_cast<AVDiscard>(opt.videoDiscard);
            break;
        }
        case AVMEDIA_TYPE_AUDIO:
            if (par->ch_layout.nb_channels > 0) {
                opt.audioChannels = par->ch_layout.nb_channels;
                opt.audioChannelLayout =
                    par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? par->ch_layout.u.mask : 0;
            }
            if (par->sample_rate > 0)
                opt.audioSampleRate = par->sample_rate;
            opt.audioSampleFmt = par->format;
            decoders.push_back(forcedDecoder[1]);
            if (opt.audioDisable)
                st->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            decoders.push_back(forcedDecoder[2]);
            if (opt.subtitleDisable)
                st->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT:
            decoders.push_back(nullptr);
            break;
        default:
            throw FFmpegException("invalid codec_type");
        }
    }

    if (ic->duration > opt.totalDuration)
        opt.totalDuration = ic->duration;

    TInputFile in;
    in.Context = ic;
    in.TsOffset = opt.inputTsOffset - (opt.copyTs ? 0 : timestamp);
    guard.ic = nullptr;
    inputFiles.push_back(in);
    inputCodecs.insert(inputCodecs.end(), decoders.begin(), decoders.end());

    if (opt.verbosity >= 0)
        av_dump_format(ic, InputCount() - 1, fileName.c_str(), 0);

    opt.videoChannel = 0;
    opt.tvStandard.clear();
    opt.videoCodecName.clear();
    opt.audioCodecName.clear();
    opt.subtitleCodecName.clear();
    return true;
}

void TCustomFFmpeg::RemoveLastOutput() {
    int index = OutputCount() - 1;
    if (index < 0)
        return;
    for (auto it = outputStreams.begin(); it != outputStreams.end();)
        if (it->FileIndex == index) {
            FreeEncoder(it->Encoder);
            it = outputStreams.erase(it);
        } else {
            ++it;
        }
    TOutputFile& out = outputFiles.back();
    if (out.Context) {
        if (out.Context->pb && !(out.Context->oformat->flags & AVFMT_NOFILE))
            avio_closep(&out.Context->pb);
        avformat_free_context(out.Context);
    }
    if (out.CreatedFile && FileSizeOf(out.FileName) == 0)
        std::remove(out.FileName.c_str());
    outputFiles.pop_back();
}

int TCustomFFmpeg::OpenOutput(const std::string& fileName, bool join) {
    (void)join; // a task has a single input: there is nothing to join
    setupError.clear();
    pendingOutputName_.clear();
    if (!codecOpts_[0])
        throw FFmpegException("The task has no option state (Init was not called)");
    if (OutputCount() >= kMaxFiles) {
        setupError = Format("max output files %d reached", kMaxFiles);
        return -1;
    }

    const AVOutputFormat* fmt = nullptr;
    if (!opt.forcedFormat.empty()) {
        std::string name = opt.forcedFormat;
        opt.forcedFormat.clear();
        fmt = av_guess_format(name.c_str(), nullptr, nullptr);
        if (!fmt) {
            setupError = Format("Requested output format '%s' is not a suitable output format", name.c_str());
            return -1;
        }
    } else {
        fmt = av_guess_format(nullptr, fileName.c_str(), nullptr);
        if (!fmt) {
            setupError = Format("Unable to find a suitable output format for '%s'", fileName.c_str());
            return -1;
        }
    }

    AVFormatContext* oc = nullptr;
    if (avformat_alloc_output_context2(&oc, fmt, nullptr, nullptr) < 0 || !oc)
        throw FFmpegException("avformat_alloc_context failed");
    std::string url = FileNameToURL(fileName);
    oc->url = av_strdup(url.substr(0, 1024).c_str());

    bool useVideo =
        opt.videoStreamCopy || fmt->video_codec != AV_CODEC_ID_NONE || !opt.videoCodecName.empty();
    bool useAudio =
        opt.audioStreamCopy || fmt->audio_codec != AV_CODEC_ID_NONE || !opt.audioCodecName.empty();
    bool useSubtitle =
        opt.subtitleStreamCopy || fmt->subtitle_codec != AV_CODEC_ID_NONE || !opt.subtitleCodecName.empty();
    if (!inputFiles.empty()) {
        bool hasVideo = false, hasAudio = false, hasSubtitle = false;
        for (const TInputFile& in : inputFiles)
            for (unsigned i = 0; i < in.Context->nb_streams; ++i)
                switch (in.Context->streams[i]->codecpar->codec_type) {
                case AVMEDIA_TYPE_VIDEO:
                    hasVideo = true;
                    break;
                case AVMEDIA_TYPE_AUDIO:
                    hasAudio = true;
                    break;
                case AVMEDIA_TYPE_SUBTITLE:
                    hasSubtitle = true;
                    break;
                case AVMEDIA_TYPE_DATA:
                case AVMEDIA_TYPE_ATTACHMENT:
                    break;
                default:
                    avformat_free_context(oc);
                    setupError = "check_audio_video_sub_inputs fail: invalid codec_type of input file";
                    return -1;
                }
        useVideo = useVideo && hasVideo;
        useAudio = useAudio && hasAudio;
        useSubtitle = useSubtitle && hasSubtitle;
    }
    if (opt.videoDisable)
        useVideo = false;
    if (opt.audioDisable)
        useAudio = false;
    if (opt.subtitleDisable)
        useSubtitle = false;

    TOutputFile out;
    out.Context = oc;
    out.FileName = fileName;
    outputFiles.push_back(out);
    int index = OutputCount() - 1;

    struct TStep {
        bool use;
        void (TCustomFFmpeg::*add)(int);
        const char* failure;
    };
    for (const TStep& step :
         {TStep{useVideo, &TCustomFFmpeg::AddVideoStream, "new_video_stream fail: %s"},
          TStep{useAudio, &TCustomFFmpeg::AddAudioStream, "new_audio_stream fail: %s"},
          TStep{useSubtitle, &TCustomFFmpeg::AddSubtitleStream, "new_subtitle_stream fail: %s"}}) {
        if (!step.use)
            continue;
        try {
            (this->*step.add)(index);
        } catch (const std::exception& e) {
            setupError = Format(step.failure, e.what());
            RemoveLastOutput();
            return -1;
        }
    }

    if (opt.recordingTimestamp)
        av_dict_set(&oc->metadata, "creation_time", Iso8601(opt.recordingTimestamp).c_str(), 0);
    for (auto it = opt.metadata.rbegin(); it != opt.metadata.rend(); ++it)
        av_dict_set(&oc->metadata, it->first.c_str(), it->second.c_str(), 0);
    opt.metadata.clear();

    if ((fmt->flags & AVFMT_NEEDNUMBER) && !av_filename_number_test(fileName.c_str())) {
        setupError = ErrorText(fileName, AVERROR(EDOM));
        RemoveLastOutput();
        return -1;
    }
    if (!(fmt->flags & AVFMT_NOFILE)) {
        bool local = NeedUnicodeURL(fileName);
        // Never write over a file that is already there: only what this task creates is its own.
        if (local && FileSizeOf(fileName) >= 0) {
            setupError = ErrorText(fileName, AVERROR(EEXIST));
            RemoveLastOutput();
            return -1;
        }
        int ret = avio_open(&oc->pb, url.c_str(), AVIO_FLAG_WRITE);
        if (ret < 0) {
            setupError = ErrorText(fileName, ret);
            RemoveLastOutput();
            return -1;
        }
        outputFiles.back().CreatedFile = local;
    }

    oc->max_delay = static_cast<int>(std::lrint(opt.muxMaxDelay * 1000000.0));
    if (oc->priv_data && av_opt_find(oc->priv_data, "preload", nullptr, 0, 0))
        av_opt_set_int(oc->priv_data, "preload", std::lrint(opt.muxPreload * 1000000.0), 0);
    if (oc->priv_data && av_opt_find(oc->priv_data, "loop", nullptr, 0, 0))
        av_opt_set_int(oc->priv_data, "loop", opt.loopOutput, 0);
    oc->flags |= AVFMT_FLAG_NONBLOCK;
    CopyGenericFormatOptions(oc, AV_OPT_FLAG_ENCODING_PARAM);
    std::fill(std::begin(opt.streamIdMap), std::end(opt.streamIdMap), 0);
    return OutputCount();
}

namespace {

// Refuses a stream beyond the per-file limit; the index the new stream will get.
int NextStreamIndex(AVFormatContext* oc, int fileIndex) {
    if (oc->nb_streams >= static_cast<unsigned>(kMaxStreams))
        throw FFmpegException(
            Format("Too many streams in output file #%d (at most %d)", fileIndex, kMaxStreams));
    return static_cast<int>(oc->nb_streams);
}

// The muxer stream and the set-up entry of a new output stream. Everything that can be refused
// is checked before, so that a refusal never leaves a stream behind.
TOutputStreamSetup NewOutputStream(AVFormatContext* oc, int fileIndex, const int* streamIdMap,
                                   AVMediaType type, const AVCodec* codec) {
    AVCodecContext* enc = nullptr;
    if (codec) {
        enc = avcodec_alloc_context3(codec);
        if (!enc)
            throw FFmpegException("Could not alloc stream");
        enc->thread_count = 0;
    }
    AVStream* st = avformat_new_stream(oc, nullptr);
    if (!st) {
        avcodec_free_context(&enc);
        throw FFmpegException("Could not alloc stream");
    }
    if (streamIdMap[st->index])
        st->id = streamIdMap[st->index];
    st->codecpar->codec_type = type;
    TOutputStreamSetup s;
    s.FileIndex = fileIndex;
    s.Index = st->index;
    s.Stream = st;
    s.Encoder = enc;
    s.Codec = codec;
    s.StreamCopy = codec == nullptr;
    return s;
}

// The encoder for a kind: by name (through FindCodec) or the container's proposal.
const AVCodec* ChooseEncoder(TCustomFFmpeg& task, const std::string& name, AVMediaType type,
                             AVFormatContext* oc, int outputIndex, int streamIndex, int strictness) {
    const AVCodec* codec = nullptr;
    if (!task.FindCodec(name, type, true, strictness, codec, oc->oformat))
        throw FFmpegException(task.setupError);
    if (codec)
        return codec;
    AVCodecID id = av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type);
    codec = avcodec_find_encoder(id);
    if (!codec)
        throw FFmpegException(Format("Encoder (codec id %d) not found for output stream #%d.%d (%s)", id,
                                     outputIndex, streamIndex, MediaTypeName(type).c_str()));
    return codec;
}

} // namespace

void TCustomFFmpeg::AddVideoStream(int fileIndex) {
    AVFormatContext* oc = outputFiles.at(fileIndex).Context;
    int streamIndex = NextStreamIndex(oc, fileIndex);
    const AVCodec* codec = nullptr;
    std::vector<RcOverride> rcOverride;
    if (!opt.videoStreamCopy) {
        codec = ChooseEncoder(*this, opt.videoCodecName, AVMEDIA_TYPE_VIDEO, oc, fileIndex, streamIndex,
                              codecOpts_[AVMEDIA_TYPE_VIDEO]->strict_std_compliance);
        if (!opt.rcOverride.empty())
            rcOverride = ParseRcOverride(opt.rcOverride);
    }
    TOutputStreamSetup s = NewOutputStream(oc, fileIndex, opt.streamIdMap, AVMEDIA_TYPE_VIDEO, codec);
    AVStream* st = s.Stream;
    AVCodecContext* enc = s.Encoder;
    s.BitstreamFilters = std::move(opt.videoBitstreamFilters);
    opt.videoBitstreamFilters.clear();
    if (opt.videoCodecTag)
        st->codecpar->codec_tag = opt.videoCodecTag;
    outputStreams.push_back(std::move(s)); // the task owns the encoder context from here on

    if (!enc) {
        st->sample_aspect_ratio = st->codecpar->sample_aspect_ratio =
            SampleAspectFor(opt.frameAspectRatio, opt.frameWidth, opt.frameHeight);
    } else {
        AVRational rate = opt.frameRate.num > 0 && opt.frameRate.den > 0 ? opt.frameRate : AVRational{25, 1};
        if (opt.videoCodecTag)
            enc->codec_tag = opt.videoCodecTag;
        // The libx264 of the presets' generation started from other defaults than x264's own:
        // CAVLC, no 8x8 transform, no B-frames (nor pyramid or weighted bi-prediction), no
        // weighted P prediction. Options and presets override them; without that, a Baseline
        // preset (libx264-ipod) would give a High profile stream.
        if (std::string(codec->name) == "libx264") {
            enc->max_b_frames = 0;
            for (auto [name, value] : {std::pair{"coder", "0"},
                                       {"8x8dct", "0"},
                                       {"b-pyramid", "none"},
                                       {"weightb", "0"},
                                       {"mixed-refs", "0"},
                                       {"wpredp", "0"}})
                av_opt_set(enc->priv_data, name, value, 0);
        }
        CopyGenericCodecOptions(enc, AVMEDIA_TYPE_VIDEO,
                                AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
        // After the generic options: a "flags" value of theirs must not undo the header flags.
        if ((opt.videoGlobalHeader & 1) ||
            (opt.videoGlobalHeader == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER)))
            enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (opt.videoGlobalHeader & 2)
            enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
        enc->thread_count = 0; // automatic; the options may not fix it
        if (codec->supported_framerates && !opt.forceFps)
            rate = codec->supported_framerates[av_find_nearest_q_idx(rate, codec->supported_framerates)];
        enc->time_base = av_inv_q(rate);
        enc->framerate = rate;
        enc->width = opt.frameWidth;
        enc->height = opt.frameHeight;
        enc->sample_aspect_ratio = st->sample_aspect_ratio =
            SampleAspectFor(opt.frameAspectRatio, opt.frameWidth, opt.frameHeight);
        enc->pix_fmt = static_cast<AVPixelFormat>(opt.framePixFmt);
        ChoosePixelFormat(enc, codec);

        if (opt.intraOnly)
            enc->gop_size = 0;
        if (opt.videoQScale != 0 || opt.sameQuality) {
            enc->flags |= AV_CODEC_FLAG_QSCALE;
            enc->global_quality = static_cast<int>(FF_QP2LAMBDA * opt.videoQScale);
        }
        if (!opt.intraMatrix.empty())
            enc->intra_matrix = CopyMatrix(opt.intraMatrix);
        if (!opt.interMatrix.empty())
            enc->inter_matrix = CopyMatrix(opt.interMatrix);
        if (!rcOverride.empty()) {
            enc->rc_override =
                static_cast<RcOverride*>(av_malloc_array(rcOverride.size(), sizeof(RcOverride)));
            if (enc->rc_override) {
                std::copy(rcOverride.begin(), rcOverride.end(), enc->rc_override);
                enc->rc_override_count = static_cast<int>(rcOverride.size());
            }
        }
        if (enc->rc_initial_buffer_occupancy == 0)
            enc->rc_initial_buffer_occupancy = enc->rc_buffer_size * 3 / 4;
        enc->intra_dc_precision = opt.intraDcPrecision - 8;
        if (opt.psnr)
            enc->flags |= AV_CODEC_FLAG_PSNR;
        if (opt.pass == 1)
            enc->flags |= AV_CODEC_FLAG_PASS1;
        else if (opt.pass == 2)
            enc->flags |= AV_CODEC_FLAG_PASS2;
        st->time_base = enc->time_base;
        avcodec_parameters_from_context(st->codecpar, enc);
    }

    if (!opt.videoLanguage.empty())
        av_dict_set(&st->metadata, "language", opt.videoLanguage.c_str(), 0);
    opt.videoLanguage.clear();
    opt.videoDisable = false;
    opt.videoCodecName.clear();
    opt.videoStreamCopy = false;
    opt.framePixFmt = AV_PIX_FMT_NONE;
}

void TCustomFFmpeg::AddAudioStream(int fileIndex) {
    AVFormatContext* oc = outputFiles.at(fileIndex).Context;
    int streamIndex = NextStreamIndex(oc, fileIndex);
    const AVCodec* codec = nullptr;
    if (!opt.audioStreamCopy)
        codec = ChooseEncoder(*this, opt.audioCodecName, AVMEDIA_TYPE_AUDIO, oc, fileIndex, streamIndex,
                              codecOpts_[AVMEDIA_TYPE_AUDIO]->strict_std_compliance);
    TOutputStreamSetup s = NewOutputStream(oc, fileIndex, opt.streamIdMap, AVMEDIA_TYPE_AUDIO, codec);
    AVStream* st = s.Stream;
    AVCodecContext* enc = s.Encoder;
    s.BitstreamFilters = std::move(opt.audioBitstreamFilters);
    opt.audioBitstreamFilters.clear();
    if (opt.audioCodecTag)
        st->codecpar->codec_tag = opt.audioCodecTag;
    outputStreams.push_back(std::move(s));

    if (!enc) {
        av_channel_layout_uninit(&st->codecpar->ch_layout);
        av_channel_layout_default(&st->codecpar->ch_layout, opt.audioChannels);
        st->codecpar->sample_rate = opt.audioSampleRate;
    } else {
        if (opt.audioCodecTag)
            enc->codec_tag = opt.audioCodecTag;
        CopyGenericCodecOptions(enc, AVMEDIA_TYPE_AUDIO,
                                AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
        if (oc->oformat->flags & AVFMT_GLOBALHEADER)
            enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        enc->thread_count = 0;
        if (opt.audioQScale > -99999) {
            enc->flags |= AV_CODEC_FLAG_QSCALE;
            enc->global_quality = static_cast<int>(FF_QP2LAMBDA * opt.audioQScale);
        }
        av_channel_layout_uninit(&enc->ch_layout);
        if (opt.audioChannelLayout && av_popcount64(opt.audioChannelLayout) == opt.audioChannels)
            av_channel_layout_from_mask(&enc->ch_layout, opt.audioChannelLayout);
        else
            av_channel_layout_default(&enc->ch_layout, opt.audioChannels);
        enc->sample_fmt = static_cast<AVSampleFormat>(opt.audioSampleFmt);
        enc->sample_rate = opt.audioSampleRate;
        ChooseSampleFormat(enc, codec);
        ChooseSampleRate(enc, codec);
        enc->time_base = AVRational{1, enc->sample_rate > 0 ? enc->sample_rate : 1};
        st->time_base = enc->time_base;
        avcodec_parameters_from_context(st->codecpar, enc);
    }

    if (!opt.audioLanguage.empty())
        av_dict_set(&st->metadata, "language", opt.audioLanguage.c_str(), 0);
    opt.audioLanguage.clear();
    opt.audioDisable = false;
    opt.audioCodecName.clear();
    opt.audioStreamCopy = false;
}

void TCustomFFmpeg::AddSubtitleStream(int fileIndex) {
    AVFormatContext* oc = outputFiles.at(fileIndex).Context;
    int streamIndex = NextStreamIndex(oc, fileIndex);
    const AVCodec* codec = nullptr;
    if (!opt.subtitleStreamCopy)
        codec = ChooseEncoder(*this, opt.subtitleCodecName, AVMEDIA_TYPE_SUBTITLE, oc, fileIndex, streamIndex,
                              codecOpts_[AVMEDIA_TYPE_SUBTITLE]->strict_std_compliance);
    TOutputStreamSetup s = NewOutputStream(oc, fileIndex, opt.streamIdMap, AVMEDIA_TYPE_SUBTITLE, codec);
    AVStream* st = s.Stream;
    AVCodecContext* enc = s.Encoder;
    s.BitstreamFilters = std::move(opt.subtitleBitstreamFilters);
    opt.subtitleBitstreamFilters.clear();
    if (opt.subtitleCodecTag)
        st->codecpar->codec_tag = opt.subtitleCodecTag;
    outputStreams.push_back(std::move(s));

    if (enc) {
        if (opt.subtitleCodecTag)
            enc->codec_tag = opt.subtitleCodecTag;
        CopyGenericCodecOptions(enc, AVMEDIA_TYPE_SUBTITLE,
                                AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
        enc->thread_count = 0;
        avcodec_parameters_from_context(st->codecpar, enc);
    }

    if (!opt.subtitleLanguage.empty())
        av_dict_set(&st->metadata, "language", opt.subtitleLanguage.c_str(), 0);
    opt.subtitleLanguage.clear();
    opt.subtitleDisable = false;
    opt.subtitleCodecName.clear();
    opt.subtitleStreamCopy = false;
}

void TCustomFFmpeg::NewStream(char kind) {
    if (outputFiles.empty())
        throw FFmpegException("At least one output file must be specified");
    int index = OutputCount() - 1;
    if (kind == 'v')
        AddVideoStream(index);
    else if (kind == 'a')
        AddAudioStream(index);
    else
        AddSubtitleStream(index);
}

void TCustomFFmpeg::Cleanup() {
    FreeOptionContexts();
    for (TOutputStreamSetup& s : outputStreams)
        FreeEncoder(s.Encoder);
    outputStreams.clear();
    for (TOutputFile& out : outputFiles) {
        if (out.Context) {
            if (out.Context->pb && !(out.Context->oformat->flags & AVFMT_NOFILE))
                avio_closep(&out.Context->pb);
            avformat_free_context(out.Context);
            out.Context = nullptr;
        }
        // Only a file this task created and never wrote to goes away.
        if (out.CreatedFile && FileSizeOf(out.FileName) == 0)
            std::remove(out.FileName.c_str());
    }
    outputFiles.clear();
    for (TInputFile& in : inputFiles)
        avformat_close_input(&in.Context);
    inputFiles.clear();
    inputCodecs.clear();
    opt.vstatsFileName.clear();
    opt.videoCodecName.clear();
    opt.audioCodecName.clear();
    opt.subtitleCodecName.clear();
    opt.rcOverride.clear();
    opt.tvStandard.clear();
    opt.videoLanguage.clear();
    opt.audioLanguage.clear();
    opt.subtitleLanguage.clear();
    opt.subtitleCodecTag = 0;
    FrameHookRelease(hookModules);
}

} // namespace kavlo
