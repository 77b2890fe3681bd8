#pragma once
#include "probe/TCustomAVProbe.h"

namespace kavlo {

// The probe the windows, the engine's tasks and the player use: it also picks the stream that
// stands for the file (the first video stream, else the first audio stream).
class TAVProbe : public TCustomAVProbe {
public:
    TAVProbe() = default;
    ~TAVProbe() override;

    void CloseFile() override;

    // The stream that stands for the file; -1 when closed or without audio and video.
    int StreamIndex() const { return streamIndex_; }
    // Start time of that stream in microseconds, else the file's; 0 when neither is known.
    int64_t StartTime() const { return startTime_; }

protected:
    void FileOpened() override;

private:
    int streamIndex_ = -1;
    int64_t startTime_ = 0;
};

} // namespace kavlo
