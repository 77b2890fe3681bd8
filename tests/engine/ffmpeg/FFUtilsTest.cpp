#include "engine/ffmpeg/FFUtils.h"

#include "core/TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

namespace kavlo {
namespace {

TEST(FormatTimestamp, Table) {
    const struct {
        int64_t us;
        const char* text;
    } cases[] = {
        {AV_NOPTS_VALUE, "N/A"},
        {0, "00:00:00.000"},
        {999, "00:00:00.000"},
        {3723004000LL, "01:02:03.004"},
        {3723004999LL, "01:02:03.004"},
        {359999999000LL, "99:59:59.999"},
        {360000000000LL, "100:00:00.000"},
        {-1500000, "-00:00:01.500"},
        {-3723004000LL, "-01:02:03.004"},
        {INT64_MAX, "2562047788:00:54.775"},
        {INT64_MIN + 1, "-2562047788:00:54.775"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatTimestamp(c.us), c.text) << c.us;
}

TEST(FormatFileSize, Table) {
    const struct {
        int64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 Byte"},
        {1024, "1024 Byte"},
        {1025, "1.00 KB"},
        {1536, "1.50 KB"},
        {1048576, "1024.00 KB"},
        {1048577, "1.00 MB"},
        {1073741824, "1024.00 MB"},
        {1073741825, "1.00 GB"},
        {5368709120LL, "5.00 GB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatFileSize(c.bytes), c.text) << c.bytes;
}

TEST(ErrorText, ClassicCodesKeepTheirTextsOthersGetTheLibrarys) {
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {AVERROR(ENOENT), "No such file or directory"},
        {AVERROR(EIO), "I/O error"},
        {AVERROR(ENOMEM), "Not enough memory"},
        {AVERROR(EINVAL), "Invalid data found when processing input"},
        {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
        {AVERROR_EOF, "End of file"},
        {AVERROR(EDOM), "Number syntax expected in filename"},
        {AVERROR(EILSEQ), "Unknown format"},
        {AVERROR_DEMUXER_NOT_FOUND, "Unknown format"},
        {AVERROR_MUXER_NOT_FOUND, "Unknown format"},
        {AVERROR_PROTOCOL_NOT_FOUND, "Unsupported network protocol"},
        {AVERROR(EPROTONOSUPPORT), "Unsupported network protocol"},
        {-1163346256, "Not yet implemented in FFmpeg"},
        {AVERROR_DECODER_NOT_FOUND, "Decoder not found"},
        {AVERROR(EACCES), "Permission denied"},
        {5, "Error number 5 occurred"},
        {-987654, "Error number -987654 occurred"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrorText("in.mov", c.code), std::string("in.mov: ") + c.text) << c.code;
}

TEST(MediaTypeName, Table) {
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_VIDEO), "Video");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_AUDIO), "Audio");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_DATA), "Data");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_SUBTITLE), "Subtitle");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_ATTACHMENT), "Attachment");
    EXPECT_EQ(MediaTypeName(AVMEDIA_TYPE_UNKNOWN), "Unknown");
    EXPECT_EQ(MediaTypeName(17), "Unknown");
}

TEST(CodecDisplayName, Rules) {
    EXPECT_EQ(CodecDisplayName(AV_CODEC_ID_PCM_S16LE, 0, false),
              "pcm_s16le(PCM signed 16-bit little-endian)");
    EXPECT_EQ(CodecDisplayName(AV_CODEC_ID_MPEG2TS, 0, false), "mpeg2ts");
    // Known codec without an encoder in any build: its registered name.
    EXPECT_EQ(CodecDisplayName(AV_CODEC_ID_VP6, 0, true), "vp6");
    EXPECT_EQ(CodecDisplayName(AV_CODEC_ID_NONE, MKTAG('a', 'b', 'c', 'd'), false), "abcd / 0x64636261");
    EXPECT_EQ(CodecDisplayName(AV_CODEC_ID_NONE, 0x1, false), "0x0001");
    EXPECT_EQ(CodecDisplayName(AV_CODEC_ID_NONE, MKTAG('a', 'b', 'c', 0x7F), false), "0x7f636261");

    AVCodecParameters* par = avcodec_parameters_alloc();
    ASSERT_NE(par, nullptr);
    par->codec_id = AV_CODEC_ID_MJPEG;
    EXPECT_EQ(CodecDisplayName(par, true), "mjpeg(MJPEG (Motion JPEG))");
    avcodec_parameters_free(&par);
}

