#pragma once
#include <cstdint>

// The timing rules of playback, kept apart from the threads so that they can be checked alone.
namespace kavlo {

// Chooses a decoded frame's time from the frame's own (reordered) pts and the dts of the packet it
// came in, counting how often each has gone backwards: some files carry broken pts, others broken
// dts, and the one that misbehaves less is trusted.
struct TReorderStats {
    int64_t faultyPts = 0;
    int64_t faultyDts = 0;
    int64_t lastPts;
    int64_t lastDts;

    TReorderStats() { Reset(); }
    void Reset();
    // reorderMode 1: always the pts; 0: the dts when there is one; -1: automatic.
    // Returns the library's no-value time when neither exists.
    int64_t Choose(int64_t pts, int64_t dts, int reorderMode = -1);
};

// Adaptive decoder-side frame skipping: the factor grows while pictures come too late to show and
// shrinks while the picture queue is full (the decoder is ahead).
struct TFrameSkip {
    double factor = 1.0;
    double counter = 0.0;

    void Reset() {
        factor = 1.0;
        counter = 0.0;
    }
    // True when this decoded frame is to be shown.
    bool Take();
    void Late() { factor *= 1.05; }
    void QueueFull();
};

// When a picture should appear relative to the previous one. Keeps the last frame's pts and
// delay between calls.
struct TFrameDelay {
    double lastPts = 0.0;
    double lastDelay = 0.04;

    void Reset(double delay = 0.04) {
        lastPts = 0.0;
        lastDelay = delay;
    }
    // The delay after the previous picture. With syncToMaster, diff is video clock minus master
    // clock: pictures behind the master go at once, pictures ahead wait twice as long.
    double Next(double pts, bool syncToMaster, double diff);
};

// Running average of the audio clock's distance to the master clock, used to stretch or shrink
// audio when audio is not the master.
struct TAudioDiffAverage {
    double cumulative = 0.0;
    double coefficient = 0.0;
    double threshold = 0.0;
    int count = 0;

    // Coefficient exp(ln 0.01 / 20); threshold two device buffers of 1024 samples.
    void Setup(int sampleRate);
    void Reset() {
        cumulative = 0.0;
        count = 0;
    }
    // The number of bytes the chunk of `size` bytes should have, given diff = audio clock minus
    // master clock. Changes are whole samples within 90 % to 110 % of size.
    int WantedSize(int size, double diff, int sampleRate, int channels);
};

// Changes a chunk of signed 16-bit interleaved samples from size to wanted bytes (both whole
// frames of `channels` samples): cutting drops samples at the end, growing repeats the last
// sample. buffer must hold wanted bytes.
void AdjustAudioChunk(uint8_t* buffer, int size, int wanted, int channels);

} // namespace kavlo
