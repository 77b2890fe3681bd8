// Cost of the per-frame effect chain on a 1080p frame. Run on one core, e.g.
//   taskset -c 0 bench_editing
#include <filesystem>
#include <string>
#include <unistd.h>

#include <QImage>
#include <benchmark/benchmark.h>

#include "core/Bitmap24.h"
#include "editing/FrameEffects.h"
#include "editing/GuiApplication.h"
#include "editing/WatermarkImageCache.h"
#include "editing/WatermarkText.h"

using namespace kavlo;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

Bitmap24 NoiseFrame(int w, int h) {
    Bitmap24 bmp(w, h);
    uint32_t seed = 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x) {
            seed = seed * 1664525u + 1013904223u;
            bmp.ScanLine(y)[x] = static_cast<uint8_t>(seed >> 24);
        }
    return bmp;
}

// A 200x100 watermark BMP in a private temporary folder, removed at exit.
struct OverlayFile {
    std::string dir;
    std::string path;
    OverlayFile() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kavlo-bench-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        path = dir + "/overlay.bmp";
        QImage img(200, 100, QImage::Format_RGB888);
        img.fill(QColor(30, 120, 220));
        if (!img.save(QString::fromStdString(path), "BMP"))
            throw std::runtime_error("cannot write " + path);
    }
    ~OverlayFile() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

OverlayFile& Overlay() {
    static OverlayFile file;
    return file;
}

void BM_AdjustColors(benchmark::State& state) {
    Bitmap24 frame = NoiseFrame(kWidth, kHeight);
    for (auto _ : state) {
        AdjustColors(frame, 300, 20, 180);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AdjustColors)->Unit(benchmark::kMillisecond);

void BM_AdjustExposure(benchmark::State& state) {
    Bitmap24 frame = NoiseFrame(kWidth, kHeight);
    for (auto _ : state) {
        AdjustExposure(frame, 40);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AdjustExposure)->Unit(benchmark::kMillisecond);

void BM_BlendImage200x100(benchmark::State& state) {
    Bitmap24 frame = NoiseFrame(kWidth, kHeight);
    const Bitmap24 overlay = NoiseFrame(200, 100);
    const int style = static_cast<int>(state.range(0));
    for (auto _ : state) {
        BlendImage(frame, overlay, 1700, 960, 168, style);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BlendImage200x100)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_DrawWatermarkText(benchmark::State& state) {
    Bitmap24 frame = NoiseFrame(kWidth, kHeight);
    WatermarkFont font;
    font.Name = "DejaVu Sans";
    font.Size = 24;
    font.Color = MakeBgrColor(255, 255, 0);
    font.Bold = true;
    for (auto _ : state) {
        DrawWatermarkText(frame, "Kavlo MOV to MP4 Converter", font, 40, 40);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DrawWatermarkText)->Unit(benchmark::kMicrosecond);

void BM_WatermarkImageLoadCached(benchmark::State& state) {
    const std::string& path = Overlay().path;
    for (auto _ : state)
        benchmark::DoNotOptimize(LoadWatermarkImage(path));
}
BENCHMARK(BM_WatermarkImageLoadCached)->Unit(benchmark::kMicrosecond);

void BM_WatermarkImageDecode(benchmark::State& state) {
    const std::string& path = Overlay().path;
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeWatermarkImage(path));
}
BENCHMARK(BM_WatermarkImageDecode)->Unit(benchmark::kMicrosecond);

void BM_ApplyFileEffectsEverything(benchmark::State& state) {
    const Bitmap24 source = NoiseFrame(kWidth, kHeight);
    TlvFilesRecord r;
    r.Brightness = 300;
    r.Contrast = 20;
    r.Saturation = 180;
    r.Exposure = 40;
    r.WatermarkText = "Kavlo MOV to MP4 Converter";
    r.WatermarkFont.Name = "DejaVu Sans";
    r.WatermarkFont.Size = 24;
    r.TextX = 40;
    r.TextY = 40;
    r.WatermarkImageFile = Overlay().path;
    r.ImageX = 1700;
    r.ImageY = 960;
    r.ProcessText = state.range(0) != 0;
    r.ProcessImage = state.range(0) != 0;
    Bitmap24 frame = source;
    for (auto _ : state) {
        ApplyFileEffects(frame, r);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ApplyFileEffectsEverything)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    EnsureGuiApplication();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
