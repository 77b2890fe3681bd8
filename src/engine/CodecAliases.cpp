#include "engine/CodecAliases.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kavlo {

namespace {

bool Installed(const char* name) {
    return avcodec_find_encoder_by_name(name) != nullptr;
}

// True when the container can hold the codec (or nothing is known about the container).
bool Accepts(const AVOutputFormat* container, AVCodecID id) {
    return !container || avformat_query_codec(container, id, FF_COMPLIANCE_NORMAL) == 1;
}

std::string AmrReplacement(const AVOutputFormat* container) {
    if (Installed("libopencore_amrnb"))
        return "libopencore_amrnb";
    if (container && container->audio_codec != AV_CODEC_ID_NONE) {
        const AVCodec* c = avcodec_find_encoder(container->audio_codec);
        if (c && !(c->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
            return c->name;
    }
    for (const char* name : {"aac", "libmp3lame", "mp2", "ac3", "pcm_s16le"}) {
        const AVCodec* c = avcodec_find_encoder_by_name(name);
        if (c && Accepts(container, c->id))
            return name;
    }
    return "aac";
}

} // namespace

std::string ResolveEncoderName(const std::string& name, const AVOutputFormat* container) {
    if (name == "libfaac")
        return "aac";
    if (name == "libflac")
        return "flac";
    if (name == "vorbis")
        return Installed("libvorbis") ? "libvorbis" : name;
    if (name == "libamr_nb" || name == "libopencore_amrnb")
        return AmrReplacement(container);
    if (name == "wmv3") {
        if (container && container->video_codec != AV_CODEC_ID_NONE)
            if (const AVCodec* c = avcodec_find_encoder(container->video_codec))
                return c->name;
        return std::string();
    }
    if (name == "msmpeg4v1")
        return "msmpeg4v2";
    return name;
}

} // namespace kavlo
