// Converting a 60 s 1280x720 25 fps clip to 960x540 H.264 (x264 "medium") + AAC in MP4: once
// through the engine component, once through a bare decode -> scale -> encode -> mux loop of
// library calls with the same settings; and a stream copy of the same clip. The engine run also
// reports its resident memory after the first 10 s of output and at the end, to show that
// memory does not grow with the length of the file.
#include "engine/TFFmpegEngine.h"
#include "engine/ffmpeg/TFFLogger.h"
#include "fixtures/Fixtures.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {

const std::string& WorkDir() {
    static const std::string dir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kavlo-bench-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        return tmpl;
    }();
    return dir;
}

struct Cleanup {
    ~Cleanup() {
        std::error_code ec;
        std::filesystem::remove_all(WorkDir(), ec);
    }
} cleanup;

const std::string& Clip() {
    static const std::string path = [] {
        kavlo::fixtures::FixtureSpec recipe = kavlo::fixtures::SpecFor(kavlo::fixtures::FixtureKind::Mov720p);
        recipe.video->frameCount = 1500;
        recipe.audio.at(0).durationSeconds = 60.0;
        const std::string p = WorkDir() + "/clip720p60s.mov";
        std::string error;
        if (!kavlo::fixtures::Generate(recipe, p, &error))
            throw std::runtime_error(error);
        return p;
    }();
    return path;
}

long RssKiB() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kib = std::atol(line + 6);
    std::fclose(f);
    return kib;
}

constexpr int kOutWidth = 960;
constexpr int kOutHeight = 540;

// Shows the encoder settings x264 reports, so that the two conversions can be seen to do the
// same work.
void ShowEncoderSettings() {
    kavlo::FFLogger().SetTriggerEventInMainThread(false);
    kavlo::FFLogger().SetOnLog([](void*, uint32_t, kavlo::TLogLevel, const std::string& msg) {
        if (msg.find("options:") != std::string::npos)
            std::fprintf(stderr, "%s\n", msg.c_str());
    });
}

void BM_EngineConvert(benchmark::State& state) {
    const std::string clip = Clip();
    ShowEncoderSettings();
    kavlo::TFFmpegEngine loader;
    if (!loader.LoadAVLib("")) {
        state.SkipWithError(loader.LastErrMsg().c_str());
        return;
    }
    long rssAt10s = 0, rssAtEnd = 0;
    for (auto _ : state) {
        kavlo::TFFmpegEngine engine;
        engine.SetTriggerEventInMainThread(false);
        engine.OnProgress = [&](kavlo::TCustomFFmpegEngine*, kavlo::TProgressInfo* p) {
            if (p->CurrentDuration >= 10000000 && rssAt10s == 0)
                rssAt10s = RssKiB();
            rssAtEnd = RssKiB();
        };
        bool failed = false;
        std::string message;
        engine.OnTerminate = [&](kavlo::TCustomFFmpegEngine*, const kavlo::TTerminateInfo& info) {
            if (info.Failed) {
                failed = true;
                message = info.ErrorMessage;
            }
        };
        const int task = engine.AddTask(clip, nullptr);
        kavlo::TOutputOptions o;
        o.VideoCodec = "libx264";
        o.AudioCodec = "aac";
        o.FrameSize = std::to_string(kOutWidth) + "x" + std::to_string(kOutHeight);
        o.ExtOptions = "preset=medium";
        const std::string out = WorkDir() + "/engine.mp4";
        std::filesystem::remove(out);
        if (task < 0 || !engine.SetOutputFile(task, out, &o)) {
            state.SkipWithError(engine.LastErrMsg().c_str());
            return;
        }
        engine.StartTask(0);
        if (failed) {
            state.SkipWithError(message.c_str());
            return;
        }
    }
    state.counters["rss_kib_at_10s"] = static_cast<double>(rssAt10s);
    state.counters["rss_kib_at_end"] = static_cast<double>(rssAtEnd);
}

