// The audio and subtitle output paths of the transcoder: resampling, drift handling (pad, cut,
// compensate), framing to the encoder's frame size, encoding; subtitle re-timing.
#include "engine/TTranscoder.h"

#include "core/TextUtils.h"
#include "engine/AVGuards.h"
#include "engine/AudioSync.h"
#include "engine/ffmpeg/TFFLogger.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace kavlo {

namespace {

// Keeps a sample buffer in the encoder's format with room for at least `samples` samples.
void EnsureSamples(AVFrame* buf, const AVCodecContext* enc, int samples) {
    if (buf->data[0] && buf->nb_samples >= samples && buf->format == enc->sample_fmt &&
        buf->ch_layout.nb_channels == enc->ch_layout.nb_channels)
        return;
    av_frame_unref(buf);
    buf->format = enc->sample_fmt;
    av_channel_layout_copy(&buf->ch_layout, &enc->ch_layout);
    buf->sample_rate = enc->sample_rate;
    buf->nb_samples = std::max(samples, 1);
    if (av_frame_get_buffer(buf, 0) < 0)
        throw TTranscodeError("Out of memory in do_audio_out");
}

} // namespace

void TTranscoder::SetUpResampler(TOutputStreamState& ost, const AVFrame* frame) {
    AVCodecContext* enc = ost.Encoder;
    swr_free(&ost.Resampler);
    const int inRate = frame->sample_rate;
    const int inChannels = frame->ch_layout.nb_channels;
    const auto inFormat = static_cast<AVSampleFormat>(frame->format);
    AVChannelLayout inLayout{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&inLayout, inChannels);
    else
        av_channel_layout_copy(&inLayout, &frame->ch_layout);
    int ret = swr_alloc_set_opts2(&ost.Resampler, &enc->ch_layout, enc->sample_fmt, enc->sample_rate,
                                  &inLayout, inFormat, inRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    if (ret >= 0) {
        av_opt_set_int(ost.Resampler, "filter_size", 16, 0);
        av_opt_set_int(ost.Resampler, "phase_shift", 10, 0);
        av_opt_set_int(ost.Resampler, "linear_interp", 0, 0);
        av_opt_set_double(ost.Resampler, "cutoff", 0.8, 0);
        ret = swr_init(ost.Resampler);
    }
    if (ret < 0) {
        swr_free(&ost.Resampler);
        if (inRate == enc->sample_rate && inChannels == enc->ch_layout.nb_channels)
            Fail(Format("Cannot convert %s sample format to %s sample format",
                        av_get_sample_fmt_name(inFormat), av_get_sample_fmt_name(enc->sample_fmt)));
        Fail(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", inChannels, inRate,
                    enc->ch_layout.nb_channels, enc->sample_rate));
    }
    ost.InSampleRate = inRate;
    ost.InFormat = frame->format;
    ost.InChannels = inChannels;
    ost.InLayoutMask = frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? frame->ch_layout.u.mask : 0;
}

