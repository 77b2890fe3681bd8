// Real-time playback of a 1920x1080 25 fps H.264 + AAC clip for 20 s to a surface that copies
// every picture, as a painting surface would: pictures shown, pictures dropped (late pictures let
// go and pictures the decoder skipped), CPU time of the whole process.
// KAVLO_PLAYER_BENCH_FILE plays another file instead of the generated clip.

#include "core/Dispatcher.h"
#include "core/TempDir.h"
#include "engine/ffmpeg/FFUtils.h"
#include "fixtures/Fixtures.h"
#include "player/TFFPlayer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

using namespace kavlo;

class CopyingSurface : public TVideoSurface {
public:
    void ShowPicture(const TVideoPicture& p) override {
        const int planes = p.format == TVideoPicture::pfYUV420P ? 3 : 1;
        size_t used = 0;
        for (int i = 0; i < planes; ++i) {
            const int w =
                i == 0 ? (p.format == TVideoPicture::pfBGR24 ? p.width * 3 : p.width) : (p.width + 1) / 2;
            const int h = i == 0 ? p.height : (p.height + 1) / 2;
            if (copy_.size() < used + static_cast<size_t>(w) * h)
                copy_.resize(used + static_cast<size_t>(w) * h);
            for (int y = 0; y < h; ++y)
                std::memcpy(copy_.data() + used + static_cast<size_t>(y) * w,
                            p.data[i] + static_cast<ptrdiff_t>(y) * p.linesize[i], w);
            used += static_cast<size_t>(w) * h;
        }
        shown.fetch_add(1);
    }
    void ShowVisualization(const Bitmap24&) override {}
    std::atomic<int64_t> shown{0};

private:
    std::vector<uint8_t> copy_;
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

const std::string& Clip(std::string& error) {
    static std::unique_ptr<test::TempDir> dir;
    static std::string path;
    if (!path.empty())
        return path;
    if (const char* file = std::getenv("KAVLO_PLAYER_BENCH_FILE")) {
        path = file;
        return path;
    }
    dir = std::make_unique<test::TempDir>();
    fixtures::FixtureSpec recipe = fixtures::SpecFor(fixtures::FixtureKind::MovH264Aac);
    recipe.video->width = 1920;
    recipe.video->height = 1080;
    recipe.video->frameCount = 25 * 21;
    recipe.video->gopSize = 50;
    // A quality setting that gives the decoder a full-HD bit rate to chew (several Mbit/s).
    recipe.video->codecOptions = {{"crf", "10"}};
    recipe.audio[0].durationSeconds = 21.0;
    const std::string out = dir->Path("play1080p.mov");
    if (fixtures::Generate(recipe, out, &error))
        path = out;
    return path;
}

// range(0) = 1: with sound (the audio clock is the master, SDL's dummy device stands in for a sound
// card); 0: the same clip with the sound disabled, so that only decoding and showing count.
void BM_Play1080p25For20s(benchmark::State& state) {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    std::string error;
    const std::string& file = Clip(error);
    if (file.empty()) {
        state.SkipWithError(("cannot write the clip: " + error).c_str());
        return;
    }
    for (auto _ : state) {
        TFFPlayer player;
        if (!player.LoadAVLib("")) {
            state.SkipWithError(player.LastErrMsg().c_str());
            return;
        }
        player.SetDisableAudio(state.range(0) == 0);
        CopyingSurface surface;
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        if (!player.Open(file, &surface)) {
            state.SkipWithError(player.LastErrMsg().c_str());
            return;
        }
        while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20))
            CurrentDispatcher().WaitAndProcess(std::chrono::milliseconds(20));
        const int64_t shown = player.FramesShown();
        const int64_t dropped = player.FramesDropped();
        TCustomPlayer::TPlayerClocks clocks{};
        player.GetClocks(clocks);
        player.Stop(true);
        const double cpu = CpuSeconds() - cpu0;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.counters["frames_shown"] = static_cast<double>(shown);
        state.counters["frames_dropped"] = static_cast<double>(dropped);
        state.counters["cpu_seconds"] = cpu;
        state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
        state.counters["position_s"] = clocks.master / 1e6;
        if (const int64_t size = FileSizeOf(file); size > 0)
            state.counters["clip_mbit_per_s"] = size * 8.0 / 21.0 / 1e6;
    }
}

BENCHMARK(BM_Play1080p25For20s)
    ->ArgName("audio")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
