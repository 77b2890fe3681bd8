// The video output path of the transcoder: upright turn and deinterlacing, the custom hook and
// frame-hook modules, A/V sync, crop, scale, encode, previews and per-frame statistics.
#include "engine/TTranscoder.h"

#include "core/TextUtils.h"
#include "engine/AVGuards.h"
#include "engine/VideoRotation.h"
#include "engine/VideoSync.h"
#include "engine/ffmpeg/FFUtils.h"
#include "engine/ffmpeg/TFFLogger.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
#include <libswscale/swscale.h>
}

namespace kavlo {

namespace {

// Builds source -> chain -> sink; the sink takes only sinkFormat when it is not NONE.
int BuildChain(TFilterChain& chain, int width, int height, int format, AVRational tb, AVRational sar,
               const std::string& filters, int sinkFormat, int swsFlags) {
    chain.Free();
    chain.Graph = avfilter_graph_alloc();
    if (!chain.Graph)
        return AVERROR(ENOMEM);
    const std::string flags = Format("flags=0x%X", static_cast<unsigned>(swsFlags));
    chain.Graph->scale_sws_opts = av_strdup(flags.c_str());
    if (!sar.num || !sar.den)
        sar = AVRational{0, 1};
    const std::string args = Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", width,
                                    height, format, tb.num, tb.den, sar.num, sar.den);
    int ret = avfilter_graph_create_filter(&chain.Source, avfilter_get_by_name("buffer"), "src", args.c_str(),
                                           nullptr, chain.Graph);
    if (ret < 0)
        return ret;
    ret = avfilter_graph_create_filter(&chain.Sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                       nullptr, chain.Graph);
    if (ret < 0)
        return ret;
    if (sinkFormat != AV_PIX_FMT_NONE) {
        const AVPixelFormat fmts[] = {static_cast<AVPixelFormat>(sinkFormat), AV_PIX_FMT_NONE};
        ret = av_opt_set_int_list(chain.Sink, "pix_fmts", fmts, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN);
        if (ret < 0)
            return ret;
    }
    if (filters.empty()) {
        ret = avfilter_link(chain.Source, 0, chain.Sink, 0);
    } else {
        AVFilterInOut* outputs = avfilter_inout_alloc();
        AVFilterInOut* inputs = avfilter_inout_alloc();
        if (!outputs || !inputs) {
            avfilter_inout_free(&outputs);
            avfilter_inout_free(&inputs);
            return AVERROR(ENOMEM);
        }
        outputs->name = av_strdup("in");
        outputs->filter_ctx = chain.Source;
        outputs->pad_idx = 0;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = chain.Sink;
        inputs->pad_idx = 0;
        ret = avfilter_graph_parse_ptr(chain.Graph, filters.c_str(), &inputs, &outputs, nullptr);
        avfilter_inout_free(&outputs);
        avfilter_inout_free(&inputs);
    }
    if (ret < 0)
        return ret;
    ret = avfilter_graph_config(chain.Graph, nullptr);
    if (ret < 0)
        return ret;
    chain.InWidth = width;
    chain.InHeight = height;
    chain.InFormat = format;
    return 0;
}

std::string JoinFilters(const std::string& a, const std::string& b) {
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    return a + "," + b;
}

} // namespace

void TTranscoder::BuildUprightChain(TInputStreamState& ist, const AVFrame* frame) {
    std::string chain;
    if (opt_.Deinterlace)
        chain = "yadif=mode=send_frame:parity=auto:deint=all";
    chain = JoinFilters(chain, ist.UprightChain);
    const int ret = BuildChain(ist.Upright, frame->width, frame->height, frame->format, ist.Stream->time_base,
                               frame->sample_aspect_ratio, chain, AV_PIX_FMT_NONE, opt_.ScalerFlags);
    if (ret < 0) {
        Log(llError, "Deinterlacing failed.");
        ist.Upright.Free();
    }
}

void TTranscoder::PreProcessVideoFrame(TInputStreamState& ist, AVFrame* frame) {
    job_.DecodedVideoFrames++;
    if (!hookActive_ && !hookModulesActive_)
        return;
    // Hooks draw on a picture of their own, never on a buffer the decoder still refers to.
    if (av_frame_make_writable(frame) < 0) {
        Log(llError, "hook buf malloc error.");
        return;
    }
    if (hookActive_)
        RunCustomHook(ist, frame);
    else if (hookModulesActive_)
        job_.Callbacks.FrameHookProcess(frame, ist.Pts);
}

