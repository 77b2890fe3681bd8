// Opening, probing and describing real media files: LoadFile + InfoText per file, one benchmark
// per file, plus the whole folder in one go.
#include "engine/ffmpeg/TFFLogger.h"
#include "engine/ffmpeg/TFFmpegLoader.h"
#include "probe/TAVProbe.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::vector<std::string> MediaFiles() {
    const char* env = std::getenv("KAVLO_SHARED_MEDIA");
    std::string dir = env ? env : KAVLO_DEFAULT_SHARED_MEDIA;
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.is_regular_file() && entry.path().extension() != ".md")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

void ProbeOne(benchmark::State& state, const std::string& path) {
    kavlo::TAVProbe probe;
    size_t chars = 0;
    for (auto _ : state) {
        if (probe.LoadFile(path))
            chars += probe.InfoText().size();
        else
            chars += probe.LastErrMsg().size();
        probe.CloseFile();
    }
    benchmark::DoNotOptimize(chars);
}

void ProbeAll(benchmark::State& state, const std::vector<std::string>& files) {
    kavlo::TAVProbe probe;
    size_t chars = 0;
    for (auto _ : state) {
        for (const auto& path : files) {
            if (probe.LoadFile(path))
                chars += probe.InfoText().size();
            probe.CloseFile();
        }
    }
    benchmark::DoNotOptimize(chars);
    state.counters["files"] = static_cast<double>(files.size());
    state.counters["per_file_us"] =
        benchmark::Counter(static_cast<double>(state.iterations() * files.size()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

int main(int argc, char** argv) {
    if (!kavlo::FFmpegLoader().Load(kavlo::kConverterLibraries)) {
        std::fprintf(stderr, "%s\n", kavlo::FFmpegLoader().LastErrMsg().c_str());
        return 1;
    }
    kavlo::FFLogger().SetLogLevel(kavlo::llQuiet);
    const std::vector<std::string> files = MediaFiles();
    if (files.empty())
        std::fprintf(stderr, "no media files (set KAVLO_SHARED_MEDIA)\n");
    for (const auto& path : files)
        benchmark::RegisterBenchmark(("ProbeFile/" + std::filesystem::path(path).filename().string()).c_str(),
                                     ProbeOne, path)
            ->Unit(benchmark::kMicrosecond);
    if (!files.empty())
        benchmark::RegisterBenchmark("ProbeAllFiles", ProbeAll, files)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
