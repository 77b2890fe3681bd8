#include "engine/TTranscoder.h"

#include "core/TextUtils.h"
#include "engine/AVGuards.h"
#include "engine/ProgressReport.h"
#include "engine/TPauseGate.h"
#include "engine/VideoRotation.h"
#include "engine/ffmpeg/CodecLock.h"
#include "engine/ffmpeg/FFUtils.h"
#include "engine/ffmpeg/TFFLogger.h"
#include "probe/StreamRotation.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace kavlo {

namespace {

int64_t ToMicro(int64_t ts, AVRational tb) {
    return av_rescale_q(ts, tb, AV_TIME_BASE_Q);
}

AVMediaType OutputType(const AVStream* st, const AVCodecContext* enc) {
    return enc ? enc->codec_type : st->codecpar->codec_type;
}

// How many frames a stream holds: the container's count when it keeps one, else an estimate
// from the duration. (The installed libraries keep the count of frames seen while probing to
// themselves; this ranks streams the same way.)
int64_t StreamFrameCount(const AVFormatContext* ic, const AVStream* st) {
    if (st->nb_frames > 0)
        return st->nb_frames;
    double seconds = 0;
    if (st->duration > 0 && st->duration != AV_NOPTS_VALUE)
        seconds = st->duration * av_q2d(st->time_base);
    else if (ic->duration > 0)
        seconds = ic->duration / static_cast<double>(AV_TIME_BASE);
    const AVCodecParameters* par = st->codecpar;
    double perSecond = 0;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && st->avg_frame_rate.num && st->avg_frame_rate.den)
        perSecond = av_q2d(st->avg_frame_rate);
    else if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0)
        perSecond = static_cast<double>(par->sample_rate) / std::max(par->frame_size, 1024);
    else if (seconds > 0)
        perSecond = 1;
    return static_cast<int64_t>(seconds * perSecond);
}

} // namespace

void TFilterChain::Free() {
    avfilter_graph_free(&Graph);
    Source = nullptr;
    Sink = nullptr;
    InWidth = InHeight = 0;
    InFormat = -1;
}

TTranscoder::TTranscoder(TTranscodeJob& job) : job_(job), opt_(job.Options) {
    hookActive_ = static_cast<bool>(job.Callbacks.CustomHook);
    hookModulesActive_ = opt_.HookModulesActive && static_cast<bool>(job.Callbacks.FrameHookProcess);
    previewFlags_ = job.Callbacks.PreviewFlags ? 3 : opt_.PreviewFlags;
}

TTranscoder::~TTranscoder() {
    CloseCodecs();
    Cleanup();
}

[[noreturn]] void TTranscoder::Fail(const std::string& message) {
    throw TTranscodeError(message);
}

void TTranscoder::Log(int level, const std::string& message) {
    FFLogger().Log(job_.Sender, static_cast<TLogLevel>(level), message);
}

bool TTranscoder::Stopping() const {
    return job_.Break && job_.Break->load();
}

std::string TTranscoder::TypeName(int mediaType) const {
    return MediaTypeName(mediaType);
}

void TTranscoder::Run() {
    stepStart_ = av_gettime();
    job_.Finished = false;
    job_.DecodedVideoFrames = 0;
    SetUp();
    PacketLoop();
    Finish();
}

// ---------------------------------------------------------------------------------------------
// Set-up

void TTranscoder::SetUp() {
    encPkt_ = av_packet_alloc();
    audioOut_ = av_frame_alloc();
    if (!encPkt_ || !audioOut_)
        Fail("av_mallocz fail");
    BuildInputTables();
    CheckOutputsAndMaps();
    SelectSources();
    for (auto& ost : osts_) {
        auto& ist = ists_[ost.Source];
        const AVCodecParameters* ipar = ist.Stream->codecpar;
        av_dict_copy(&ost.Stream->metadata, ist.Stream->metadata, AV_DICT_DONT_OVERWRITE);
        ost.Stream->disposition = ist.Stream->disposition;
        if (ost.Copy) {
            PrepareStreamCopy(ost, ist);
        } else {
            ost.Encoder->bits_per_raw_sample = ipar->bits_per_raw_sample;
            ost.Encoder->chroma_sample_location = ipar->chroma_location;
            PrepareEncoding(ost, ist);
        }
    }
    for (size_t i = 0; i < osts_.size(); ++i)
        if (osts_[i].EncodingNeeded)
            PrepareTwoPass(osts_[i], static_cast<int>(i));
    // Decoders first: a subtitle encoder takes its style header from the decoder.
    OpenDecoders();
    OpenEncoders();
    // A reordering decoder's first frames come out late; start the clock before zero by that much.
    for (auto& ist : ists_) {
        const AVRational fr = ist.Stream->avg_frame_rate;
        if (ist.Decoder && fr.num && fr.den && ist.Decoder->codec_type == AVMEDIA_TYPE_VIDEO)
            ist.Pts = -static_cast<int64_t>(ist.Decoder->has_b_frames * AV_TIME_BASE / av_q2d(fr));
        else
            ist.Pts = 0;
        ist.NextPts = AV_NOPTS_VALUE;
        ist.IsStart = true;
    }
    SetUpBitstreamFilters();
    CopyMetaDataMaps();
    CopyChapters();
    WriteHeaders();
    LogStreamMapping();
    setUpDone_ = true;
}

void TTranscoder::BuildInputTables() {
    int first = 0;
    for (size_t f = 0; f < job_.Inputs.size(); ++f) {
        AVFormatContext* ic = job_.Inputs[f].Context;
        TInputFileState file;
        file.FirstStream = first;
        file.StreamCount = static_cast<int>(ic->nb_streams);
        files_.push_back(file);
        for (unsigned s = 0; s < ic->nb_streams; ++s) {
            TInputStreamState ist;
            ist.FileIndex = static_cast<int>(f);
            ist.StreamIndex = static_cast<int>(s);
            ist.Stream = ic->streams[s];
            if (ist.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
                ist.Rotation = StreamRotation(ist.Stream);
                ist.UprightChain = UprightFilterChain(ist.Stream);
            }
            if (opt_.RateEmulation)
                ist.Start = av_gettime();
            ists_.push_back(ist);
        }
        first += file.StreamCount;
    }
}

void TTranscoder::CheckOutputsAndMaps() {
    size_t count = 0;
    for (size_t f = 0; f < job_.Outputs.size(); ++f) {
        AVFormatContext* oc = job_.Outputs[f].Context;
        if (oc->nb_streams == 0) {
            av_dump_format(oc, static_cast<int>(f), oc->url, 1);
            Fail(Format("Output file #%d does not contain any stream", static_cast<int>(f)));
        }
        count += oc->nb_streams;
    }
    if (!job_.StreamMaps.empty() && job_.StreamMaps.size() != count)
        Fail("Number of stream maps must match number of output streams");
    const int nbInputs = static_cast<int>(files_.size());
    for (const auto& m : job_.StreamMaps) {
        if (m.File < 0 || m.File >= nbInputs || m.Stream < 0 || m.Stream >= files_[m.File].StreamCount)
            Fail(Format("Could not find input stream #%d.%d", m.File, m.Stream));
        if (m.SyncFile < 0 || m.SyncFile >= nbInputs || m.SyncStream < 0 ||
            m.SyncStream >= files_[m.SyncFile].StreamCount)
            Fail(Format("Could not find sync stream #%d.%d", m.SyncFile, m.SyncStream));
    }
    for (size_t f = 0; f < job_.Outputs.size(); ++f) {
        auto& out = job_.Outputs[f];
        for (unsigned s = 0; s < out.Context->nb_streams; ++s) {
            TOutputStreamState ost;
            ost.FileIndex = static_cast<int>(f);
            ost.Index = static_cast<int>(s);
            ost.Stream = out.Context->streams[s];
            if (s < out.Streams.size()) {
                ost.Encoder = out.Streams[s].Copy ? nullptr : out.Streams[s].Encoder;
                ost.ForcedEncoder = out.Streams[s].ForcedEncoder;
                ost.Copy = out.Streams[s].Copy || !out.Streams[s].Encoder;
            } else {
                ost.Copy = true;
            }
            osts_.push_back(ost);
        }
    }
}