void TTranscoder::DoAudioOut(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* frame) {
    AVCodecContext* enc = ost.Encoder;
    const int inChannels = frame->ch_layout.nb_channels;
    if (inChannels != enc->ch_layout.nb_channels)
        ost.AudioResample = true;
    const bool layoutDiffers = frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE &&
                               enc->ch_layout.order == AV_CHANNEL_ORDER_NATIVE &&
                               frame->ch_layout.u.mask != enc->ch_layout.u.mask;
    const bool needConvert = ost.AudioResample || frame->sample_rate != enc->sample_rate ||
                             frame->format != enc->sample_fmt || layoutDiffers;
    const uint64_t inMask = frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? frame->ch_layout.u.mask : 0;
    if (needConvert &&
        (!ost.Resampler || ost.InSampleRate != frame->sample_rate || ost.InFormat != frame->format ||
         ost.InChannels != inChannels || ost.InLayoutMask != inMask)) {
        if (!ost.Resampler && frame->format != AV_SAMPLE_FMT_S16 && frame->format != AV_SAMPLE_FMT_S16P &&
            opt_.Verbosity > 0 && ost.AudioResample)
            Log(llVerbose, "Warning, using s16 intermediate sample format for resampling");
        SetUpResampler(ost, frame);
    }

    const int outRate = enc->sample_rate;
    const int64_t pending = ost.Fifo ? av_audio_fifo_size(ost.Fifo) : 0;
    const double syncTime = (ists_[ost.SyncSource].Pts - opt_.StartTime) / 1e6;
    const TAudioSyncDecision d = DecideAudioSync(opt_.AudioSync, opt_.AudioDriftThreshold, syncTime, outRate,
                                                 ost.SyncOpts, pending, ist.IsStart);
    int64_t discard = 0;
    int64_t pad = 0;
    switch (d.Action) {
    case TAudioSyncDecision::Rebase:
        ost.SyncOpts = d.OutputPosition;
        break;
    case TAudioSyncDecision::Discard:
        discard = d.Samples;
        if (opt_.Verbosity > 2)
            Log(llVerbose, Format("discarding %d audio samples", static_cast<int>(std::lround(-d.Delta))));
        ist.IsStart = false;
        break;
    case TAudioSyncDecision::Pad:
        pad = d.Samples;
        if (opt_.Verbosity > 2)
            Log(llVerbose,
                Format("adding %d audio samples of silence", static_cast<int>(std::lround(d.Delta))));
        ist.IsStart = false;
        break;
    case TAudioSyncDecision::Compensate:
        if (!ost.Resampler)
            SetUpResampler(ost, frame);
        swr_set_compensation(ost.Resampler, d.Compensation, outRate);
        if (opt_.Verbosity > 2)
            Log(llVerbose, Format("compensating audio timestamp drift:%f compensation:%d in:%d", d.Delta,
                                  d.Compensation, outRate));
        break;
    case TAudioSyncDecision::None:
        break;
    }

    // Convert into the encoder's rate, layout and sample format.
    uint8_t** data = frame->extended_data;
    int samples = frame->nb_samples;
    if (ost.Resampler) {
        const int room = swr_get_out_samples(ost.Resampler, frame->nb_samples) + 32;
        EnsureSamples(audioOut_, enc, room);
        const int got = swr_convert(ost.Resampler, audioOut_->extended_data, room,
                                    const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
        if (got < 0) {
            if (opt_.ExitOnError)
                Fail("av_audio_convert() failed");
            Log(llError, "av_audio_convert() failed");
            return;
        }
        data = audioOut_->extended_data;
        samples = got;
    }
    if (pad > 0) {
        if (pad > INT_MAX / 4)
            Fail("Buffer sizes too large in do_audio_out");
        AVFrame* silence = av_frame_alloc();
        if (!silence)
            Fail("Out of memory in do_audio_out");
        EnsureSamples(silence, enc, static_cast<int>(pad));
        av_samples_set_silence(silence->extended_data, 0, static_cast<int>(pad), enc->ch_layout.nb_channels,
                               enc->sample_fmt);
        try {
            EncodeAudioSamples(ost, silence->extended_data, static_cast<int>(pad));
        } catch (...) {
            av_frame_free(&silence);
            throw;
        }
        av_frame_free(&silence);
    }
    if (discard > 0) {
        if (discard >= samples)
            return;
        const bool planar = av_sample_fmt_is_planar(enc->sample_fmt);
        const int bps = av_get_bytes_per_sample(enc->sample_fmt);
        const int channels = enc->ch_layout.nb_channels;
        const int planes = planar ? channels : 1;
        const int step = planar ? bps : bps * channels;
        std::vector<uint8_t*> shifted(planes);
        for (int p = 0; p < planes; ++p)
            shifted[p] = data[p] + discard * step;
        EncodeAudioSamples(ost, shifted.data(), samples - static_cast<int>(discard));
        return;
    }
    if (samples > 0)
        EncodeAudioSamples(ost, data, samples);
}

void TTranscoder::EncodeAudioSamples(TOutputStreamState& ost, uint8_t** data, int samples) {
    AVCodecContext* enc = ost.Encoder;
    AVFrame* frame = av_frame_alloc();
    if (!frame)
        Fail("Out of memory in do_audio_out");
    AVFrameGuard guard{frame};
    if (ost.PcmLike) {
        // Encoders of any block size take the whole block at once, without the FIFO.
        EnsureSamples(frame, enc, samples);
        frame->nb_samples = samples;
        av_samples_copy(frame->extended_data, data, 0, 0, samples, enc->ch_layout.nb_channels,
                        enc->sample_fmt);
        frame->pts = ost.SyncOpts;
        ost.SyncOpts += samples;
        EncodeAudioFrame(ost, frame);
        return;
    }
    if (av_audio_fifo_write(ost.Fifo, reinterpret_cast<void**>(data), samples) < samples)
        Fail("av_fifo_realloc2() failed");
    const int frameSize = enc->frame_size;
    while (av_audio_fifo_size(ost.Fifo) >= frameSize) {
        EnsureSamples(frame, enc, frameSize);
        frame->nb_samples = frameSize;
        av_audio_fifo_read(ost.Fifo, reinterpret_cast<void**>(frame->extended_data), frameSize);
        frame->pts = ost.SyncOpts;
        EncodeAudioFrame(ost, frame);
        ost.SyncOpts += frameSize;
        av_frame_unref(frame);
    }
}

void TTranscoder::EncodeAudioFrame(TOutputStreamState& ost, AVFrame* frame) {
    if (avcodec_send_frame(ost.Encoder, frame) < 0)
        Fail("Audio encoding failed");
    ReceiveAudioPackets(ost);
}

void TTranscoder::ReceiveAudioPackets(TOutputStreamState& ost) {
    AVCodecContext* enc = ost.Encoder;
    while (true) {
        const int ret = avcodec_receive_packet(enc, encPkt_);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            break;
        if (ret < 0)
            Fail("Audio encoding failed");
        audioBytes_ += encPkt_->size;
        av_packet_rescale_ts(encPkt_, enc->time_base, ost.Stream->time_base);
        encPkt_->flags |= AV_PKT_FLAG_KEY;
        WriteFrame(ost, encPkt_);
        av_packet_unref(encPkt_);
        ost.FrameNumber++;
    }
}

void TTranscoder::FlushAudio(TOutputStreamState& ost) {
    AVCodecContext* enc = ost.Encoder;
    const int left = ost.Fifo ? av_audio_fifo_size(ost.Fifo) : 0;
    if (left > 0 && !ost.PcmLike) {
        // The last samples: a short frame where the encoder allows one, else a full frame
        // padded with silence.
        const bool small = (enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
        const int size = small ? left : enc->frame_size;
        AVFrame* frame = av_frame_alloc();
        if (!frame)
            Fail("Out of memory in do_audio_out");
        AVFrameGuard guard{frame};
        EnsureSamples(frame, enc, size);
        frame->nb_samples = size;
        av_samples_set_silence(frame->extended_data, 0, size, enc->ch_layout.nb_channels, enc->sample_fmt);
        av_audio_fifo_read(ost.Fifo, reinterpret_cast<void**>(frame->extended_data), left);
        frame->pts = ost.SyncOpts;
        EncodeAudioFrame(ost, frame);
        ost.SyncOpts += left;
    }
    if (avcodec_send_frame(enc, nullptr) < 0)
        return;
    ReceiveAudioPackets(ost);
}

void TTranscoder::DoSubtitleOut(TOutputStreamState& ost, TInputStreamState& ist, AVSubtitle* sub,
                                int64_t pts) {
    AVCodecContext* enc = ost.Encoder;
    if (pts == AV_NOPTS_VALUE) {
        if (opt_.ExitOnError)
            Fail("Subtitle packets must have a pts");
        Log(llError, "Subtitle packets must have a pts");
        return;
    }
    if (subtitleBuffer_.empty())
        subtitleBuffer_.resize(1024 * 1024);
    const int passes = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
    const int64_t basePts = av_rescale_q(pts, ist.Stream->time_base, AV_TIME_BASE_Q) +
                            static_cast<int64_t>(sub->start_display_time) * 1000;
    sub->end_display_time -= sub->start_display_time;
    sub->start_display_time = 0;
    const uint32_t endDisplay = sub->end_display_time;
    const unsigned rects = sub->num_rects;
    for (int i = 0; i < passes; ++i) {
        sub->pts = basePts - opt_.StartTime;
        if (passes == 2 && i == 1)
            sub->num_rects = 0; // the second DVB packet clears the display
        const int size = avcodec_encode_subtitle(enc, subtitleBuffer_.data(),
                                                 static_cast<int>(subtitleBuffer_.size()), sub);
        if (size < 0)
            Fail("Subtitle encoding failed");
        AVPacket* pkt = av_packet_alloc();
        if (!pkt || av_new_packet(pkt, size) < 0) {
            av_packet_free(&pkt);
            Fail("Subtitle encoding failed");
        }
        std::memcpy(pkt->data, subtitleBuffer_.data(), size);
        pkt->pts = av_rescale_q(sub->pts, AV_TIME_BASE_Q, ost.Stream->time_base);
        pkt->duration = av_rescale_q(endDisplay, AVRational{1, 1000}, ost.Stream->time_base);
        if (passes == 2)
            pkt->pts += av_rescale_q(90LL * (i == 0 ? sub->start_display_time : endDisplay),
                                     AVRational{1, 90000}, ost.Stream->time_base);
        pkt->dts = pkt->pts;
        try {
            WriteFrame(ost, pkt);
        } catch (...) {
            av_packet_free(&pkt);
            sub->num_rects = rects;
            throw;
        }
        av_packet_free(&pkt);
        ost.FrameNumber++;
    }
    sub->num_rects = rects;
}

} // namespace kavlo
