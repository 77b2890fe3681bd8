#pragma once
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kavlo::test {

struct ToolResult {
    int exitCode = -1; // 128 + signal number when the child was killed by a signal
    std::string out;
    std::string err;
};

// Runs the built kavlo-convert (beside this test program) with `args`, its settings and home
// folder redirected into `home` so the user's own settings are never read or written.
// `onStderr` (optional) sees stderr as it grows and may return a signal to send to the child
// (0 for none); it is asked again until it sends one.
ToolResult RunConvert(const std::vector<std::string>& args, const std::string& home,
                      const std::function<int(const std::string& err)>& onStderr = nullptr);

// A short QuickTime clip: H.264 (320x240 unless asked) 25 fps + AAC 48 kHz stereo of `seconds` (at most 2).
std::string MakeShortClip(const std::string& dir, const std::string& name, double seconds = 1.0,
                          uint32_t seed = 1, int width = 320, int height = 240);

// One JSON object per line of `text`, parsed; fields as strings (numbers in decimal text, null
// as "null"). Fails the calling test (returns empty) when a line is not an object.
std::vector<std::map<std::string, std::string>> ParseJsonLines(const std::string& text);

// Facts of a converted file read back with the project's probe and the libraries.
struct MediaFacts {
    bool ok = false;
    std::string error;
    std::string formatName; // demuxer name
    double durationSec = -1;
    std::string title;
    // First video stream
    bool hasVideo = false;
    std::string videoCodec;
    int width = 0, height = 0;
    double fps = 0;            // average frame rate
    int64_t videoBitRate = -1; // bit/s: the stream's, else from its packet sizes
    std::string h264Profile;   // "Baseline", "Main", "High", ... for H.264
    int h264Level = -1;        // 30 for level 3.0
    // First audio stream
    bool hasAudio = false;
    std::string audioCodec;
    int sampleRate = 0;
    int channels = 0;
    int64_t audioBitRate = -1;
};
MediaFacts ReadMediaFacts(const std::string& path);

// The n-th decoded video frame as 8-bit grey (its luma), row by row; false when it cannot be read.
bool GrayFrame(const std::string& path, int frameIndex, std::vector<uint8_t>& pixels, int& width,
               int& height);

// Mean luma of a rectangle of the n-th decoded video frame (x, y, w, h in output pixels); -1 when
// the file or frame cannot be read.
double MeanLuma(const std::string& path, int frameIndex, int x, int y, int w, int h);

// A 24-bit BMP file of one colour.
void WriteSolidBmp(const std::string& path, int width, int height, uint8_t r, uint8_t g, uint8_t b);

} // namespace kavlo::test
