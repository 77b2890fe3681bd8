#include "probe/TAVProbe.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kavlo {

TAVProbe::~TAVProbe() {
    TAVProbe::CloseFile();
}

void TAVProbe::CloseFile() {
    TCustomAVProbe::CloseFile();
    streamIndex_ = -1;
    startTime_ = 0;
}

void TAVProbe::FileOpened() {
    const AVFormatContext* ic = FormatContext();
    streamIndex_ = FirstVideoStreamIndex() >= 0 ? FirstVideoStreamIndex() : FirstAudioStreamIndex();
    startTime_ = 0;
    if (streamIndex_ >= 0) {
        const AVStream* st = ic->streams[streamIndex_];
        if (st->start_time != AV_NOPTS_VALUE && st->time_base.den != 0) {
            startTime_ = av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q);
            return;
        }
    }
    if (ic->start_time != AV_NOPTS_VALUE)
        startTime_ = ic->start_time;
}

} // namespace kavlo
