#pragma once
#include "core/Bitmap24.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace kavlo {

// The picture a file without video shows: the wave form of the samples just played, one band
// per channel. The audio callback feeds samples; the play thread draws.
class AudioVisualizer {
public:
    AudioVisualizer();
    // Interleaved signed 16-bit samples as they go to the device.
    void AddSamples(const int16_t* samples, int frames, int channels);
    // Draws the latest samples into image (resized to width x height, at least 1 x 1).
    void Draw(Bitmap24& image, int width, int height);
    void Clear();

private:
    static constexpr int RingFrames = 1 << 15;
    std::mutex mutex_;
    std::vector<int16_t> ring_; // RingFrames frames of up to 2 channels
    int channels_ = 1;
    int writeIndex_ = 0;
};

} // namespace kavlo