TEST(MetadataValue, LooksUpWithoutRegardToCase) {
    AVDictionary* dict = nullptr;
    av_dict_set(&dict, "title", "Holiday", 0);
    EXPECT_EQ(MetadataValue(dict, "TITLE", "none"), "Holiday");
    EXPECT_EQ(MetadataValue(dict, "artist", "none"), "none");
    EXPECT_EQ(MetadataValue(nullptr, "title"), "");
    av_dict_free(&dict);
}

TEST(UnixTimeToDateTime, IsTheSameInstant) {
    EXPECT_EQ(std::chrono::system_clock::to_time_t(UnixTimeToDateTime(1262304000)), 1262304000);
    EXPECT_EQ(std::chrono::system_clock::to_time_t(UnixTimeToDateTime(-86400)), -86400);
}

TEST(FileSizeOf, RegularFilesOnly) {
    test::TempDir dir;
    const std::string file = dir.Path("five bytes ü.bin");
    std::ofstream(file, std::ios::binary) << "12345";
    EXPECT_EQ(FileSizeOf(file), 5);
    EXPECT_EQ(FileSizeOf(dir.Root()), -1);
    EXPECT_EQ(FileSizeOf(dir.Path("missing")), -1);
    EXPECT_EQ(FileSizeOf(""), -1);
}

TEST(FileNameToURL, LocalPathsAreWrappedProtocolsPassed) {
    const struct {
        const char* name;
        const char* url;
    } cases[] = {
        {"/home/u/a b.mov", "file:/home/u/a b.mov"},
        {"clip:1.mov", "file:clip:1.mov"},
        {"rtmp:clip.mov", "file:rtmp:clip.mov"},
        {"file:x.mov", "file:file:x.mov"},
        {"HTTP://host/x.mov", "file:HTTP://host/x.mov"}, // prefixes match case as written
        {"http://host/x.mov", "http://host/x.mov"},
        {"udp://127.0.0.1:1234", "udp://127.0.0.1:1234"},
        {"pipe:0", "pipe:0"},
        {"tcp://127.0.0.1:80", "tcp://127.0.0.1:80"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FileNameToURL(c.name), c.url) << c.name;
        EXPECT_EQ(NeedUnicodeURL(c.name), std::string(c.url) != c.name) << c.name;
        EXPECT_EQ(URLToFileName(FileNameToURL(c.name)), c.name) << c.name;
    }
    EXPECT_TRUE(IsUnicodeURL("file:a"));
    EXPECT_FALSE(IsUnicodeURL("file:"));
    EXPECT_FALSE(IsUnicodeURL("http://host/a"));
    EXPECT_EQ(URLToFileName("http://host/a"), "http://host/a");
}

TEST(FileNameToURL, OpensFilesWithSpacesColonsAndNonAsciiNames) {
    test::TempDir dir;
    for (const char* leaf : {"a b.bin", "udp:1 clip.bin", "Ünïcødé 映画.bin", "x:y:z.bin"}) {
        const std::string name = dir.Path(leaf);
        std::ofstream(name, std::ios::binary) << "kavlo:" << leaf;
        AVIOContext* io = nullptr;
        ASSERT_GE(avio_open(&io, FileNameToURL(name).c_str(), AVIO_FLAG_READ), 0) << name;
        char buf[128] = {};
        const int n = avio_read(io, reinterpret_cast<unsigned char*>(buf), sizeof(buf) - 1);
        avio_closep(&io);
        EXPECT_EQ(std::string(buf, n > 0 ? n : 0), std::string("kavlo:") + leaf);
    }

    // A relative name whose first part looks like a protocol is still the local file.
    struct CurrentDir {
        std::filesystem::path saved = std::filesystem::current_path();
        ~CurrentDir() { std::filesystem::current_path(saved); }
    } restore;
    std::filesystem::current_path(dir.Root());
    AVIOContext* io = nullptr;
    EXPECT_LT(avio_open(&io, "x:y:z.bin", AVIO_FLAG_READ), 0) << "unwrapped, the name is read as a protocol";
    ASSERT_GE(avio_open(&io, FileNameToURL("x:y:z.bin").c_str(), AVIO_FLAG_READ), 0);
    EXPECT_EQ(avio_size(io), static_cast<int64_t>(std::string("kavlo:x:y:z.bin").size()));
    avio_closep(&io);
}

} // namespace
} // namespace kavlo
