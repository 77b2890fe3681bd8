#include "TranscodeTestUtil.h"

#include "probe/StreamRotation.h"

#include <cmath>
#include <cstdlib>
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
    engine.OnTerminate = [&r](TCustomFFmpegEngine*, const TTerminateInfo& info) { r.terminations.push_back(info); };
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
    TFFmpegEngine engine;
    ASSERT_TRUE(engine.LoadAVLib("")) << engine.LastErrMsg();
}

} // namespace kavlo::test