void TTranscoder::SelectSources() {
    size_t mapIndex = 0;
    for (auto& ost : osts_) {
        AVFormatContext* oc = job_.Outputs[ost.FileIndex].Context;
        const AVMediaType type = OutputType(ost.Stream, ost.Encoder);
        if (!job_.StreamMaps.empty()) {
            const TStreamMap& m = job_.StreamMaps[mapIndex++];
            const int src = files_[m.File].FirstStream + m.Stream;
            const AVMediaType itype = ists_[src].Stream->codecpar->codec_type;
            if (itype != type) {
                av_dump_format(oc, ost.FileIndex, oc->url, 1);
                Fail(Format("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", m.File, m.Stream,
                            TypeName(itype).c_str(), ost.FileIndex, ost.Index, TypeName(type).c_str()));
            }
            ost.Source = src;
            ost.SyncSource = files_[m.SyncFile].FirstStream + m.SyncStream;
        } else {
            int best = -1;
            int64_t bestFrames = -1;
            for (size_t j = 0; j < ists_.size(); ++j) {
                const auto& ist = ists_[j];
                if (!ist.Discard || ist.Stream->discard == AVDISCARD_ALL ||
                    ist.Stream->codecpar->codec_type != type)
                    continue;
                if (opt_.ProgramId) {
                    AVFormatContext* ic = job_.Inputs[ist.FileIndex].Context;
                    bool inProgram = false;
                    for (unsigned p = 0; p < ic->nb_programs && !inProgram; ++p) {
                        const AVProgram* prog = ic->programs[p];
                        if (prog->id != opt_.ProgramId)
                            continue;
                        for (unsigned k = 0; k < prog->nb_stream_indexes; ++k)
                            if (static_cast<int>(prog->stream_index[k]) == ist.StreamIndex)
                                inProgram = true;
                    }
                    if (!inProgram)
                        continue;
                }
                const int64_t frames = StreamFrameCount(job_.Inputs[ist.FileIndex].Context, ist.Stream);
                if (frames > bestFrames) {
                    bestFrames = frames;
                    best = static_cast<int>(j);
                }
            }
            if (best < 0 && !opt_.ProgramId) {
                for (size_t j = 0; j < ists_.size(); ++j) {
                    const auto& ist = ists_[j];
                    if (ist.Stream->codecpar->codec_type == type && ist.Stream->discard != AVDISCARD_ALL)
                        best = static_cast<int>(j);
                }
            }
            if (best < 0) {
                av_dump_format(oc, ost.FileIndex, oc->url, 1);
                Fail(Format("Could not find input stream matching output stream #%d.%d (%s)", ost.FileIndex,
                            ost.Index, TypeName(type).c_str()));
            }
            ost.Source = best;
            ost.SyncSource = best;
        }
        ists_[ost.Source].Discard = false;
    }
}

