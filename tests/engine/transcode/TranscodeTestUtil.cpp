#include "TranscodeTestUtil.h"

#include "engine/ffmpeg/TFFLogger.h"
#include "probe/StreamRotation.h"

#include <cstdio>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kavlo::test {

const StreamFacts* MediaFacts::First(int type) const {
    for (const auto& s : streams)
        if (s.type == type)
            return &s;
    return nullptr;
}

MediaFacts Inspect(const std::string& path) {
    MediaFacts facts;
    AVFormatContext* ic = nullptr;
    int ret = avformat_open_input(&ic, ("file:" + path).c_str(), nullptr, nullptr);
    if (ret < 0) {
        facts.error = "open failed " + std::to_string(ret);
        return facts;
    }
    if (avformat_find_stream_info(ic, nullptr) < 0) {
        facts.error = "no stream info";
        avformat_close_input(&ic);
        return facts;
    }
    facts.format = ic->iformat->name;
    std::vector<int64_t> first(ic->nb_streams, INT64_MAX), last(ic->nb_streams, INT64_MIN);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const AVStream* st = ic->streams[i];
        StreamFacts s;
        s.type = st->codecpar->codec_type;
        s.codec = avcodec_get_name(st->codecpar->codec_id);
        s.width = st->codecpar->width;
        s.height = st->codecpar->height;
        s.sampleRate = st->codecpar->sample_rate;
        s.channels = st->codecpar->ch_layout.nb_channels;
        s.frameSize = st->codecpar->frame_size;
        s.frameRate = st->avg_frame_rate.den ? av_q2d(st->avg_frame_rate) : 0;
        s.rotation = StreamRotation(st);
        facts.streams.push_back(s);
    }
    std::vector<AVCodecContext*> decoders(ic->nb_streams, nullptr);
    std::vector<int64_t> samples(ic->nb_streams, 0);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const AVCodecParameters* par = ic->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        if (!codec)
            continue;
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], par);
        decoders[i]->pkt_timebase = ic->streams[i]->time_base;
        if (avcodec_open2(decoders[i], codec, nullptr) < 0)
            avcodec_free_context(&decoders[i]);
    }
    AVFrame* frame = av_frame_alloc();
    auto drain = [&](unsigned i) {
        while (avcodec_receive_frame(decoders[i], frame) >= 0) {
            samples[i] += frame->nb_samples;
            av_frame_unref(frame);
        }
    };
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ic, pkt) >= 0) {
        if (decoders[pkt->stream_index] && avcodec_send_packet(decoders[pkt->stream_index], pkt) >= 0)
            drain(pkt->stream_index);
        const int i = pkt->stream_index;
        const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (ts != AV_NOPTS_VALUE) {
            first[i] = std::min(first[i], ts);
            last[i] = std::max(last[i], ts + pkt->duration);
        }
        facts.streams[i].packets++;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        if (!decoders[i])
            continue;
        avcodec_send_packet(decoders[i], nullptr);
        drain(i);
        if (decoders[i]->sample_rate > 0)
            facts.streams[i].decoded = static_cast<double>(samples[i]) / decoders[i]->sample_rate;
        avcodec_free_context(&decoders[i]);
    }
    av_frame_free(&frame);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const double tb = av_q2d(ic->streams[i]->time_base);
        if (first[i] != INT64_MAX) {
            facts.streams[i].start = first[i] * tb;
            facts.streams[i].duration = (last[i] - first[i]) * tb;
        }
    }
    avformat_close_input(&ic);
    facts.ok = true;
    return facts;
}

RunResult RunOne(TFFmpegEngine& engine, const std::string& input, const std::string& output,
                 const TOutputOptions& outputOptions, const TInputOptions* inputOptions) {
    RunResult r;
    engine.OnTerminate = [&r](TCustomFFmpegEngine*, const TTerminateInfo& info) {
        r.terminations.push_back(info);
    };
    if (!engine.OnProgress)
        engine.OnProgress = [&r](TCustomFFmpegEngine*, TProgressInfo*) { r.progressCalls++; };
    const int index = engine.AddTask(input, inputOptions);
    if (index < 0) {
        r.addError = engine.LastErrMsg();
        return r;
    }
    if (!engine.SetOutputFile(index, output, &outputOptions)) {
        r.addError = engine.LastErrMsg();
        return r;
    }
    r.added = true;
    engine.StartTask(0);
    return r;
}

std::string SharedMedia(const std::string& name) {
    const char* dir = std::getenv("KAVLO_SHARED_MEDIA");
    if (!dir)
        return {};
    const std::string path = std::string(dir) + "/" + name;
    return std::filesystem::exists(path) ? path : std::string();
}

