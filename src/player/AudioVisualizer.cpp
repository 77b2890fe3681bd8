#include "player/AudioVisualizer.h"

#include <algorithm>
#include <cstring>

namespace kavlo {

AudioVisualizer::AudioVisualizer() : ring_(RingFrames * 2, 0) {}

void AudioVisualizer::AddSamples(const int16_t* samples, int frames, int channels) {
    if (frames <= 0 || channels <= 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (channels != channels_) {
        channels_ = std::min(channels, 2);
        std::fill(ring_.begin(), ring_.end(), 0);
        writeIndex_ = 0;
    }
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels_; ++c)
            ring_[writeIndex_ * 2 + c] = samples[i * channels + c];
        writeIndex_ = (writeIndex_ + 1) % RingFrames;
    }
}

void AudioVisualizer::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(ring_.begin(), ring_.end(), 0);
    writeIndex_ = 0;
}

void AudioVisualizer::Draw(Bitmap24& image, int width, int height) {
    width = std::max(width, 1);
    height = std::max(height, 1);
    image.SetSize(width, height);
    image.Fill(0, 0, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    const int channels = channels_;
    const int bandHeight = std::max(height / channels, 1);
    // The latest `width` frames, one column each.
    const int frames = std::min(width, RingFrames);
    const int start = (writeIndex_ - frames + RingFrames) % RingFrames;
    for (int c = 0; c < channels; ++c) {
        const int top = c * bandHeight;
        const int middle = top + bandHeight / 2;
        // The zero line, dark blue.
        if (middle < height) {
            uint8_t* row = image.ScanLine(middle);
            for (int x = 0; x < width; ++x) {
                row[x * 3] = 96;
                row[x * 3 + 1] = 32;
                row[x * 3 + 2] = 0;
            }
        }
        for (int x = 0; x < frames; ++x) {
            const int sample = ring_[((start + x) % RingFrames) * 2 + c];
            const int y = std::clamp(middle - sample * (bandHeight / 2) / 32768, top,
                                     std::min(top + bandHeight, height) - 1);
            const int y0 = std::min(y, middle), y1 = std::max(y, middle);
            for (int yy = std::max(y0, 0); yy <= std::min(y1, height - 1); ++yy) {
                uint8_t* px = image.ScanLine(yy) + x * 3;
                px[0] = 255;
                px[1] = 255;
                px[2] = 255;
            }
        }
    }
}

} // namespace kavlo