void TTranscoder::PrepareStreamCopy(TOutputStreamState& ost, TInputStreamState& ist) {
    const AVCodecParameters* ipar = ist.Stream->codecpar;
    AVCodecParameters* opar = ost.Stream->codecpar;
    const AVOutputFormat* ofmt = job_.Outputs[ost.FileIndex].Context->oformat;
    if (static_cast<uint64_t>(ipar->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE > INT_MAX)
        Fail("icodec.extradata_size is invalid (too large)");
    const uint32_t requestedTag = opar->codec_tag;
    if (avcodec_parameters_copy(opar, ipar) < 0)
        Fail("av_mallocz fail");
    if (requestedTag) {
        opar->codec_tag = requestedTag;
    } else {
        const AVCodecTag* const* tags = ofmt->codec_tag;
        unsigned int tag = 0;
        if (!tags || av_codec_get_id(tags, ipar->codec_tag) == ipar->codec_id ||
            !av_codec_get_tag2(tags, ipar->codec_id, &tag))
            opar->codec_tag = ipar->codec_tag;
        else
            opar->codec_tag = 0;
    }
    ost.Stream->time_base = ist.Stream->time_base;
    ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
    ost.Stream->r_frame_rate = ist.Stream->r_frame_rate;
    switch (ipar->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
        if (opt_.AudioVolume != 256)
            Fail("-acodec copy and -vol are incompatible (frames are not decoded)");
        if ((opar->block_align == 1 && opar->codec_id == AV_CODEC_ID_MP3) ||
            opar->codec_id == AV_CODEC_ID_AC3)
            opar->block_align = 0;
        break;
    case AVMEDIA_TYPE_VIDEO:
        if (job_.Callbacks.CustomHook)
            Fail("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
        if (opt_.HookModulesActive)
            Fail("-vcodec copy and -vhook are incompatible (frames are not decoded)");
        if (CurrentPreviewFlags())
            Fail("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
        // The picture is not touched, so the rotation must travel with it for players to apply.
        for (int i = 0; i < ist.Stream->nb_side_data; ++i) {
            const AVPacketSideData& sd = ist.Stream->side_data[i];
            uint8_t* dst = av_stream_new_side_data(ost.Stream, sd.type, sd.size);
            if (dst)
                std::memcpy(dst, sd.data, sd.size);
        }
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        break;
    default:
        Fail("invalid codec_type of output stream");
    }
}

void TTranscoder::PrepareEncoding(TOutputStreamState& ost, TInputStreamState& ist) {
    AVCodecContext* enc = ost.Encoder;
    const AVCodecParameters* ipar = ist.Stream->codecpar;
    switch (enc->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
        ost.AudioResample = enc->sample_rate != ipar->sample_rate || opt_.AudioSync > 1;
        ist.DecodingNeeded = true;
        ost.EncodingNeeded = true;
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        ist.DecodingNeeded = true;
        ost.EncodingNeeded = true;
        break;
    case AVMEDIA_TYPE_VIDEO: {
        if (enc->pix_fmt == AV_PIX_FMT_NONE)
            Fail("Video pixel format is unknown, stream cannot be encoded");
        // The frames reach the output upright, so the sizes seen here are the upright ones.
        int srcW = ipar->width;
        int srcH = ipar->height;
        if (ist.Rotation == 90 || ist.Rotation == 270)
            std::swap(srcW, srcH);
        const int srcFmt = ipar->format;
        ost.VideoCrop = (opt_.CropTop | opt_.CropBottom | opt_.CropLeft | opt_.CropRight) != 0;
        if (ost.VideoCrop) {
            ost.TopBand = ost.OriginalTopBand = opt_.CropTop;
            ost.BottomBand = ost.OriginalBottomBand = opt_.CropBottom;
            ost.LeftBand = ost.OriginalLeftBand = opt_.CropLeft;
            ost.RightBand = ost.OriginalRightBand = opt_.CropRight;
        }
        const int cropW = srcW - ost.LeftBand - ost.RightBand;
        const int cropH = srcH - ost.TopBand - ost.BottomBand;
        if (opt_.VideoFilters.empty())
            EvenEncoderSize(ost);
        ost.VideoResample = cropW != enc->width || cropH != enc->height || srcFmt != enc->pix_fmt;
        ost.ResampleWidth = cropW;
        ost.ResampleHeight = cropH;
        ost.ResampleFormat = srcFmt;
        ost.OriginalWidth = srcW;
        ost.OriginalHeight = srcH;
        ist.DecodingNeeded = true;
        ost.EncodingNeeded = true;
        if (!opt_.VideoFilters.empty()) {
            BuildVideoFilters(ost, srcW, srcH, srcFmt, true);
        } else if (ost.VideoResample) {
            // The scaler is made for the first frame that arrives: its size and format are the
            // ones the decoder really delivers.
            enc->bits_per_raw_sample = 0;
        }
        break;
    }
    default:
        Fail("invalid codec_type of output stream");
    }
}

void TTranscoder::PrepareTwoPass(TOutputStreamState& ost, int ostIndex) {
    AVCodecContext* enc = ost.Encoder;
    if (!(enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)))
        return;
    std::string name =
        (opt_.PassLogFilePrefix.empty() ? std::string("ffmpeg2pass") : opt_.PassLogFilePrefix) + "-" +
        std::to_string(ostIndex) + ".log";
    if (name.size() > 1023)
        name.resize(1023);
    ost.LogFileName = name;
    const AVCodec* codec = ost.ForcedEncoder ? ost.ForcedEncoder : avcodec_find_encoder(enc->codec_id);
    if (codec && std::strcmp(codec->name, "libx264") == 0) {
        // x264 keeps its own statistics file; give it ours by name.
        av_opt_set(enc->priv_data, "stats", name.c_str(), 0);
        return;
    }
    if (enc->flags & AV_CODEC_FLAG_PASS1) {
        ost.LogFile = std::fopen(name.c_str(), "wb");
        if (!ost.LogFile)
            Fail(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
    } else {
        std::ifstream in(name, std::ios::binary);
        if (!in)
            Fail(Format("Cannot read file: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = ss.str();
        ost.StatsIn = static_cast<char*>(av_malloc(text.size() + 1));
        if (!ost.StatsIn)
            Fail(Format("Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding",
                        name.c_str()));
        std::memcpy(ost.StatsIn, text.c_str(), text.size() + 1);
        enc->stats_in = ost.StatsIn;
    }
}

void TTranscoder::EvenEncoderSize(TOutputStreamState& ost) {
    AVCodecContext* enc = ost.Encoder;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(enc->pix_fmt);
    if (!desc)
        return;
    // Subsampled chroma needs whole chroma samples; an odd size would make the encoder refuse
    // the stream, so the picture loses its last column or row instead.
    if (desc->log2_chroma_w > 0 && (enc->width & 1) && enc->width > 1)
        enc->width &= ~1;
    if (desc->log2_chroma_h > 0 && (enc->height & 1) && enc->height > 1)
        enc->height &= ~1;
}

void TTranscoder::OpenEncoders() {
    for (auto& ost : osts_) {
        if (!ost.EncodingNeeded)
            continue;
        AVCodecContext* enc = ost.Encoder;
        const AVCodec* codec = ost.ForcedEncoder ? ost.ForcedEncoder : avcodec_find_encoder(enc->codec_id);
        const AVMediaType type = enc->codec_type;
        if (!codec) {
            LogStreamMapping();
            Fail(Format("Encoder (codec id %d) not found for output stream #%d.%d (%s)", enc->codec_id,
                        ost.FileIndex, ost.Index, TypeName(type).c_str()));
        }
        enc->thread_count = 0;
        // A muxer that keeps codec headers out of the packets needs them from the encoder
        // (unless local headers were asked for).
        if ((job_.Outputs[ost.FileIndex].Context->oformat->flags & AVFMT_GLOBALHEADER) &&
            !(enc->flags2 & AV_CODEC_FLAG2_LOCAL_HEADER))
            enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (type == AVMEDIA_TYPE_AUDIO && enc->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
            const int channels = std::max(1, enc->ch_layout.nb_channels);
            av_channel_layout_uninit(&enc->ch_layout);
            av_channel_layout_default(&enc->ch_layout, channels);
        }
        if (type == AVMEDIA_TYPE_AUDIO && codec->ch_layouts) {
            // An encoder that lists its layouts only takes those; keep the channel count when
            // one of them has it.
            bool listed = false;
            for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l)
                if (!av_channel_layout_compare(l, &enc->ch_layout))
                    listed = true;
            if (!listed) {
                const AVChannelLayout* pick = codec->ch_layouts;
                for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l)
                    if (l->nb_channels == enc->ch_layout.nb_channels) {
                        pick = l;
                        break;
                    }
                av_channel_layout_uninit(&enc->ch_layout);
                av_channel_layout_copy(&enc->ch_layout, pick);
            }
        }
        if (type == AVMEDIA_TYPE_VIDEO) {
            EvenEncoderSize(ost);
            if (!enc->framerate.num && enc->time_base.num)
                enc->framerate = av_inv_q(enc->time_base);
        }
        if (type == AVMEDIA_TYPE_SUBTITLE) {
            const auto& ist = ists_[ost.Source];
            const AVCodecContext* dec = ist.Decoder;
            if (dec && dec->subtitle_header && !enc->subtitle_header) {
                enc->subtitle_header = static_cast<uint8_t*>(av_mallocz(dec->subtitle_header_size + 1));
                if (!enc->subtitle_header)
                    Fail("av_mallocz fail");
                std::memcpy(enc->subtitle_header, dec->subtitle_header, dec->subtitle_header_size);
                enc->subtitle_header_size = dec->subtitle_header_size;
            }
            if (!enc->time_base.num)
                enc->time_base = AV_TIME_BASE_Q;
            if (ist.Stream->codecpar->width && !enc->width) {
                enc->width = ist.Stream->codecpar->width;
                enc->height = ist.Stream->codecpar->height;
            }
        }
        int ret;
        {
            std::lock_guard<std::mutex> lock(CodecLock());
            ret = avcodec_open2(enc, codec, nullptr);
        }
        if (ret < 0) {
            LogStreamMapping();
            Log(llError, ErrorText(codec->name, ret));
            Fail(Format(
                "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect parameters "
                "such as bit_rate, rate, width or height. Please check error log message to find out "
                "more detail information.",
                ost.FileIndex, ost.Index, TypeName(type).c_str()));
        }
        headerBytes_ += enc->extradata_size;
        if (avcodec_parameters_from_context(ost.Stream->codecpar, enc) < 0)
            Fail("av_mallocz fail");
        ost.Stream->time_base = enc->time_base;
        if (type == AVMEDIA_TYPE_VIDEO)
            ost.Stream->avg_frame_rate = enc->framerate;
        if (type == AVMEDIA_TYPE_AUDIO) {
            ost.PcmLike = enc->frame_size <= 1 || (codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
            ost.Fifo = av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024);
            if (!ost.Fifo)
                Fail("av_fifo_alloc fail");
        }
    }
}

void TTranscoder::OpenDecoders() {
    for (auto& ist : ists_) {
        if (!ist.DecodingNeeded)
            continue;
        const auto& in = job_.Inputs[ist.FileIndex];
        const AVCodec* codec = ist.StreamIndex < static_cast<int>(in.ForcedDecoders.size())
                                   ? in.ForcedDecoders[ist.StreamIndex]
                                   : nullptr;
        const AVCodecParameters* par = ist.Stream->codecpar;
        if (!codec)
            codec = avcodec_find_decoder(par->codec_id);
        if (!codec) {
            LogStreamMapping();
            Fail(Format("Decoder (codec id %d) not found for input stream #%d.%d (%s)", par->codec_id,
                        ist.FileIndex, ist.StreamIndex, TypeName(par->codec_type).c_str()));
        }
        ist.Decoder = avcodec_alloc_context3(codec);
        if (!ist.Decoder || avcodec_parameters_to_context(ist.Decoder, par) < 0)
            Fail("av_mallocz fail");
        ist.Decoder->pkt_timebase = ist.Stream->time_base;
        ist.Decoder->thread_count = 0;
        if (job_.Callbacks.CopyCodecOptions) {
            int flags = AV_OPT_FLAG_DECODING_PARAM;
            if (par->codec_type == AVMEDIA_TYPE_VIDEO)
                flags |= AV_OPT_FLAG_VIDEO_PARAM;
            else if (par->codec_type == AVMEDIA_TYPE_AUDIO)
                flags |= AV_OPT_FLAG_AUDIO_PARAM;
            else if (par->codec_type == AVMEDIA_TYPE_SUBTITLE)
                flags |= AV_OPT_FLAG_SUBTITLE_PARAM;
            job_.Callbacks.CopyCodecOptions(ist.Decoder, flags);
            ist.Decoder->thread_count = 0;
        }
        int ret;
        {
            std::lock_guard<std::mutex> lock(CodecLock());
            ret = avcodec_open2(ist.Decoder, codec, nullptr);
        }
        if (ret < 0) {
            LogStreamMapping();
            Fail(Format("Error while opening decoder for input stream #%d.%d (%s)", ist.FileIndex,
                        ist.StreamIndex, TypeName(par->codec_type).c_str()));
        }
    }
}

void TTranscoder::SetUpBitstreamFilters() {
    for (auto& ost : osts_) {
        const auto& out = job_.Outputs[ost.FileIndex];
        if (ost.Index >= static_cast<int>(out.Streams.size()))
            continue;
        const AVCodecParameters* par = ost.Stream->codecpar;
        AVRational tb = ost.Stream->time_base;
        for (const auto& entry : out.Streams[ost.Index].BitstreamFilters) {
            const auto eq = entry.find('=');
            const std::string name = Trim(entry.substr(0, eq));
            const AVBitStreamFilter* filter = av_bsf_get_by_name(name.c_str());
            AVBSFContext* bsf = nullptr;
            if (!filter || av_bsf_alloc(filter, &bsf) < 0)
                Fail(Format("Unknown bitstream filter %s", Trim(entry).c_str()));
            ost.Bsfs.push_back(bsf);
            if (eq != std::string::npos && bsf->filter->priv_class)
                av_set_options_string(bsf->priv_data, entry.substr(eq + 1).c_str(), "=", ":");
            avcodec_parameters_copy(bsf->par_in, par);
            bsf->time_base_in = tb;
            const int ret = av_bsf_init(bsf);
            if (ret < 0)
                Fail(ErrorText(name, ret));
            par = bsf->par_out;
            tb = bsf->time_base_out;
        }
        if (!ost.Bsfs.empty()) {
            avcodec_parameters_copy(ost.Stream->codecpar, par);
            ost.Stream->time_base = tb;
        }
    }
}

void TTranscoder::CopyMetaDataMaps() {
    const int nbOut = static_cast<int>(job_.Outputs.size());
    const int nbIn = static_cast<int>(job_.Inputs.size());
    for (const auto& m : job_.MetaDataMaps) {
        if (m.Out < 0 || m.Out >= nbOut) {
            LogStreamMapping();
            Fail(Format("Invalid output file index %d map_meta_data(%d,%d)", m.Out, m.Out, m.In));
        }
        if (m.In < 0 || m.In >= nbIn) {
            LogStreamMapping();
            Fail(Format("Invalid input file index %d map_meta_data(%d,%d)", m.In, m.Out, m.In));
        }
        av_dict_copy(&job_.Outputs[m.Out].Context->metadata, job_.Inputs[m.In].Context->metadata,
                     AV_DICT_DONT_OVERWRITE);
    }
}

void TTranscoder::CopyChapters() {
    for (size_t i = 0; i < job_.Inputs.size(); ++i) {
        AVFormatContext* ic = job_.Inputs[i].Context;
        if (!ic->nb_chapters)
            continue;
        for (auto& out : job_.Outputs) {
            AVFormatContext* oc = out.Context;
            for (unsigned c = 0; c < ic->nb_chapters; ++c) {
                const AVChapter* in = ic->chapters[c];
                const int64_t tsOff =
                    av_rescale_q(opt_.StartTime - job_.Inputs[i].TsOffset, AV_TIME_BASE_Q, in->time_base);
                const int64_t rt = opt_.RecordingTime == kRecordingTimeUnlimited
                                       ? INT64_MAX
                                       : av_rescale_q(opt_.RecordingTime, AV_TIME_BASE_Q, in->time_base);
                if (in->end < tsOff)
                    continue;
                if (rt != INT64_MAX && in->start > rt + tsOff)
                    break;
                auto* ch = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
                if (!ch)
                    Fail("av_mallocz fail");
                ch->id = in->id;
                ch->time_base = in->time_base;
                ch->start = std::max<int64_t>(0, in->start - tsOff);
                ch->end = std::min(rt, in->end - tsOff);
                av_dict_copy(&ch->metadata, in->metadata, 0);
                auto* grown = static_cast<AVChapter**>(
                    av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(*oc->chapters)));
                if (!grown) {
                    av_dict_free(&ch->metadata);
                    av_free(ch);
                    Fail("av_realloc fail");
                }
                oc->chapters = grown;
                oc->chapters[oc->nb_chapters++] = ch;
            }
        }
    }
}

void TTranscoder::WriteHeaders() {
    bool allRtp = !job_.Outputs.empty();
    for (size_t f = 0; f < job_.Outputs.size(); ++f) {
        AVFormatContext* oc = job_.Outputs[f].Context;
        const int ret = avformat_write_header(oc, nullptr);
        if (ret < 0) {
            LogStreamMapping();
            Log(llError, ErrorText(oc->url ? oc->url : "", ret));
            Fail(Format("Could not write header for output file #%d (incorrect codec parameters ?)",
                        static_cast<int>(f)));
        }
        if (std::strcmp(oc->oformat->name, "rtp") != 0)
            allRtp = false;
    }
    if (allRtp) {
        std::vector<AVFormatContext*> list;
        for (auto& out : job_.Outputs)
            list.push_back(out.Context);
        char sdp[2048] = {0};
        av_sdp_create(list.data(), static_cast<int>(list.size()), sdp, sizeof sdp);
        Log(llInfo, "SDP:\r\n" + Trim(sdp));
    }
}

void TTranscoder::LogStreamMapping() {
    static thread_local bool inside = false;
    if (inside)
        return;
    inside = true;
    for (size_t f = 0; f < job_.Outputs.size(); ++f) {
        AVFormatContext* oc = job_.Outputs[f].Context;
        av_dump_format(oc, static_cast<int>(f), oc->url, 1);
    }
    if (opt_.Verbosity >= 0 && !osts_.empty()) {
        Log(llVerbose, "Stream mapping:");
        for (const auto& ost : osts_) {
            const auto& ist = ists_[ost.Source];
            Log(llVerbose,
                Format("  Stream #%d.%d -> #%d.%d (%s)", ist.FileIndex, ist.StreamIndex, ost.FileIndex,
                       ost.Index, TypeName(ist.Stream->codecpar->codec_type).c_str()));
            if (ost.SyncSource != ost.Source) {
                const auto& sync = ists_[ost.SyncSource];
                Log(llVerbose, Format(" [sync #%d.%d (%s)]", sync.FileIndex, sync.StreamIndex,
                                      TypeName(sync.Stream->codecpar->codec_type).c_str()));
            }
        }
    }
    inside = false;
}

// ---------------------------------------------------------------------------------------------
// Packet loop

void TTranscoder::PacketLoop() {
    std::array<bool, 20> noPacket{};
    int noPacketCount = 0;
    int64_t lastReport = av_gettime();
    AVPacket* pkt = av_packet_alloc();
    if (!pkt)
        Fail("av_mallocz fail");
    AVPacketGuard guard{pkt};

    while (!Stopping()) {
        if (job_.Gate) {
            job_.Gate->Pass();
            if (Stopping())
                break;
        }
        // 1. the input whose streams lag furthest behind
        int fileIndex = -1;
        double optsMin = 1e100;
        int64_t iptsMin = INT64_MAX;
        bool limitReached = false;
        for (const auto& ost : osts_) {
            const auto& ist = ists_[ost.Source];
            if (ist.PastRecordingTime || (ist.FileIndex < 20 && noPacket[ist.FileIndex]))
                continue;
            const double opts = ost.MuxTime;
            const int64_t ipts = ist.Pts;
            if (!files_[ist.FileIndex].Eof) {
                if (opt_.InputSync) {
                    if (ipts < iptsMin) {
                        iptsMin = ipts;
                        fileIndex = ist.FileIndex;
                    }
                } else if (opts < optsMin) {
                    optsMin = opts;
                    fileIndex = ist.FileIndex;
                }
            }
            const int type = OutputType(ost.Stream, ost.Encoder);
            const int limitIndex = type == AVMEDIA_TYPE_VIDEO   ? 0
                                   : type == AVMEDIA_TYPE_AUDIO ? 1
                                   : type == AVMEDIA_TYPE_DATA  ? 2
                                                                : 3;
            if (ost.FrameNumber >= opt_.FrameLimits[limitIndex]) {
                limitReached = true;
                break;
            }
        }
        if (limitReached)
            fileIndex = -1;
        // 2.
        if (fileIndex < 0) {
            if (noPacketCount > 0 && !limitReached) {
                noPacket.fill(false);
                noPacketCount = 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            break;
        }
        // 3. output size limit
        if (opt_.FileSizeLimit > 0 && !job_.Outputs.empty() && job_.Outputs[0].Context->pb &&
            avio_tell(job_.Outputs[0].Context->pb) > opt_.FileSizeLimit)
            break;
        // 4. read
        AVFormatContext* ic = job_.Inputs[fileIndex].Context;
        const int ret = av_read_frame(ic, pkt);
        if (ret == AVERROR(EAGAIN)) {
            noPacket[fileIndex] = true;
            ++noPacketCount;
            continue;
        }
        if (ret < 0) {
            files_[fileIndex].Eof = true;
            if (opt_.Shortest)
                break;
            continue;
        }
        noPacket.fill(false);
        noPacketCount = 0;
        if (opt_.Dump)
            av_pkt_dump_log2(nullptr, AV_LOG_INFO, pkt, opt_.Hex ? 1 : 0, ic->streams[pkt->stream_index]);

        // 5. packets of unknown or unused streams
        const auto& file = files_[fileIndex];
        if (pkt->stream_index >= file.StreamCount) {
            av_packet_unref(pkt);
            continue;
        }
        const int istIndex = file.FirstStream + pkt->stream_index;
        auto& ist = ists_[istIndex];
        if (ist.Discard) {
            av_packet_unref(pkt);
            continue;
        }
        // 6. timestamp offset and scale
        auto& input = job_.Inputs[fileIndex];
        const AVRational tb = ist.Stream->time_base;
        const int64_t offset = av_rescale_q(input.TsOffset, AV_TIME_BASE_Q, tb);
        if (pkt->dts != AV_NOPTS_VALUE)
            pkt->dts += offset;
        if (pkt->pts != AV_NOPTS_VALUE)
            pkt->pts += offset;
        const double scale =
            ist.StreamIndex < static_cast<int>(input.TsScale.size()) ? input.TsScale[ist.StreamIndex] : 0.0;
        if (scale != 0.0) {
            if (pkt->pts != AV_NOPTS_VALUE)
                pkt->pts = std::llround(pkt->pts * scale);
            if (pkt->dts != AV_NOPTS_VALUE)
                pkt->dts = std::llround(pkt->dts * scale);
        }
        // 7. discontinuity
        if (pkt->dts != AV_NOPTS_VALUE && ist.NextPts != AV_NOPTS_VALUE &&
            (ic->iformat->flags & AVFMT_TS_DISCONT)) {
            const int64_t pktDts = ToMicro(pkt->dts, tb);
            const int64_t delta = pktDts - ist.NextPts;
            if ((std::llabs(delta) > static_cast<int64_t>(opt_.DtsDeltaThreshold * AV_TIME_BASE) ||
                 pktDts + 1 < ist.Pts) &&
                !opt_.CopyTimestamps) {
                input.TsOffset -= delta;
                if (opt_.Verbosity > 2)
                    Log(llVerbose, Format("timestamp discontinuity %" PRId64 ", new offset= %" PRId64, delta,
                                          input.TsOffset));
                const int64_t d = av_rescale_q(delta, AV_TIME_BASE_Q, tb);
                pkt->dts -= d;
                if (pkt->pts != AV_NOPTS_VALUE)
                    pkt->pts -= d;
                ist.IsStart = true;
            }
        }
        // 8. recording time: a packet decoded after the end can hold no frame before it
        if (opt_.RecordingTime != kRecordingTimeUnlimited) {
            const int64_t ts = ist.DecodingNeeded && pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
            if (ts != AV_NOPTS_VALUE &&
                av_compare_ts(ts, tb, opt_.RecordingTime + opt_.StartTime, AV_TIME_BASE_Q) >= 0) {
                ist.PastRecordingTime = true;
                av_packet_unref(pkt);
                continue;
            }
        }
        // 9.
        if (OutputPacket(ist, istIndex, pkt) < 0) {
            const std::string msg =
                Format("Error while decoding stream #%d.%d (%s)", ist.FileIndex, ist.StreamIndex,
                       TypeName(ist.Stream->codecpar->codec_type).c_str());
            if (opt_.ExitOnError)
                Fail(msg);
            if (opt_.Verbosity >= 0)
                Log(llVerbose, msg);
            av_packet_unref(pkt);
            continue;
        }
        // 10.
        av_packet_unref(pkt);
        const int64_t now = av_gettime();
        if (now - lastReport > opt_.ProgressInterval) {
            lastReport = now;
            PrintReport(false, fileIndex);
        }
    }
}

bool TTranscoder::IsOutputTime(int64_t pts) const {
    if (opt_.StartTime != 0 && pts < opt_.StartTime)
        return false;
    if (opt_.RecordingTime != kRecordingTimeUnlimited && pts >= opt_.RecordingTime + opt_.StartTime)
        return false;
    return true;
}

int TTranscoder::OutputPacket(TInputStreamState& ist, int istIndex, AVPacket* pkt) {
    if (ist.NextPts == AV_NOPTS_VALUE)
        ist.NextPts = ist.Pts;
    if (pkt && pkt->dts != AV_NOPTS_VALUE)
        ist.NextPts = ist.Pts = ToMicro(pkt->dts, ist.Stream->time_base);

    const AVMediaType type = ist.Stream->codecpar->codec_type;
    if (ist.DecodingNeeded) {
        int ret = 0;
        if (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO)
            ret = DecodeAudioVideo(ist, pkt);
        else if (type == AVMEDIA_TYPE_SUBTITLE)
            ret = DecodeSubtitle(ist, pkt);
        else
            ret = -1;
        if (ret < 0)
            return -1;
    } else if (pkt) {
        // stream copy
        if (type == AVMEDIA_TYPE_AUDIO) {
            const int rate = ist.Stream->codecpar->sample_rate;
            if (rate > 0)
                ist.NextPts += static_cast<int64_t>(ist.Stream->codecpar->frame_size) * AV_TIME_BASE / rate;
        } else if (type == AVMEDIA_TYPE_VIDEO) {
            if (pkt->duration > 0)
                ist.NextPts += ToMicro(pkt->duration, ist.Stream->time_base);
            else if (ist.Stream->avg_frame_rate.num)
                ist.NextPts += static_cast<int64_t>(AV_TIME_BASE / av_q2d(ist.Stream->avg_frame_rate));
        }
        if (opt_.RateEmulation) {
            const int64_t ahead = ist.Pts - (av_gettime() - ist.Start);
            if (ahead > 1000)
                av_usleep(static_cast<unsigned>(ahead / 1000 * 1000));
        }
        if (opt_.StartTime == 0 || ist.Pts >= opt_.StartTime)
            CopyPacket(ist, istIndex, pkt);
    }
    if (!pkt)
        FlushEncoders(ist, istIndex);
    return 0;
}

int TTranscoder::DecodeAudioVideo(TInputStreamState& ist, AVPacket* pkt) {
    AVCodecContext* dec = ist.Decoder;
    if (!pkt) {
        if (ist.DecoderDrained)
            return 0;
        ist.DecoderDrained = true;
    }
    int ret = avcodec_send_packet(dec, pkt);
    if (ret < 0 && ret != AVERROR_EOF && ret != AVERROR(EAGAIN))
        return -1;
    AVFrame* frame = av_frame_alloc();
    if (!frame)
        Fail("av_mallocz fail");
    AVFrameGuard guard{frame};
    int result = 0;
    while (true) {
        ret = avcodec_receive_frame(dec, frame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            break;
        if (ret < 0) {
            result = -1;
            break;
        }
        if (dec->codec_type == AVMEDIA_TYPE_AUDIO)
            HandleAudioFrame(ist, frame);
        else
            HandleVideoFrame(ist, frame);
        av_frame_unref(frame);
        if (Stopping() && pkt)
            break;
    }
    if (!pkt && dec->codec_type == AVMEDIA_TYPE_VIDEO && ist.Upright.Graph && !ist.UprightFlushed) {
        // Let a deinterlacer give up the frame it holds back.
        ist.UprightFlushed = true;
        if (av_buffersrc_add_frame(ist.Upright.Source, nullptr) >= 0)
            HandleVideoFrame(ist, nullptr);
    }
    return result;
}

void TTranscoder::HandleAudioFrame(TInputStreamState& ist, AVFrame* frame) {
    const int rate = frame->sample_rate > 0 ? frame->sample_rate : ist.Decoder->sample_rate;
    if (rate <= 0)
        return;
    const int64_t ts = frame->best_effort_timestamp;
    if (ts != AV_NOPTS_VALUE)
        ist.Pts = ToMicro(ts, ist.Stream->time_base);
    else
        ist.Pts = ist.NextPts;
    ist.NextPts = ist.Pts + static_cast<int64_t>(frame->nb_samples) * AV_TIME_BASE / rate;
    if (opt_.RateEmulation) {
        const int64_t ahead = ist.Pts - (av_gettime() - ist.Start);
        if (ahead > 1000)
            av_usleep(static_cast<unsigned>(ahead / 1000 * 1000));
    }
    // Samples before the start point or after the recording end are cut off exactly, so that
    // the audio begins and ends where the pictures do.
    const int64_t begin = std::max<int64_t>(opt_.StartTime, 0);
    const int64_t end =
        opt_.RecordingTime == kRecordingTimeUnlimited ? INT64_MAX : opt_.RecordingTime + opt_.StartTime;
    int skip = 0;
    int keep = frame->nb_samples;
    if (ist.Pts < begin)
        skip = static_cast<int>(
            std::min<int64_t>(frame->nb_samples, av_rescale(begin - ist.Pts, rate, AV_TIME_BASE)));
    if (end != INT64_MAX) {
        const int64_t until = av_rescale(end - ist.Pts, rate, AV_TIME_BASE);
        keep = static_cast<int>(std::clamp<int64_t>(until, 0, frame->nb_samples));
    }
    if (keep - skip <= 0)
        return;
    if (opt_.AudioVolume != 256)
        ApplyVolume(frame);
    AVFrame* view = frame;
    AVFrame* trimmed = nullptr;
    if (skip > 0 || keep < frame->nb_samples) {
        trimmed = av_frame_alloc();
        if (!trimmed || av_frame_ref(trimmed, frame) < 0)
            Fail("av_mallocz fail");
        const int bps = av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format));
        const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
        const int channels = frame->ch_layout.nb_channels;
        const int step = planar ? bps : bps * channels;
        const int planes = planar ? channels : 1;
        for (int p = 0; p < planes; ++p)
            trimmed->extended_data[p] += static_cast<ptrdiff_t>(skip) * step;
        for (int p = 0; p < std::min(planes, AV_NUM_DATA_POINTERS); ++p)
            trimmed->data[p] = trimmed->extended_data[p];
        trimmed->nb_samples = keep - skip;
        view = trimmed;
    }
    const int64_t savedPts = ist.Pts;
    ist.Pts += static_cast<int64_t>(skip) * AV_TIME_BASE / rate;
    for (auto& ost : osts_) {
        if (&ists_[ost.Source] != &ist || !ost.EncodingNeeded)
            continue;
        DoAudioOut(ost, ist, view);
    }
    ist.Pts = savedPts;
    av_frame_free(&trimmed);
}

void TTranscoder::ApplyVolume(AVFrame* frame) {
    if (av_frame_make_writable(frame) < 0)
        return;
    const auto fmt = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av_sample_fmt_is_planar(fmt);
    const int channels = frame->ch_layout.nb_channels;
    const int planes = planar ? channels : 1;
    const int count = frame->nb_samples * (planar ? 1 : channels);
    const int vol = opt_.AudioVolume;
    const double gain = vol / 256.0;
    for (int p = 0; p < planes; ++p) {
        uint8_t* d = frame->extended_data[p];
        switch (av_get_packed_sample_fmt(fmt)) {
        case AV_SAMPLE_FMT_S16: {
            auto* s = reinterpret_cast<int16_t*>(d);
            for (int i = 0; i < count; ++i)
                s[i] = static_cast<int16_t>(std::clamp((s[i] * vol + 128) >> 8, -32768, 32767));
            break;
        }
        case AV_SAMPLE_FMT_U8:
            for (int i = 0; i < count; ++i)
                d[i] = static_cast<uint8_t>(std::clamp((((d[i] - 128) * vol + 128) >> 8) + 128, 0, 255));
            break;
        case AV_SAMPLE_FMT_S32: {
            auto* s = reinterpret_cast<int32_t*>(d);
            for (int i = 0; i < count; ++i)
                s[i] = static_cast<int32_t>(
                    std::clamp<int64_t>((static_cast<int64_t>(s[i]) * vol + 128) >> 8, INT32_MIN, INT32_MAX));
            break;
        }
        case AV_SAMPLE_FMT_S64: {
            auto* s = reinterpret_cast<int64_t*>(d);
            for (int i = 0; i < count; ++i)
                s[i] = static_cast<int64_t>(std::clamp(s[i] * gain, -9.2e18, 9.2e18));
            break;
        }
        case AV_SAMPLE_FMT_FLT: {
            auto* s = reinterpret_cast<float*>(d);
            for (int i = 0; i < count; ++i)
                s[i] = std::clamp(static_cast<float>(s[i] * gain), -1.0f, 1.0f);
            break;
        }
        case AV_SAMPLE_FMT_DBL: {
            auto* s = reinterpret_cast<double*>(d);
            for (int i = 0; i < count; ++i)
                s[i] = std::clamp(s[i] * gain, -1.0, 1.0);
            break;
        }
        default:
            break;
        }
    }
}

void TTranscoder::HandleVideoFrame(TInputStreamState& ist, AVFrame* frame) {
    if (frame) {
        const int64_t ts = frame->best_effort_timestamp;
        int64_t duration = 0;
        if (frame->pkt_duration > 0)
            duration = ToMicro(frame->pkt_duration, ist.Stream->time_base);
        else if (ist.Decoder->framerate.num)
            duration = static_cast<int64_t>(AV_TIME_BASE / av_q2d(ist.Decoder->framerate) *
                                            (1 + frame->repeat_pict * 0.5));
        else if (ist.Stream->avg_frame_rate.num)
            duration = static_cast<int64_t>(AV_TIME_BASE / av_q2d(ist.Stream->avg_frame_rate));
        ist.Pts = ts != AV_NOPTS_VALUE ? ToMicro(ts, ist.Stream->time_base) : ist.NextPts;
        ist.NextPts = ist.Pts + duration;
        ist.Quality = static_cast<float>(frame->quality);
        frame->pts = av_rescale_q(ist.Pts, AV_TIME_BASE_Q, ist.Stream->time_base);
    }
    const bool upright = opt_.Deinterlace || !ist.UprightChain.empty();
    if (!upright) {
        if (frame)
            OutputVideoFrame(ist, frame);
        return;
    }
    if (frame) {
        if (!ist.Upright.Graph || ist.Upright.InWidth != frame->width ||
            ist.Upright.InHeight != frame->height || ist.Upright.InFormat != frame->format)
            BuildUprightChain(ist, frame);
        if (!ist.Upright.Graph) {
            OutputVideoFrame(ist, frame);
            return;
        }
        if (av_buffersrc_add_frame_flags(ist.Upright.Source, frame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0) {
            Log(llError, "Deinterlacing failed.");
            OutputVideoFrame(ist, frame);
            return;
        }
    }
    if (!ist.Upright.Graph)
        return;
    AVFrame* out = av_frame_alloc();
    if (!out)
        Fail("av_mallocz fail");
    while (av_buffersink_get_frame(ist.Upright.Sink, out) >= 0) {
        if (out->pts != AV_NOPTS_VALUE)
            ist.Pts = ToMicro(out->pts, ist.Stream->time_base);
        OutputVideoFrame(ist, out);
        av_frame_unref(out);
    }
    av_frame_free(&out);
}

void TTranscoder::OutputVideoFrame(TInputStreamState& ist, AVFrame* frame) {
    PreProcessVideoFrame(ist, frame);
    if (opt_.RateEmulation) {
        const int64_t ahead = ist.Pts - (av_gettime() - ist.Start);
        if (ahead > 1000)
            av_usleep(static_cast<unsigned>(ahead / 1000 * 1000));
    }
    if (!IsOutputTime(ist.Pts))
        return;
    for (auto& ost : osts_) {
        if (&ists_[ost.Source] != &ist || !ost.EncodingNeeded)
            continue;
        DoVideoOut(ost, ist, frame);
    }
}

int TTranscoder::DecodeSubtitle(TInputStreamState& ist, AVPacket* pkt) {
    if (!pkt)
        return 0;
    AVSubtitle sub{};
    int got = 0;
    const int ret = avcodec_decode_subtitle2(ist.Decoder, &sub, &got, pkt);
    if (ret < 0)
        return -1;
    if (!got)
        return 0;
    if (opt_.StartTime == 0 || ist.Pts >= opt_.StartTime) {
        for (auto& ost : osts_) {
            if (&ists_[ost.Source] != &ist || !ost.EncodingNeeded)
                continue;
            try {
                DoSubtitleOut(ost, ist, &sub, pkt->pts);
            } catch (...) {
                avsubtitle_free(&sub);
                throw;
            }
        }
    }
    avsubtitle_free(&sub);
    return 0;
}

void TTranscoder::CopyPacket(TInputStreamState& ist, int istIndex, const AVPacket* pkt) {
    for (auto& ost : osts_) {
        if (ost.Source != istIndex || ost.EncodingNeeded)
            continue;
        if (!ost.SeenKeyFrame && !opt_.CopyInitialNonKeyFrames && !(pkt->flags & AV_PKT_FLAG_KEY))
            continue;
        ost.SeenKeyFrame = true;
        const AVMediaType type = ist.Stream->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_AUDIO)
            audioBytes_ += pkt->size;
        else if (type == AVMEDIA_TYPE_VIDEO) {
            videoBytes_ += pkt->size;
            ost.SyncOpts++;
        }
        AVPacket* opkt = av_packet_clone(pkt);
        if (!opkt)
            Fail("av_mallocz fail");
        const AVRational itb = ist.Stream->time_base;
        const AVRational otb = ost.Stream->time_base;
        const int64_t ssOut = av_rescale_q(opt_.StartTime, AV_TIME_BASE_Q, otb);
        if (pkt->pts != AV_NOPTS_VALUE)
            opkt->pts = av_rescale_q(pkt->pts, itb, otb) - ssOut;
        else
            opkt->pts = AV_NOPTS_VALUE;
        if (pkt->dts == AV_NOPTS_VALUE)
            opkt->dts = av_rescale_q(ist.Pts, AV_TIME_BASE_Q, otb) - ssOut;
        else
            opkt->dts = av_rescale_q(pkt->dts, itb, otb) - ssOut;
        opkt->duration = av_rescale_q(pkt->duration, itb, otb);
        opkt->flags = pkt->flags;
        opkt->time_base = otb;
        try {
            WriteFrame(ost, opkt);
        } catch (...) {
            av_packet_free(&opkt);
            throw;
        }
        av_packet_free(&opkt);
        ost.FrameNumber++;
    }
}

void TTranscoder::FlushEncoders(TInputStreamState& ist, int istIndex) {
    for (auto& ost : osts_) {
        if (ost.Source != istIndex || !ost.EncodingNeeded)
            continue;
        AVCodecContext* enc = ost.Encoder;
        if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
            if (ost.Filters.Graph && !ost.FiltersFlushed) {
                ost.FiltersFlushed = true;
                if (av_buffersrc_add_frame(ost.Filters.Source, nullptr) >= 0)
                    DoVideoOut(ost, ist, nullptr);
            }
            if (avcodec_send_frame(enc, nullptr) < 0 && !(enc->codec->capabilities & AV_CODEC_CAP_DELAY))
                continue;
            ReceiveVideoPackets(ost, nullptr);
        } else if (enc->codec_type == AVMEDIA_TYPE_AUDIO) {
            FlushAudio(ost);
        }
    }
}

void TTranscoder::WriteFrame(TOutputStreamState& ost, AVPacket* pkt) {
    pkt->stream_index = ost.Stream->index;
    if (ost.Bsfs.empty()) {
        WriteOne(ost, pkt);
        return;
    }
    // Through every filter of the chain in turn; a filter may hold packets back or split them.
    std::vector<AVPacket*> current{av_packet_clone(pkt)};
    for (AVBSFContext* bsf : ost.Bsfs) {
        std::vector<AVPacket*> next;
        for (AVPacket* p : current) {
            int ret = av_bsf_send_packet(bsf, p);
            av_packet_free(&p);
            if (ret < 0) {
                const std::string msg =
                    Format("%s failed for stream %d, codec %s", bsf->filter->name, ost.Stream->index,
                           ost.Encoder ? ost.Encoder->codec->name : "copy") +
                    ": " + ErrorCodeText(ret);
                for (AVPacket* q : next)
                    av_packet_free(&q);
                if (opt_.ExitOnError)
                    Fail(msg);
                Log(llError, msg);
                return;
            }
            while (true) {
                AVPacket* out = av_packet_alloc();
                ret = av_bsf_receive_packet(bsf, out);
                if (ret < 0) {
                    av_packet_free(&out);
                    break;
                }
                next.push_back(out);
            }
        }
        current.swap(next);
    }
    for (size_t i = 0; i < current.size(); ++i) {
        try {
            current[i]->stream_index = ost.Stream->index;
            WriteOne(ost, current[i]);
        } catch (...) {
            for (size_t j = i; j < current.size(); ++j)
                av_packet_free(&current[j]);
            throw;
        }
        av_packet_free(&current[i]);
    }
}

void TTranscoder::WriteOne(TOutputStreamState& ost, AVPacket* pkt) {
    AVFormatContext* oc = job_.Outputs[ost.FileIndex].Context;
    const AVRational tb = ost.Stream->time_base;
    if (!(oc->oformat->flags & AVFMT_NOTIMESTAMPS)) {
        if (pkt->dts == AV_NOPTS_VALUE)
            pkt->dts = pkt->pts;
        // A muxer refuses a decoding time that goes backwards; move such a packet just after
        // the previous one instead of ending the conversion.
        if (pkt->dts != AV_NOPTS_VALUE && ost.LastMuxDts != INT64_MIN) {
            const int64_t least = ost.LastMuxDts + ((oc->oformat->flags & AVFMT_TS_NONSTRICT) ? 0 : 1);
            if (pkt->dts < least) {
                if (pkt->pts != AV_NOPTS_VALUE && pkt->pts == pkt->dts)
                    pkt->pts = least;
                pkt->dts = least;
                if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < pkt->dts)
                    pkt->pts = pkt->dts;
            }
        }
        if (pkt->dts != AV_NOPTS_VALUE)
            ost.LastMuxDts = pkt->dts;
    }
    const int64_t t = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if (t != AV_NOPTS_VALUE)
        ost.MuxTime = std::max(ost.MuxTime, (t + std::max<int64_t>(pkt->duration, 0)) * av_q2d(tb));
    const int ret = av_interleaved_write_frame(oc, pkt);
    if (ret < 0)
        Fail("av_interleaved_write_frame()" + std::string(": ") + ErrorCodeText(ret));
    ost.PacketsWritten++;
}

