#pragma once
#include <chrono>
#include <cstdint>
#include <string>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavcodec/codec_par.h>
#include <libavutil/avutil.h>
#include <libavutil/dict.h>
}

// Small formatting and file helpers shared by the engine, the probe and the player.
namespace kavlo {

// "HH:MM:SS.mmm" of a time in microseconds; hours are not wrapped (100:00:00.000). The
// library's no-value time (AV_NOPTS_VALUE) gives "N/A"; a negative time gets a leading "-".
std::string FormatTimestamp(int64_t us);

// name + ": " + the text of a library error code. The classic codes keep their classic texts
// ("No such file or directory", "End of file", "Unknown format", ...); any other code gets the
// library's own description (av_strerror), or "Error number %d occurred" when it has none.
std::string ErrorText(const std::string& name, int code);
// Just the text part of ErrorText.
std::string ErrorCodeText(int code);

// "%d Byte" up to 1024, then "%.2f KB", "%.2f MB" (up to 1 GiB) and "%.2f GB"; the decimal
// separator follows the C library's numeric locale, as the rest of the program's numbers do.
std::string FormatFileSize(int64_t bytes);

// "Video", "Audio", "Data", "Subtitle", "Attachment", else "Unknown".
std::string MediaTypeName(int mediaType);

// The display name of a stream's codec: the encoder's (or decoder's) name, with its long name
// in brackets when it has one ("h264(H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10)"); "mpeg2ts"
// for the transport-stream pseudo codec; the codec's registered name when this build has no
// implementation for it; else the codec tag, as "abcd / 0x64636261" when printable or
// "0x1234" otherwise.
std::string CodecDisplayName(AVCodecID codecId, uint32_t codecTag, bool encoder);
std::string CodecDisplayName(const AVCodecParameters* par, bool encoder);

// The value stored under key (matched without regard to case), else defaultValue.
std::string MetadataValue(const AVDictionary* dict, const std::string& key,
                          const std::string& defaultValue = std::string());

// The instant of a Unix time in seconds. A time_point carries no time zone: format it in local
// time (localtime_r on system_clock::to_time_t) when showing it.
std::chrono::system_clock::time_point UnixTimeToDateTime(int64_t seconds);

// Size of an existing regular file; -1 when the name does not exist or is not a regular file
// (a folder, for instance).
int64_t FileSizeOf(const std::string& fileName);

// Protocol prefixes a name may carry to be handed to the libraries as it is.
// True when fileName is a local path that must be wrapped before the libraries see it: it
// does not start with one of "unicode", "stream", "gopher", "http", "pipe", "rtp", "tcp",
// "udp" followed by ":" (case as written).
bool NeedUnicodeURL(const std::string& fileName);
// The URL the libraries open for fileName: "file:" + the name for a local path, so that a ":"
// in a name is never read as a protocol; a name with a known protocol prefix as it is.
std::string FileNameToURL(const std::string& fileName);
// True for a URL that FileNameToURL made from a local path ("file:" and at least one more
// character).
bool IsUnicodeURL(const std::string& url);
// The file name of a URL: the path of a "file:" URL, anything else as it is.
std::string URLToFileName(const std::string& url);

} // namespace kavlo