void TTranscoder::RunCustomHook(TInputStreamState& ist, AVFrame* frame) {
    bool stop = false;
    if (!hookRgb_.ToBitmap(frame)) {
        Log(llError, "Cannot initialize the toRGB conversion context");
        stop = true;
    } else {
        bool update = true;
        try {
            job_.Callbacks.CustomHook(hookRgb_.Bitmap(), job_.DecodedVideoFrames, ist.Pts, update, stop);
        } catch (const std::exception& e) {
            Log(llError, std::string("Error occurs OnCustomHook: ") + e.what());
            update = false;
        } catch (...) {
            Log(llError, "Error occurs OnCustomHook: unknown exception");
            update = false;
        }
        if (update && !hookRgb_.FromBitmap(frame)) {
            Log(llError, "Cannot initialize the fromRGB conversion context");
            stop = true;
        }
    }
    if (stop) {
        hookActive_ = false;
        hookModulesActive_ = false;
    }
}

void TTranscoder::BuildVideoFilters(TOutputStreamState& ost, int width, int height, int format, bool setUp) {
    AVCodecContext* enc = ost.Encoder;
    const auto& ist = ists_[ost.Source];
    std::string chain;
    const int cropW = width - ost.LeftBand - ost.RightBand;
    const int cropH = height - ost.TopBand - ost.BottomBand;
    if (ost.VideoCrop)
        chain = Format("crop=w=%d:h=%d:x=%d:y=%d", cropW, cropH, ost.LeftBand, ost.TopBand);
    if (cropW != enc->width || cropH != enc->height)
        chain = JoinFilters(chain, Format("scale=%d:%d:flags=0x%X", enc->width, enc->height,
                                          static_cast<unsigned>(opt_.ScalerFlags)));
    chain = JoinFilters(chain, opt_.VideoFilters);
    // Once the encoder is open its size is fixed: whatever the chain makes of a new input size
    // is brought to it.
    if (!setUp)
        chain = JoinFilters(chain, Format("scale=%d:%d", enc->width, enc->height));
    int ret = BuildChain(ost.Filters, width, height, format, ist.Stream->time_base,
                         ist.Stream->codecpar->sample_aspect_ratio, chain, enc->pix_fmt, opt_.ScalerFlags);
    if (ret >= 0 && setUp) {
        enc->width = av_buffersink_get_w(ost.Filters.Sink);
        enc->height = av_buffersink_get_h(ost.Filters.Sink);
        const int w = enc->width;
        const int h = enc->height;
        EvenEncoderSize(ost);
        if (w != enc->width || h != enc->height)
            ret = BuildChain(ost.Filters, width, height, format, ist.Stream->time_base,
                             ist.Stream->codecpar->sample_aspect_ratio,
                             JoinFilters(chain, Format("scale=%d:%d", enc->width, enc->height)), enc->pix_fmt,
                             opt_.ScalerFlags);
    }
    if (ret < 0) {
        ost.Filters.Free();
        const std::string text = ErrorCodeText(ret);
        if (text.empty())
            Fail("Error opening filters!");
        Fail("Error opening filters: " + text);
    }
}

void TTranscoder::BuildScaler(TOutputStreamState& ost) {
    AVCodecContext* enc = ost.Encoder;
    sws_freeContext(ost.Scaler);
    ost.Scaler =
        sws_getContext(ost.ResampleWidth, ost.ResampleHeight, static_cast<AVPixelFormat>(ost.ResampleFormat),
                       enc->width, enc->height, enc->pix_fmt, opt_.ScalerFlags, nullptr, nullptr, nullptr);
    if (!ost.Scaler)
        Fail("Cannot get resampling context");
    if (!ost.PictTmp) {
        ost.PictTmp = av_frame_alloc();
        if (!ost.PictTmp)
            Fail("Cannot allocate temp picture, check pix fmt");
        ost.PictTmp->format = enc->pix_fmt;
        ost.PictTmp->width = enc->width;
        ost.PictTmp->height = enc->height;
        if (av_frame_get_buffer(ost.PictTmp, 0) < 0)
            Fail("Cannot allocate temp picture, check pix fmt");
    }
}

