#include "CliTestUtil.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "core/Paths.h"
#include "engine/ffmpeg/TFFmpegLoader.h"
#include "fixtures/Fixtures.h"
#include "probe/TAVProbe.h"

extern char** environ;

namespace kavlo::test {

namespace {

bool DropFromEnvironment(const std::string& entry) {
    for (const char* name : {"HOME=", "XDG_CONFIG_HOME=", "XDG_CACHE_HOME=", "XDG_DATA_HOME="})
        if (entry.rfind(name, 0) == 0)
            return true;
    return false;
}

} // namespace

ToolResult RunConvert(const std::vector<std::string>& args, const std::string& home,
                      const std::function<int(const std::string& err)>& onStderr) {
    ToolResult result;
    const std::string program = ProgramFolder() + "kavlo-convert";
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e)
        if (!DropFromEnvironment(*e))
            envStore.emplace_back(*e);
    envStore.push_back("HOME=" + home);
    envStore.push_back("XDG_CONFIG_HOME=" + home + "/config");
    envStore.push_back("XDG_CACHE_HOME=" + home + "/cache");
    std::vector<char*> envp;
    for (std::string& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(rc);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return result;
    }

    bool outOpen = true, errOpen = true, signalled = false;
    char buf[4096];
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        ::poll(fds, 2, 50);
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
            if (n > 0)
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                (i == 0 ? outOpen : errOpen) = false;
        }
        if (onStderr && !signalled) {
            const int sig = onStderr(result.err);
            if (sig > 0) {
                ::kill(pid, sig);
                signalled = true;
            }
        }
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.exitCode = 128 + WTERMSIG(status);
    return result;
}

std::string MakeShortClip(const std::string& dir, const std::string& name, double seconds, uint32_t seed,
                          int width, int height) {
    fixtures::FixtureSpec recipe;
    recipe.seed = seed;
    fixtures::VideoSpec v;
    v.width = width;
    v.height = height;
    v.frameCount = static_cast<int>(seconds * 25 + 0.5);
    recipe.video = v;
    fixtures::AudioSpec a;
    a.durationSeconds = seconds;
    recipe.audio.push_back(a);
    const std::string path = dir + "/" + name;
    std::string error;
    if (!fixtures::Generate(recipe, path, &error))
        ADD_FAILURE() << "fixture: " << error;
    return path;
}

std::vector<std::map<std::string, std::string>> ParseJsonLines(const std::string& text) {
    std::vector<std::map<std::string, std::string>> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty())
            continue;
        QJsonParseError err{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &err);
        if (err.error != QJsonParseError::NoError || !doc.isObject()) {
            ADD_FAILURE() << "not a JSON object: " << line;
            continue;
        }
        std::map<std::string, std::string> fields;
        const QJsonObject obj = doc.object();
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            const QJsonValue v = it.value();
            std::string value;
            if (v.isString())
                value = v.toString().toStdString();
            else if (v.isDouble())
                value = QString::number(v.toDouble(), 'f', 3).toStdString();
            else if (v.isNull())
                value = "null";
            else if (v.isBool())
                value = v.toBool() ? "true" : "false";
            fields[it.key().toStdString()] = value;
        }
        out.push_back(std::move(fields));
    }
    return out;
}

