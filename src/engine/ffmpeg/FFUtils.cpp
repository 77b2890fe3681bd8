#include "engine/ffmpeg/FFUtils.h"

#include "core/TextUtils.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

namespace kavlo {

std::string FormatTimestamp(int64_t us) {
    if (us == AV_NOPTS_VALUE)
        return "N/A";
    const bool negative = us < 0;
    // Unsigned negation is defined for the lowest value too.
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(us) : static_cast<uint64_t>(us);
    const uint64_t ms = magnitude / 1000;
    const unsigned long long hours = ms / 3600000;
    const unsigned minutes = static_cast<unsigned>(ms / 60000 % 60);
    const unsigned seconds = static_cast<unsigned>(ms / 1000 % 60);
    const unsigned millis = static_cast<unsigned>(ms % 1000);
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%s%.2llu:%.2u:%.2u.%.3u", negative ? "-" : "", hours, minutes, seconds,
                  millis);
    return buf;
}

std::string ErrorCodeText(int code) {
    if (code == AVERROR(ENOENT))
        return "No such file or directory";
    if (code == AVERROR(EIO))
        return "I/O error";
    if (code == AVERROR(ENOMEM))
        return "Not enough memory";
    if (code == AVERROR(EINVAL) || code == AVERROR_INVALIDDATA)
        return "Invalid data found when processing input";
    if (code == AVERROR_EOF)
        return "End of file";
    if (code == AVERROR(EDOM))
        return "Number syntax expected in filename";
    if (code == AVERROR(EILSEQ) || code == AVERROR_DEMUXER_NOT_FOUND || code == AVERROR_MUXER_NOT_FOUND)
        return "Unknown format";
    if (code == AVERROR(EPROTONOSUPPORT) || code == AVERROR_PROTOCOL_NOT_FOUND)
        return "Unsupported network protocol";
    if (code == AVERROR_PATCHWELCOME)
        return "Not yet implemented in FFmpeg";
    char buf[AV_ERROR_MAX_STRING_SIZE * 2] = {};
    if (av_strerror(code, buf, sizeof(buf)) < 0 || buf[0] == '\0')
        return Format("Error number %d occurred", code);
    return buf;
}

std::string ErrorText(const std::string& name, int code) {
    return name + ": " + ErrorCodeText(code);
}

std::string FormatFileSize(int64_t bytes) {
    char buf[64];
    if (bytes <= 1024)
        std::snprintf(buf, sizeof(buf), "%lld Byte", static_cast<long long>(bytes));
    else if (bytes <= 1048576)
        std::snprintf(buf, sizeof(buf), "%.2f KB", static_cast<double>(bytes) / 1024.0);
    else if (bytes <= 1073741824)
        std::snprintf(buf, sizeof(buf), "%.2f MB", static_cast<double>(bytes) / 1048576.0);
    else
        std::snprintf(buf, sizeof(buf), "%.2f GB", static_cast<double>(bytes) / 1073741824.0);
    return buf;
}

std::string MediaTypeName(int mediaType) {
    switch (mediaType) {
    case AVMEDIA_TYPE_VIDEO:
        return "Video";
    case AVMEDIA_TYPE_AUDIO:
        return "Audio";
    case AVMEDIA_TYPE_DATA:
        return "Data";
    case AVMEDIA_TYPE_SUBTITLE:
        return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT:
        return "Attachment";
    default:
        return "Unknown";
    }
}

std::string CodecDisplayName(AVCodecID codecId, uint32_t codecTag, bool encoder) {
    const AVCodec* codec = encoder ? avcodec_find_encoder(codecId) : avcodec_find_decoder(codecId);
    if (codec && codec->name) {
        if (codec->long_name && !Trim(codec->long_name).empty())
            return Format("%s(%s)", codec->name, codec->long_name);
        return codec->name;
    }
    if (codecId == AV_CODEC_ID_MPEG2TS)
        return "mpeg2ts";
    // Known to the library but without an implementation in this build.
    if (const AVCodecDescriptor* desc = avcodec_descriptor_get(codecId); desc && desc->name) {
        std::string name = Trim(std::string(desc->name).substr(0, 32));
        if (!name.empty())
            return name;
    }
    const unsigned char c[4] = {static_cast<unsigned char>(codecTag & 0xFF),
                                static_cast<unsigned char>((codecTag >> 8) & 0xFF),
                                static_cast<unsigned char>((codecTag >> 16) & 0xFF),
                                static_cast<unsigned char>((codecTag >> 24) & 0xFF)};
    bool printable = true;
    for (unsigned char ch : c)
        printable = printable && ch >= 32 && ch <= 126;
    if (printable)
        return Format("%c%c%c%c / 0x%04X", c[0], c[1], c[2], c[3], codecTag);
    return Format("0x%04x", codecTag);
}

std::string CodecDisplayName(const AVCodecParameters* par, bool encoder) {
    if (!par)
        return CodecDisplayName(AV_CODEC_ID_NONE, 0, encoder);
    return CodecDisplayName(par->codec_id, par->codec_tag, encoder);
}

std::string MetadataValue(const AVDictionary* dict, const std::string& key, const std::string& defaultValue) {
    const AVDictionaryEntry* e = av_dict_get(dict, key.c_str(), nullptr, 0);
    return (e && e->value) ? std::string(e->value) : defaultValue;
}

std::chrono::system_clock::time_point UnixTimeToDateTime(int64_t seconds) {
    return std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
}

int64_t FileSizeOf(const std::string& fileName) {
    struct stat st;
    if (fileName.empty() || ::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<int64_t>(st.st_size);
}

bool NeedUnicodeURL(const std::string& fileName) {
    static const char* const kPassThrough[] = {"unicode", "stream", "gopher", "http",
                                               "pipe",    "rtp",    "tcp",    "udp"};
    if (fileName.empty())
        return false;
    const size_t colon = fileName.find(':');
    if (colon != std::string::npos) {
        const std::string prefix = fileName.substr(0, colon);
        for (const char* p : kPassThrough)
            if (prefix == p)
                return false;
    }
    return true;
}

std::string FileNameToURL(const std::string& fileName) {
    return NeedUnicodeURL(fileName) ? "file:" + fileName : fileName;
}

bool IsUnicodeURL(const std::string& url) {
    return url.size() > 5 && url.compare(0, 5, "file:") == 0;
}

std::string URLToFileName(const std::string& url) {
    return IsUnicodeURL(url) ? url.substr(5) : url;
}

} // namespace kavlo
