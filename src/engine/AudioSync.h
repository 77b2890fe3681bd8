#pragma once
#include <cstdint>

namespace kavlo {

// What the audio sync (option async) does with one block of samples before it is encoded.
// Counts are in samples of the encoder's rate.
struct TAudioSyncDecision {
    enum Kind { None, Discard, Pad, Compensate, Rebase } Action = None;
    int64_t Samples = 0;        // Discard / Pad: how many samples
    int Compensation = 0;       // Compensate: samples to add (+) or remove (-) over one second
    int64_t OutputPosition = 0; // Rebase: the new output position
    double Delta = 0.0;         // samples the output is behind the input clock
};

// syncTime: the sync stream's time minus the start time, in seconds; outputPosition: samples
// produced so far; pendingSamples: samples waiting in the frame FIFO; atStart: the input stream
// is at its start (or just after a discontinuity).
TAudioSyncDecision DecideAudioSync(int async, double driftThreshold, double syncTime, int sampleRate,
                                   int64_t outputPosition, int64_t pendingSamples, bool atStart);

} // namespace kavlo