// The same work without the engine: every call a conversion needs, nothing else.
void BareConvert(const std::string& in, const std::string& out) {
    AVFormatContext* ic = nullptr;
    if (avformat_open_input(&ic, ("file:" + in).c_str(), nullptr, nullptr) < 0)
        throw std::runtime_error("open");
    avformat_find_stream_info(ic, nullptr);
    const int vi = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int ai = av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    AVCodecContext* vdec = avcodec_alloc_context3(avcodec_find_decoder(ic->streams[vi]->codecpar->codec_id));
    avcodec_parameters_to_context(vdec, ic->streams[vi]->codecpar);
    vdec->thread_count = 0;
    avcodec_open2(vdec, vdec->codec, nullptr);
    AVCodecContext* adec = avcodec_alloc_context3(avcodec_find_decoder(ic->streams[ai]->codecpar->codec_id));
    avcodec_parameters_to_context(adec, ic->streams[ai]->codecpar);
    adec->pkt_timebase = ic->streams[ai]->time_base;
    avcodec_open2(adec, adec->codec, nullptr);

    AVFormatContext* oc = nullptr;
    avformat_alloc_output_context2(&oc, nullptr, "mp4", nullptr);
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* venc = avcodec_alloc_context3(x264);
    venc->width = kOutWidth;
    venc->height = kOutHeight;
    venc->pix_fmt = AV_PIX_FMT_YUV420P;
    venc->time_base = AVRational{1, 25};
    venc->framerate = AVRational{25, 1};
    venc->thread_count = 0;
    venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(venc->priv_data, "preset", "medium", 0);
    // The engine keeps the old defaults of its codec options (no B-frames, CAVLC, no mixed
    // references), which x264 reads as the baseline profile; the bare loop asks for the same.
    av_opt_set(venc->priv_data, "profile", "baseline", 0);
    av_opt_set(venc->priv_data, "x264-params", "mixed-refs=0", 0);
    avcodec_open2(venc, x264, nullptr);
    const AVCodec* aacCodec = avcodec_find_encoder_by_name("aac");
    AVCodecContext* aenc = avcodec_alloc_context3(aacCodec);
    aenc->sample_rate = adec->sample_rate;
    av_channel_layout_copy(&aenc->ch_layout, &adec->ch_layout);
    aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    aenc->time_base = AVRational{1, aenc->sample_rate};
    aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    aenc->thread_count = 0;
    avcodec_open2(aenc, aacCodec, nullptr);
    AVStream* vst = avformat_new_stream(oc, nullptr);
    avcodec_parameters_from_context(vst->codecpar, venc);
    vst->time_base = venc->time_base;
    AVStream* ast = avformat_new_stream(oc, nullptr);
    avcodec_parameters_from_context(ast->codecpar, aenc);
    ast->time_base = aenc->time_base;
    avio_open(&oc->pb, ("file:" + out).c_str(), AVIO_FLAG_WRITE);
    if (avformat_write_header(oc, nullptr) < 0)
        throw std::runtime_error("header");

    SwsContext* sws = nullptr;
    AVFrame* scaled = av_frame_alloc();
    scaled->format = AV_PIX_FMT_YUV420P;
    scaled->width = kOutWidth;
    scaled->height = kOutHeight;
    av_frame_get_buffer(scaled, 0);
    AVAudioFifo* fifo = av_audio_fifo_alloc(aenc->sample_fmt, aenc->ch_layout.nb_channels, 4096);
    AVFrame* aframe = av_frame_alloc();
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    AVPacket* opkt = av_packet_alloc();
    int64_t vpts = 0, apts = 0;

    auto writeFrom = [&](AVCodecContext* enc, AVStream* st) {
        while (avcodec_receive_packet(enc, opkt) >= 0) {
            av_packet_rescale_ts(opkt, enc->time_base, st->time_base);
            opkt->stream_index = st->index;
            av_interleaved_write_frame(oc, opkt);
        }
    };
    auto encodeAudio = [&](bool flush) {
        while (av_audio_fifo_size(fifo) >= aenc->frame_size || (flush && av_audio_fifo_size(fifo) > 0)) {
            const int n = std::min(aenc->frame_size, av_audio_fifo_size(fifo));
            aframe->nb_samples = n;
            aframe->format = aenc->sample_fmt;
            av_channel_layout_copy(&aframe->ch_layout, &aenc->ch_layout);
            av_frame_get_buffer(aframe, 0);
            av_audio_fifo_read(fifo, reinterpret_cast<void**>(aframe->data), n);
            aframe->pts = apts;
            apts += n;
            avcodec_send_frame(aenc, aframe);
            av_frame_unref(aframe);
            writeFrom(aenc, ast);
        }
    };
    auto drainDecoders = [&](AVCodecContext* dec) {
        while (avcodec_receive_frame(dec, frame) >= 0) {
            if (dec == vdec) {
                sws = sws_getCachedContext(sws, frame->width, frame->height,
                                           static_cast<AVPixelFormat>(frame->format), kOutWidth, kOutHeight,
                                           AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
                av_frame_make_writable(scaled);
                sws_scale(sws, frame->data, frame->linesize, 0, frame->height, scaled->data,
                          scaled->linesize);
                scaled->pts = vpts++;
                avcodec_send_frame(venc, scaled);
                writeFrom(venc, vst);
            } else {
                av_audio_fifo_write(fifo, reinterpret_cast<void**>(frame->extended_data), frame->nb_samples);
                encodeAudio(false);
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(ic, pkt) >= 0) {
        AVCodecContext* dec = pkt->stream_index == vi ? vdec : pkt->stream_index == ai ? adec : nullptr;
        if (dec && avcodec_send_packet(dec, pkt) >= 0)
            drainDecoders(dec);
        av_packet_unref(pkt);
    }
    avcodec_send_packet(vdec, nullptr);
    drainDecoders(vdec);
    avcodec_send_packet(adec, nullptr);
    drainDecoders(adec);
    encodeAudio(true);
    avcodec_send_frame(venc, nullptr);
    writeFrom(venc, vst);
    avcodec_send_frame(aenc, nullptr);
    writeFrom(aenc, ast);
    av_write_trailer(oc);

    av_packet_free(&pkt);
    av_packet_free(&opkt);
    av_frame_free(&frame);
    av_frame_free(&aframe);
    av_frame_free(&scaled);
    av_audio_fifo_free(fifo);
    sws_freeContext(sws);
    avcodec_free_context(&vdec);
    avcodec_free_context(&adec);
    avcodec_free_context(&venc);
    avcodec_free_context(&aenc);
    avio_closep(&oc->pb);
    avformat_free_context(oc);
    avformat_close_input(&ic);
}

void BM_BareLoopConvert(benchmark::State& state) {
    const std::string clip = Clip();
    for (auto _ : state)
        BareConvert(clip, WorkDir() + "/bare.mp4");
}

void BM_EngineStreamCopy(benchmark::State& state) {
    const std::string clip = Clip();
    kavlo::TFFmpegEngine loader;
    loader.LoadAVLib("");
    for (auto _ : state) {
        kavlo::TFFmpegEngine engine;
        const int task = engine.AddTask(clip, nullptr);
        kavlo::TOutputOptions o;
        o.VideoCodec = "copy";
        o.AudioCodec = "copy";
        const std::string out = WorkDir() + "/copy.mp4";
        std::filesystem::remove(out);
        if (task < 0 || !engine.SetOutputFile(task, out, &o)) {
            state.SkipWithError(engine.LastErrMsg().c_str());
            return;
        }
        engine.StartTask(0);
    }
}

} // namespace

BENCHMARK(BM_EngineConvert)->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_BareLoopConvert)->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_EngineStreamCopy)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