void TTranscoder::DoVideoOut(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* frame) {
    if (!ost.Filters.Graph) {
        if (frame)
            EncodeVideoPicture(ost, ist, frame, frame, 0);
        return;
    }
    if (frame) {
        if (frame->width != ost.Filters.InWidth || frame->height != ost.Filters.InHeight ||
            frame->format != ost.Filters.InFormat) {
            if (ost.FrameNumber > 0 || ost.SyncOpts > 0)
                Log(llQuiet, Format("Input Stream #%d.%d frame size changed to %dx%d, %s", ist.FileIndex,
                                    ist.StreamIndex, frame->width, frame->height,
                                    av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format))));
            BuildVideoFilters(ost, frame->width, frame->height, frame->format, false);
        }
        if (av_buffersrc_add_frame_flags(ost.Filters.Source, frame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
            return;
    }
    AVFrame* out = av_frame_alloc();
    if (!out)
        Fail("av_mallocz fail");
    while (av_buffersink_get_frame(ost.Filters.Sink, out) >= 0) {
        try {
            EncodeVideoPicture(ost, ist, out, frame ? frame : out, 1);
        } catch (...) {
            av_frame_free(&out);
            throw;
        }
        av_frame_unref(out);
    }
    av_frame_free(&out);
}

// filtered: 0 = picture still needs crop and scale; 1 = it comes out of the filter graph at the
// encoder's size and format.
void TTranscoder::EncodeVideoPicture(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* picture,
                                     const AVFrame* input, int filtered) {
    AVCodecContext* enc = ost.Encoder;
    AVFormatContext* oc = job_.Outputs[ost.FileIndex].Context;
    // 1.-2. sync: the frame's ideal position in output frames decides drop, once or duplicate
    int64_t syncTime = ists_[ost.SyncSource].Pts;
    if (ost.SyncSource == ost.Source && filtered && picture->pts != AV_NOPTS_VALUE)
        syncTime = av_rescale_q(picture->pts, av_buffersink_get_time_base(ost.Filters.Sink), AV_TIME_BASE_Q);
    const double ideal = (syncTime - opt_.StartTime) / 1e6 / av_q2d(enc->time_base);
    const TVideoSyncDecision d =
        DecideVideoSync(ideal, ost.SyncOpts, opt_.VideoSync, (oc->oformat->flags & AVFMT_VARIABLE_FPS) != 0);
    int n = d.Frames;
    ost.SyncOpts = d.OutputPosition;
    if (n == 0) {
        dropped_++;
        countersChanged_ = true;
        if (opt_.Verbosity > 2)
            Log(llVerbose, "*** drop!");
    } else if (n > 1) {
        duplicated_ += n - 1;
        countersChanged_ = true;
        if (opt_.Verbosity > 2)
            Log(llVerbose, Format("*** %d dup!", n - 1));
    }
    // 3. frame limit
    n = static_cast<int>(std::min<int64_t>(n, opt_.FrameLimits[0] - ost.FrameNumber));
    if (n <= 0)
        return;

    AVFrame* view = av_frame_alloc();
    if (!view)
        Fail("av_mallocz fail");
    AVFrameGuard guard{view};
    AVFrame* final = picture;
    if (!filtered) {
        if (av_frame_ref(view, picture) < 0)
            Fail("av_mallocz fail");
        // 5. size change: bands follow the new size in proportion, the scaler is rebuilt
        const int srcW = picture->width;
        const int srcH = picture->height;
        if (srcW - ost.LeftBand - ost.RightBand != ost.ResampleWidth ||
            srcH - ost.TopBand - ost.BottomBand != ost.ResampleHeight ||
            picture->format != ost.ResampleFormat) {
            const bool firstPicture = ost.FrameNumber == 0 && !ost.Scaler;
            if (!firstPicture)
                Log(llQuiet, Format("Input Stream #%d.%d frame size changed to %dx%d, %s", ist.FileIndex,
                                    ist.StreamIndex, srcW, srcH,
                                    av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture->format))));
            if (ost.VideoCrop && (srcW != ost.OriginalWidth || srcH != ost.OriginalHeight) &&
                ost.OriginalWidth && ost.OriginalHeight) {
                ost.TopBand = (srcH * ost.OriginalTopBand / ost.OriginalHeight) & ~1;
                ost.BottomBand = (srcH * ost.OriginalBottomBand / ost.OriginalHeight) & ~1;
                ost.LeftBand = (srcW * ost.OriginalLeftBand / ost.OriginalWidth) & ~1;
                ost.RightBand = (srcW * ost.OriginalRightBand / ost.OriginalWidth) & ~1;
            }
            ost.ResampleWidth = srcW - ost.LeftBand - ost.RightBand;
            ost.ResampleHeight = srcH - ost.TopBand - ost.BottomBand;
            ost.ResampleFormat = picture->format;
            ost.VideoResample = ost.ResampleWidth != enc->width || ost.ResampleHeight != enc->height ||
                                ost.ResampleFormat != enc->pix_fmt;
            sws_freeContext(ost.Scaler);
            ost.Scaler = nullptr;
        }
        // 4. crop by moving the plane pointers
        if (ost.VideoCrop) {
            view->crop_top = ost.TopBand;
            view->crop_bottom = ost.BottomBand;
            view->crop_left = ost.LeftBand;
            view->crop_right = ost.RightBand;
            if (ost.TopBand + ost.BottomBand >= srcH || ost.LeftBand + ost.RightBand >= srcW ||
                av_frame_apply_cropping(view, AV_FRAME_CROP_UNALIGNED) < 0) {
                if (opt_.ExitOnError)
                    Fail("error cropping picture");
                Log(llError, "error cropping picture");
                return;
            }
        }
        // 6. scale
        if (ost.VideoResample) {
            if (!ost.Scaler)
                BuildScaler(ost);
            if (av_frame_make_writable(ost.PictTmp) < 0)
                Fail("Cannot allocate temp picture, check pix fmt");
            sws_scale(ost.Scaler, view->data, view->linesize, 0, ost.ResampleHeight, ost.PictTmp->data,
                      ost.PictTmp->linesize);
            av_frame_copy_props(ost.PictTmp, picture);
            final = ost.PictTmp;
        } else {
            final = view;
        }
    }

    // 7. encode n times
    AVFrame* send = av_frame_alloc();
    if (!send)
        Fail("av_mallocz fail");
    AVFrameGuard sendGuard{send};
    for (int i = 0; i < n; ++i) {
        if (i > 0 && Stopping())
            break;
        if (av_frame_ref(send, final) < 0)
            Fail("av_mallocz fail");
        send->interlaced_frame = input->interlaced_frame;
        if (enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME))
            send->top_field_first = opt_.TopFieldFirst == -1 ? input->top_field_first : opt_.TopFieldFirst;
        send->quality = opt_.SameQuality ? static_cast<int>(ist.Quality) : enc->global_quality;
        if (!opt_.MeThreshold)
            send->pict_type = AV_PICTURE_TYPE_NONE;
        // Encoders refuse a time that does not move forward.
        if (ost.LastVideoPts != INT64_MIN && ost.SyncOpts <= ost.LastVideoPts)
            ost.SyncOpts = ost.LastVideoPts + 1;
        send->pts = ost.SyncOpts;
        ost.LastVideoPts = ost.SyncOpts;
        send->pkt_duration = 0;
        const int ret = avcodec_send_frame(enc, send);
        av_frame_unref(send);
        if (ret < 0)
            Fail("Video encoding failed");
        ReceiveVideoPackets(ost, final);
        ost.SyncOpts++;
        ost.FrameNumber++;
    }
}

