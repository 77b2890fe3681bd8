#pragma once
#include <string>

extern "C" {
#include <libavutil/avutil.h>
}

struct AVOutputFormat;

namespace kavlo {

// Resolves an encoder name that the profiles and presets use but the installed libraries may
// lack, through one alias table:
//   libfaac -> aac, libflac -> flac, vorbis -> libvorbis (the native one is experimental),
//   libamr_nb / libopencore_amrnb -> libopencore_amrnb when installed, else the first installed
//     encoder the container accepts of: its default audio codec, aac, libmp3lame, mp2, ac3,
//     pcm_s16le,
//   wmv3 -> the container's default video encoder (empty result: "use the container default"),
//   msmpeg4v1 -> msmpeg4v2.
// Any other name comes back unchanged. The container, when known, lets an alias pick what it
// accepts.
std::string ResolveEncoderName(const std::string& name, const AVOutputFormat* container = nullptr);

} // namespace kavlo