// ---------------------------------------------------------------------------------------------
// Progress report and finish

void TTranscoder::PrintReport(bool isLastReport, int fileIndex) {
    if (job_.Outputs.empty())
        return;
    AVFormatContext* oc = job_.Outputs[0].Context;
    int64_t totalSize = 0;
    if (oc->pb) {
        avio_flush(oc->pb);
        totalSize = avio_size(oc->pb);
        if (totalSize < 0)
            totalSize = avio_tell(oc->pb);
    }
    std::string line;
    int frameNumber = -1;
    int fps = -1;
    float quality = -1.0f;
    bool videoSeen = false;
    double reportTime = 1e10;
    for (const auto& ost : osts_) {
        const AVMediaType type = OutputType(ost.Stream, ost.Encoder);
        const float q = ost.Copy ? -1.0f : ost.LastQuality;
        if (type == AVMEDIA_TYPE_VIDEO) {
            if (!videoSeen) {
                videoSeen = true;
                const double t = (av_gettime() - stepStart_) / 1e6;
                frameNumber = static_cast<int>(ost.FrameNumber);
                if (frameNumber < 1)
                    return;
                fps = ReportFps(frameNumber, t);
                quality = q;
                line += FormatReportFramePart(frameNumber, fps, q, isLastReport);
                if (opt_.QpHistogram) {
                    const int qp = static_cast<int>(std::lround(q));
                    if (qp >= 0 && qp < 52)
                        qpHistogram_[qp]++;
                    line += FormatQpHistogram(qpHistogram_);
                }
                if (ost.Encoder && (ost.Encoder->flags & AV_CODEC_FLAG_PSNR)) {
                    const double scale =
                        static_cast<double>(ost.Encoder->width) * ost.Encoder->height * 255.0 * 255.0;
                    double errSum = 0;
                    double scaleSum = 0;
                    line += "PSNR=";
                    for (int j = 0; j < 3; ++j) {
                        double error =
                            static_cast<double>(isLastReport ? ost.Encoder->error[j] : ost.LastError[j]);
                        double s = isLastReport ? scale * frameNumber : scale;
                        if (j)
                            s /= 4;
                        errSum += error;
                        scaleSum += s;
                        const double psnr = error > 0 ? -10.0 * std::log10(error / s) : 99.0;
                        line += Format("%c:%2.2f ", "YUV"[j], psnr);
                    }
                    line += Format("*:%2.2f ", errSum > 0 ? -10.0 * std::log10(errSum / scaleSum) : 99.0);
                }
            } else {
                line += Format("q=%2.1f ", static_cast<double>(q));
            }
        }
        const double pts = ost.MuxTime;
        if (pts > 0 && pts < reportTime)
            reportTime = pts;
    }
    if (reportTime < 0.01 || reportTime >= 1e10)
        reportTime = std::max(0.01, reportTime >= 1e10 ? 0.01 : reportTime);
    const bool handler = static_cast<bool>(job_.Callbacks.Progress);
    if (handler || opt_.Verbosity > 0 || isLastReport) {
        const double bitrate = ReportBitrate(totalSize, reportTime);
        line += FormatReportSizePart(totalSize, reportTime, duplicated_, dropped_);
        if (countersChanged_ && opt_.Verbosity >= 0 && handler) {
            countersChanged_ = false;
            Log(llVerbose, line);
        }
        if (handler) {
            job_.Callbacks.Progress(isLastReport ? -1 : fileIndex, frameNumber, fps, quality,
                                    static_cast<float>(bitrate), totalSize, std::llround(reportTime * 1e6),
                                    opt_.TotalDuration);
        } else if (opt_.Verbosity >= 0) {
            Log(llVerbose, line);
        }
    }
    if (isLastReport && opt_.Verbosity >= 0)
        Log(llVerbose, FormatReportSummary(totalSize, videoBytes_, audioBytes_, headerBytes_));
}

