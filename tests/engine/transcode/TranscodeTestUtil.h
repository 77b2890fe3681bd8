#pragma once
// Helpers of the transcode tests: run conversions through the engine component and read back
// what the output files hold, with the libraries directly.
#include "core/TempDir.h"
#include "engine/TFFmpegEngine.h"
#include "fixtures/Fixtures.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kavlo::test {

struct StreamFacts {
    int type = -1; // AVMEDIA_TYPE_*
    std::string codec;
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
    int frameSize = 0;
    double duration = 0; // seconds, from the first packet's start to the last packet's end
    double decoded = 0;  // audio: seconds of decoded samples (priming the container marks is left out)
    double start = 0;    // seconds, first packet pts
    int packets = 0;
    double frameRate = 0; // average, for video
    int rotation = 0;
};

struct MediaFacts {
    bool ok = false;
    std::string error;
    std::string format;
    std::vector<StreamFacts> streams;
    const StreamFacts* First(int type) const;
};

// Opens the file, probes it and reads every packet.
MediaFacts Inspect(const std::string& path);

// One conversion's result as the engine reported it.
struct RunResult {
    std::vector<TTerminateInfo> terminations;
    int progressCalls = 0;
    std::string addError;
    bool added = false;
};

// Adds one task (input with inputOptions, one output with outputOptions) and runs it with
// StartTask(0). The engine is created by the caller so that it can set handlers first.
RunResult RunOne(TFFmpegEngine& engine, const std::string& input, const std::string& output,
                 const TOutputOptions& outputOptions, const TInputOptions* inputOptions = nullptr);

// The shared media folder, or empty when it is not there.
std::string SharedMedia(const std::string& name);

// Loads the converter libraries once.
void LoadLibraries();

} // namespace kavlo::test

namespace kavlo::test {

// Copies a file's streams into a new MOV file, moving the audio by audioShiftUs and giving the
// video a display matrix turned by rotation degrees (clockwise, 0 = none).
bool Remux(const std::string& input, const std::string& output, int64_t audioShiftUs, int rotation);

// Writes a raw H.264 stream whose first `framesA` pictures are widthA x heightA and the next
// `framesB` are widthB x heightB (25 fps, grey ramps).
bool WriteSizeChangeH264(const std::string& output, int widthA, int heightA, int framesA, int widthB,
                         int heightB, int framesB);

} // namespace kavlo::test
