#pragma once

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/frame.h>
}

namespace kavlo {

// Free a scratch frame or packet however the scope is left (the transcode paths throw on errors).
struct AVFrameGuard {
    AVFrame*& f;
    ~AVFrameGuard() { av_frame_free(&f); }
};

struct AVPacketGuard {
    AVPacket*& p;
    ~AVPacketGuard() { av_packet_free(&p); }
};

} // namespace kavlo