void TTranscoder::ReceiveVideoPackets(TOutputStreamState& ost, const AVFrame* picture) {
    AVCodecContext* enc = ost.Encoder;
    while (true) {
        const int ret = avcodec_receive_packet(enc, encPkt_);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            break;
        if (ret < 0)
            Fail("Video encoding failed");
        size_t sdSize = 0;
        const uint8_t* sd = av_packet_get_side_data(encPkt_, AV_PKT_DATA_QUALITY_STATS, &sdSize);
        if (sd && sdSize >= 6) {
            int32_t q;
            std::memcpy(&q, sd, 4);
            ost.LastQuality = static_cast<float>(q) / FF_QP2LAMBDA;
            ost.LastPictType = av_get_picture_type_char(static_cast<AVPictureType>(sd[4]));
            const int errors = std::min<int>(sd[5], 4);
            for (int j = 0; j < errors && sdSize >= 8 + 8u * (j + 1); ++j)
                std::memcpy(&ost.LastError[j], sd + 8 + 8 * j, 8);
        }
        const int size = encPkt_->size;
        if (picture && CurrentPreviewFlags() && encPkt_->pts != AV_NOPTS_VALUE)
            Preview(ost, picture, av_rescale_q(encPkt_->pts, enc->time_base, AV_TIME_BASE_Q));
        av_packet_rescale_ts(encPkt_, enc->time_base, ost.Stream->time_base);
        videoBytes_ += size;
        if (ost.LogFile && enc->stats_out)
            std::fputs(enc->stats_out, ost.LogFile);
        WriteFrame(ost, encPkt_);
        av_packet_unref(encPkt_);
        if (!opt_.StatsFileName.empty())
            DoVideoStats(ost, size);
    }
}