void TTranscoder::Finish() {
    for (size_t i = 0; i < ists_.size(); ++i)
        if (ists_[i].DecodingNeeded)
            OutputPacket(ists_[i], static_cast<int>(i), nullptr);
    for (auto& out : job_.Outputs)
        av_write_trailer(out.Context);
    PrintReport(true, -1);
    CloseCodecs();
    job_.Finished = !Stopping();
    finished_ = true;
    Cleanup();
    // A run that went to the end of its input without writing a single packet converted
    // nothing (an input whose media data is missing); that is not a success.
    bool wroteAny = false;
    for (const auto& ost : osts_)
        wroteAny = wroteAny || ost.PacketsWritten > 0;
    if (!wroteAny && job_.Finished && !osts_.empty()) {
        job_.Finished = false;
        Fail("Nothing could be converted: no frame of the input could be decoded");
    }
}

void TTranscoder::CloseCodecs() {
    for (auto& ost : osts_) {
        if (ost.Encoder && ost.StatsIn) {
            ost.Encoder->stats_in = nullptr;
        }
        av_freep(&ost.StatsIn);
    }
    for (auto& ist : ists_) {
        if (ist.Decoder) {
            std::lock_guard<std::mutex> lock(CodecLock());
            avcodec_free_context(&ist.Decoder);
        }
    }
}

void TTranscoder::Cleanup() {
    av_packet_free(&encPkt_);
    av_frame_free(&audioOut_);
    for (auto& ist : ists_)
        ist.Upright.Free();
    for (auto& ost : osts_) {
        if (ost.LogFile) {
            std::fclose(ost.LogFile);
            ost.LogFile = nullptr;
        }
        if (ost.Fifo) {
            av_audio_fifo_free(ost.Fifo);
            ost.Fifo = nullptr;
        }
        av_frame_free(&ost.PictTmp);
        sws_freeContext(ost.Scaler);
        ost.Scaler = nullptr;
        swr_free(&ost.Resampler);
        ost.Filters.Free();
        for (AVBSFContext*& bsf : ost.Bsfs)
            av_bsf_free(&bsf);
        ost.Bsfs.clear();
    }
    if (vstats_) {
        std::fclose(vstats_);
        vstats_ = nullptr;
    }
}

} // namespace kavlo