void LoadLibraries() {
    // KAVLO_TEST_LOG=1 shows the engine's and the libraries' log lines while debugging a test.
    if (std::getenv("KAVLO_TEST_LOG")) {
        FFLogger().SetTriggerEventInMainThread(false);
        FFLogger().SetLogLevel(llVerbose);
        FFLogger().SetOnLog([](void*, uint32_t, TLogLevel level, const std::string& msg) {
            std::fprintf(stderr, "[log %d] %s\n", static_cast<int>(level), msg.c_str());
        });
    }
    TFFmpegEngine engine;
    ASSERT_TRUE(engine.LoadAVLib("")) << engine.LastErrMsg();
}

} // namespace kavlo::test

extern "C" {
#include <libavutil/display.h>
#include <libavutil/opt.h>
}

namespace kavlo::test {

bool Remux(const std::string& input, const std::string& output, int64_t audioShiftUs, int rotation) {
    AVFormatContext* ic = nullptr;
    if (avformat_open_input(&ic, ("file:" + input).c_str(), nullptr, nullptr) < 0)
        return false;
    avformat_find_stream_info(ic, nullptr);
    AVFormatContext* oc = nullptr;
    avformat_alloc_output_context2(&oc, nullptr, "mov", nullptr);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = avformat_new_stream(oc, nullptr);
        avcodec_parameters_copy(st->codecpar, ic->streams[i]->codecpar);
        st->codecpar->codec_tag = 0;
        st->time_base = ic->streams[i]->time_base;
        if (rotation && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            auto* m = reinterpret_cast<int32_t*>(av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 36));
            av_display_rotation_set(m, rotation); // this library generation's setter turns clockwise
        }
    }
    bool ok = avio_open(&oc->pb, ("file:" + output).c_str(), AVIO_FLAG_WRITE) >= 0 &&
              avformat_write_header(oc, nullptr) >= 0;
    AVPacket* pkt = av_packet_alloc();
    while (ok && av_read_frame(ic, pkt) >= 0) {
        AVStream* ist = ic->streams[pkt->stream_index];
        AVStream* ost = oc->streams[pkt->stream_index];
        if (ist->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && audioShiftUs) {
            const int64_t shift = av_rescale_q(audioShiftUs, AVRational{1, 1000000}, ist->time_base);
            if (pkt->pts != AV_NOPTS_VALUE)
                pkt->pts += shift;
            if (pkt->dts != AV_NOPTS_VALUE)
                pkt->dts += shift;
        }
        av_packet_rescale_ts(pkt, ist->time_base, ost->time_base);
        pkt->pos = -1;
        if (av_interleaved_write_frame(oc, pkt) < 0)
            ok = false;
    }
    av_packet_free(&pkt);
    if (ok)
        ok = av_write_trailer(oc) >= 0;
    avio_closep(&oc->pb);
    avformat_free_context(oc);
    avformat_close_input(&ic);
    return ok;
}

bool WriteSizeChangeH264(const std::string& output, int widthA, int heightA, int framesA, int widthB,
                         int heightB, int framesB) {
    FILE* f = std::fopen(output.c_str(), "wb");
    if (!f)
        return false;
    bool ok = true;
    int64_t pts = 0;
    for (int part = 0; part < 2 && ok; ++part) {
        const int w = part ? widthB : widthA;
        const int h = part ? heightB : heightA;
        const int n = part ? framesB : framesA;
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        AVCodecContext* enc = avcodec_alloc_context3(codec);
        enc->width = w;
        enc->height = h;
        enc->pix_fmt = AV_PIX_FMT_YUV420P;
        enc->time_base = AVRational{1, 25};
        enc->framerate = AVRational{25, 1};
        enc->gop_size = 25;
        enc->max_b_frames = 0;
        av_opt_set(enc->priv_data, "preset", "ultrafast", 0);
        if (avcodec_open2(enc, codec, nullptr) < 0) {
            avcodec_free_context(&enc);
            ok = false;
            break;
        }
        AVFrame* frame = av_frame_alloc();
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = w;
        frame->height = h;
        av_frame_get_buffer(frame, 0);
        AVPacket* pkt = av_packet_alloc();
        auto drain = [&] {
            while (avcodec_receive_packet(enc, pkt) >= 0) {
                std::fwrite(pkt->data, 1, pkt->size, f);
                av_packet_unref(pkt);
            }
        };
        for (int i = 0; i < n; ++i) {
            av_frame_make_writable(frame);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    frame->data[0][y * frame->linesize[0] + x] =
                        static_cast<uint8_t>(16 + (x + y + i * 4) % 200);
            for (int p = 1; p < 3; ++p)
                for (int y = 0; y < h / 2; ++y)
                    std::memset(frame->data[p] + y * frame->linesize[p], 128, w / 2);
            frame->pts = pts++;
            if (avcodec_send_frame(enc, frame) >= 0)
                drain();
        }
        avcodec_send_frame(enc, nullptr);
        drain();
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&enc);
    }
    std::fclose(f);
    return ok;
}

} // namespace kavlo::test