MediaFacts ReadMediaFacts(const std::string& path) {
    MediaFacts f;
    if (!FFmpegLoader().Load(kConverterLibraries)) {
        f.error = FFmpegLoader().LastErrMsg();
        return f;
    }
    TAVProbe probe;
    if (!probe.LoadFile(path)) {
        f.error = probe.LastErrMsg();
        return f;
    }
    AVFormatContext* ctx = probe.FormatContext();
    f.formatName = probe.FormatName();
    if (ctx->duration > 0)
        f.durationSec = static_cast<double>(ctx->duration) / AV_TIME_BASE;
    if (const AVDictionaryEntry* t = av_dict_get(ctx->metadata, "title", nullptr, 0))
        f.title = t->value;
    int v = probe.FirstVideoStreamIndex(), a = probe.FirstAudioStreamIndex();
    // Bit rates from what the streams really carry: bytes over the span of their timestamps.
    struct Span {
        int64_t bytes = 0, first = INT64_MAX, last = INT64_MIN;
    } spans[2];
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        const int which = pkt->stream_index == v ? 0 : pkt->stream_index == a ? 1 : -1;
        if (which >= 0) {
            Span& s = spans[which];
            s.bytes += pkt->size;
            const int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
            if (t != AV_NOPTS_VALUE) {
                s.first = std::min(s.first, t);
                s.last = std::max(s.last, t + std::max<int64_t>(pkt->duration, 0));
            }
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    auto rate = [&](int stream, const Span& s) -> int64_t {
        if (stream < 0 || s.first == INT64_MAX || s.last <= s.first)
            return -1;
        const double seconds =
            static_cast<double>(s.last - s.first) * av_q2d(ctx->streams[stream]->time_base);
        return seconds > 0 ? static_cast<int64_t>(s.bytes * 8 / seconds) : -1;
    };
    // Some containers (SWF) carry no duration: take the longest stream's span.
    if (f.durationSec < 0)
        for (int i = 0; i < 2; ++i) {
            const int stream = i == 0 ? v : a;
            const Span& s = spans[i];
            if (stream >= 0 && s.first != INT64_MAX && s.last > s.first)
                f.durationSec = std::max(f.durationSec, static_cast<double>(s.last - s.first) *
                                                            av_q2d(ctx->streams[stream]->time_base));
        }
    if (v >= 0) {
        const AVStream* st = ctx->streams[v];
        const AVCodecParameters* p = st->codecpar;
        f.hasVideo = true;
        f.videoCodec = avcodec_get_name(p->codec_id);
        f.width = p->width;
        f.height = p->height;
        AVRational r = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
        f.fps = r.den > 0 ? av_q2d(r) : 0;
        f.videoBitRate = rate(v, spans[0]);
        if (p->codec_id == AV_CODEC_ID_H264) {
            if (const char* name = avcodec_profile_name(p->codec_id, p->profile))
                f.h264Profile = name;
            f.h264Level = p->level;
        }
    }
    if (a >= 0) {
        const AVCodecParameters* p = ctx->streams[a]->codecpar;
        f.hasAudio = true;
        f.audioCodec = avcodec_get_name(p->codec_id);
        f.sampleRate = p->sample_rate;
        f.channels = p->ch_layout.nb_channels;
        f.audioBitRate = rate(a, spans[1]);
    }
    f.ok = true;
    return f;
}

bool GrayFrame(const std::string& path, int frameIndex, std::vector<uint8_t>& pixels, int& width,
               int& height) {
    AVFormatContext* ctx = nullptr;
    const std::string url = "file:" + path;
    if (avformat_open_input(&ctx, url.c_str(), nullptr, nullptr) < 0)
        return false;
    bool got = false;
    AVCodecContext* dec = nullptr;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int decoded = 0;
    const AVCodec* codec = nullptr;
    int stream = -1;
    if (avformat_find_stream_info(ctx, nullptr) >= 0)
        stream = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream >= 0 && codec && (dec = avcodec_alloc_context3(codec)) &&
        avcodec_parameters_to_context(dec, ctx->streams[stream]->codecpar) >= 0 &&
        avcodec_open2(dec, codec, nullptr) >= 0) {
        auto take = [&]() -> bool {
            while (avcodec_receive_frame(dec, frame) >= 0) {
                if (decoded++ < frameIndex) {
                    av_frame_unref(frame);
                    continue;
                }
                width = frame->width;
                height = frame->height;
                pixels.assign(static_cast<size_t>(width) * height, 0);
                uint8_t* dst[4] = {pixels.data(), nullptr, nullptr, nullptr};
                int dstStride[4] = {width, 0, 0, 0};
                SwsContext* sws =
                    sws_getContext(width, height, static_cast<AVPixelFormat>(frame->format), width, height,
                                   AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr, nullptr);
                if (sws) {
                    sws_scale(sws, frame->data, frame->linesize, 0, height, dst, dstStride);
                    sws_freeContext(sws);
                    got = true;
                }
                av_frame_unref(frame);
                return true;
            }
            return false;
        };
        bool done = false;
        while (!done && av_read_frame(ctx, pkt) >= 0) {
            if (pkt->stream_index == stream && avcodec_send_packet(dec, pkt) >= 0)
                done = take();
            av_packet_unref(pkt);
        }
        if (!done && avcodec_send_packet(dec, nullptr) >= 0)
            take();
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&ctx);
    return got;
}

double MeanLuma(const std::string& path, int frameIndex, int x, int y, int w, int h) {
    std::vector<uint8_t> gray;
    int width = 0, height = 0;
    if (!GrayFrame(path, frameIndex, gray, width, height))
        return -1;
    int64_t sum = 0, n = 0;
    for (int yy = std::max(0, y); yy < std::min(height, y + h); ++yy)
        for (int xx = std::max(0, x); xx < std::min(width, x + w); ++xx, ++n)
            sum += gray[static_cast<size_t>(yy) * width + xx];
    return n > 0 ? static_cast<double>(sum) / n : -1;
}

void WriteSolidBmp(const std::string& path, int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    const int rowBytes = (width * 3 + 3) / 4 * 4;
    const uint32_t dataSize = static_cast<uint32_t>(rowBytes * height);
    std::vector<uint8_t> file(54 + dataSize, 0);
    auto put16 = [&](size_t at, uint16_t v) {
        file[at] = static_cast<uint8_t>(v);
        file[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            file[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, 54 + dataSize);
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(width));
    put32(22, static_cast<uint32_t>(height));
    put16(26, 1);
    put16(28, 24);
    put32(34, dataSize);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t at = 54 + static_cast<size_t>(y) * rowBytes + static_cast<size_t>(x) * 3;
            file[at] = b;
            file[at + 1] = g;
            file[at + 2] = r;
        }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
}

} // namespace kavlo::test