int TTranscoder::CurrentPreviewFlags() const {
    if (job_.Callbacks.PreviewFlags)
        return job_.Callbacks.PreviewFlags() & previewFlags_;
    return previewFlags_;
}

void TTranscoder::DropPreviewFlag(int bit) {
    previewFlags_ &= ~bit;
    if (job_.Callbacks.DropPreviewFlags)
        job_.Callbacks.DropPreviewFlags(bit);
}

void TTranscoder::Preview(TOutputStreamState& ost, const AVFrame* picture, int64_t ptsUs) {
    (void)ost;
    const int flags = CurrentPreviewFlags();
    const int64_t now = av_gettime();
    if ((flags & 2) && job_.Callbacks.PreviewBitmap) {
        if (now - lastPreview_ > opt_.PreviewInterval) {
            if (previewRgb_.ToBitmap(picture)) {
                job_.Callbacks.PreviewBitmap(previewRgb_.Bitmap(), job_.DecodedVideoFrames, ptsUs);
            } else {
                Log(llError, "Cannot initialize the toRGB conversion context");
                DropPreviewFlag(2);
            }
            lastPreview_ = now;
        }
    } else if (flags & 1) {
        if (now - lastPreview_ > opt_.PreviewInterval) {
            if (!job_.Callbacks.PreviewWindow || !previewRgb_.ToBitmap(picture) ||
                !job_.Callbacks.PreviewWindow(previewRgb_.Bitmap(), job_.DecodedVideoFrames, ptsUs))
                DropPreviewFlag(1);
            lastPreview_ = now;
        }
    }
}

void TTranscoder::DoVideoStats(TOutputStreamState& ost, int frameSize) {
    AVCodecContext* enc = ost.Encoder;
    if (!vstats_) {
        vstats_ = std::fopen(opt_.StatsFileName.c_str(), "w");
        if (!vstats_)
            Fail("fopen fail: " + opt_.StatsFileName);
    }
    std::fprintf(vstats_, "frame= %5d q= %2.1f ", static_cast<int>(ost.FrameNumber),
                 static_cast<double>(ost.LastQuality));
    if (enc->flags & AV_CODEC_FLAG_PSNR) {
        const double error = static_cast<double>(ost.LastError[0]);
        const double psnr =
            error > 0
                ? -10.0 * std::log10(error / (static_cast<double>(enc->width) * enc->height * 255.0 * 255.0))
                : 99.0;
        std::fprintf(vstats_, "PSNR= %6.2f ", psnr);
    }
    std::fprintf(vstats_, "f_size= %6d ", frameSize);
    double reportTime = static_cast<double>(ost.SyncOpts) * av_q2d(enc->time_base);
    if (reportTime < 0.01)
        reportTime = 0.01;
    const double bitrate = frameSize * 8 / av_q2d(enc->time_base) / 1000.0;
    const double avgBitrate = static_cast<double>(videoBytes_) * 8 / reportTime / 1000.0;
    std::fprintf(vstats_, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                 static_cast<double>(videoBytes_) / 1024, reportTime, bitrate, avgBitrate);
    std::fprintf(vstats_, "type= %c\n", ost.LastPictType);
}

} // namespace kavlo
