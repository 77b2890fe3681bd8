// Opening inputs and outputs, creating output streams from the current values, the codec lookup
// with its aliases, format negotiation against encoders, and the clean-up.
#include "SetupTestUtil.h"
#include "engine/CodecAliases.h"
#include "engine/ffmpeg/FFUtils.h"
#include "engine/ffmpeg/LogCapture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace kavlo::test {
namespace {

using fixtures::FixtureKind;

class SetupTest : public LogCapture {
protected:
    void SetUp() override {
        LogCapture::SetUp();
        task = NewTask();
    }
    void OpenInput(FixtureKind kind) { ASSERT_TRUE(task->OpenInput(FixturePath(kind))) << task->setupError; }
    const AVCodec* Find(const std::string& name, AVMediaType type, bool encoder, int strictness = 0,
                        const AVOutputFormat* container = nullptr) {
        const AVCodec* codec = nullptr;
        if (!task->FindCodec(name, type, encoder, strictness, codec, container))
            return nullptr;
        return codec;
    }
    std::unique_ptr<TFFmpeg> task;
    TempDir dir;
};

TEST_F(SetupTest, FindCodecMessagesAndAliases) {
    EXPECT_EQ(Find("", AVMEDIA_TYPE_VIDEO, true), nullptr);
    EXPECT_EQ(task->setupError, "");
    EXPECT_EQ(Find("nosuch", AVMEDIA_TYPE_VIDEO, true), nullptr);
    EXPECT_EQ(task->setupError, "Unknown encoder 'nosuch'");
    EXPECT_EQ(Find("nosuch", AVMEDIA_TYPE_AUDIO, false), nullptr);
    EXPECT_EQ(task->setupError, "Unknown decoder 'nosuch'");
    EXPECT_EQ(Find("aac", AVMEDIA_TYPE_VIDEO, true), nullptr);
    EXPECT_EQ(task->setupError, "Invalid encoder type 'aac'");
    EXPECT_EQ(Find("opus", AVMEDIA_TYPE_AUDIO, true), nullptr);
    std::string experimental = "encoder 'opus' is experimental and might produce bad results.\r\n"
                               "Add '-strict experimental' if you want to use it.";
    const AVCodec* opusDefault = avcodec_find_encoder(AV_CODEC_ID_OPUS);
    if (opusDefault && !(opusDefault->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
        experimental += std::string("\r\nOr use the non experimental encoder '") + opusDefault->name + "'.";
    EXPECT_EQ(task->setupError, experimental);
    ASSERT_NE(Find("opus", AVMEDIA_TYPE_AUDIO, true, FF_COMPLIANCE_EXPERIMENTAL), nullptr);

    struct Alias {
        const char* name;
        AVMediaType type;
        const char* expected;
    } aliases[] = {{"libfaac", AVMEDIA_TYPE_AUDIO, "aac"},
                   {"libflac", AVMEDIA_TYPE_AUDIO, "flac"},
                   {"vorbis", AVMEDIA_TYPE_AUDIO, "libvorbis"},
                   {"libamr_nb", AVMEDIA_TYPE_AUDIO, "libopencore_amrnb"},
                   {"libopencore_amrnb", AVMEDIA_TYPE_AUDIO, "libopencore_amrnb"},
                   {"msmpeg4v1", AVMEDIA_TYPE_VIDEO, "msmpeg4v2"},
                   {"libx264", AVMEDIA_TYPE_VIDEO, "libx264"}};
    for (const Alias& a : aliases) {
        if (!avcodec_find_encoder_by_name(a.expected)) {
            ADD_FAILURE() << a.expected
                          << " is not installed (scripts/install-deps.sh installs libavcodec-extra)";
            continue;
        }
        const AVCodec* c = Find(a.name, a.type, true);
        ASSERT_NE(c, nullptr) << a.name << ": " << task->setupError;
        EXPECT_STREQ(c->name, a.expected);
    }
    // wmv3 has no encoder: the container's default one stands for it.
    task->setupError.clear();
    EXPECT_EQ(Find("wmv3", AVMEDIA_TYPE_VIDEO, true), nullptr);
    EXPECT_EQ(task->setupError, "");
    const AVOutputFormat* asf = av_guess_format("asf", nullptr, nullptr);
    EXPECT_EQ(ResolveEncoderName("wmv3", asf), avcodec_find_encoder(asf->video_codec)->name);
    // Decoders take names as they are.
    const AVCodec* h264 = Find("h264", AVMEDIA_TYPE_VIDEO, false);
    ASSERT_NE(h264, nullptr);
    EXPECT_TRUE(av_codec_is_decoder(h264));
}

TEST_F(SetupTest, FormatNegotiationAgainstTheEncoder) {
    const AVCodec* mp2 = avcodec_find_encoder_by_name("mp2");
    AVCodecContext* ctx = avcodec_alloc_context3(nullptr);
    ctx->sample_rate = 44000;
    TCustomFFmpeg::ChooseSampleRate(ctx, mp2);
    EXPECT_EQ(ctx->sample_rate, 44100);
    bool warned = false;
    for (const Line& l : Lines())
        warned =
            warned || (l.level == llWarning &&
                       l.msg.find("Requested sampling rate unsupported using closest supported (44100)") !=
                           std::string::npos);
    EXPECT_TRUE(warned);
    ctx->sample_rate = 48000;
    TCustomFFmpeg::ChooseSampleRate(ctx, mp2);
    EXPECT_EQ(ctx->sample_rate, 48000);

    ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    TCustomFFmpeg::ChooseSampleFormat(ctx, avcodec_find_encoder_by_name("aac"));
    EXPECT_EQ(ctx->sample_fmt, AV_SAMPLE_FMT_FLTP);
    ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    TCustomFFmpeg::ChooseSampleFormat(ctx, mp2);
    EXPECT_EQ(ctx->sample_fmt, AV_SAMPLE_FMT_S16);

    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    ctx->pix_fmt = AV_PIX_FMT_RGB24;
    TCustomFFmpeg::ChoosePixelFormat(ctx, x264);
    EXPECT_EQ(ctx->pix_fmt, x264->pix_fmts[0]);
    ctx->pix_fmt = AV_PIX_FMT_YUV422P;
    TCustomFFmpeg::ChoosePixelFormat(ctx, x264);
    EXPECT_EQ(ctx->pix_fmt, AV_PIX_FMT_YUV422P);

    // MJPEG: plain 4:2:0 only below normal strictness, else its full-range twin.
    const AVCodec* mjpeg = avcodec_find_encoder_by_name("mjpeg");
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    TCustomFFmpeg::ChoosePixelFormat(ctx, mjpeg);
    EXPECT_EQ(ctx->pix_fmt, AV_PIX_FMT_YUVJ420P);
    ctx->pix_fmt = AV_PIX_FMT_YUV422P;
    ctx->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    TCustomFFmpeg::ChoosePixelFormat(ctx, mjpeg);
    EXPECT_EQ(ctx->pix_fmt, AV_PIX_FMT_YUV422P);
    ctx->strict_std_compliance = FF_COMPLIANCE_NORMAL;

    // DV: the frame size and rate decide.
    const AVCodec* dv = avcodec_find_encoder_by_name("dvvideo");
    ctx->width = 720;
    ctx->height = 480;
    ctx->framerate = {30000, 1001};
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    TCustomFFmpeg::ChoosePixelFormat(ctx, dv);
    EXPECT_EQ(ctx->pix_fmt, AV_PIX_FMT_YUV411P);
    ctx->height = 576;
    ctx->framerate = {25, 1};
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    TCustomFFmpeg::ChoosePixelFormat(ctx, dv);
    EXPECT_EQ(ctx->pix_fmt, AV_PIX_FMT_YUV420P);
    avcodec_free_context(&ctx);
}

TEST_F(SetupTest, InputSetsTheCurrentValues) {
    OpenInput(FixtureKind::MovH264Aac);
    const TOptionState& o = task->opt;
    EXPECT_EQ(task->InputCount(), 1);
    EXPECT_EQ(o.frameWidth, 320);
    EXPECT_EQ(o.frameHeight, 240);
    EXPECT_NEAR(o.frameAspectRatio, 4.0 / 3.0, 1e-9);
    EXPECT_EQ(o.frameRate.num, 25);
    EXPECT_EQ(o.frameRate.den, 1);
    EXPECT_EQ(o.audioSampleRate, 48000);
    EXPECT_EQ(o.audioChannels, 2);
    EXPECT_EQ(o.audioSampleFmt, AV_SAMPLE_FMT_FLTP);
    EXPECT_EQ(task->inputCodecs.size(), 2u);
    EXPECT_NEAR(static_cast<double>(o.totalDuration), 2e6, 1e5);
}

TEST_F(SetupTest, InputOptionsAndFailures) {
    // Forced decoder names, consumed by the open.
    task->SetOption("vcodec", "h264");
    OpenInput(FixtureKind::MovH264Aac);
    EXPECT_STREQ(task->inputCodecs[0]->name, "h264");
    EXPECT_EQ(task->inputCodecs[1], nullptr);
    EXPECT_EQ(task->opt.videoCodecName, "");

    // A start time seeks and is consumed; the offset moves the timestamps back.
    task = NewTask();
    task->SetOption("ss", "1");
    OpenInput(FixtureKind::MovH264Aac);
    EXPECT_EQ(task->opt.startTime, 0);
    int64_t start = task->inputFiles[0].Context->start_time;
    EXPECT_EQ(task->inputFiles[0].TsOffset, -(1000000 + (start == AV_NOPTS_VALUE ? 0 : start)));

    task = NewTask();
    task->SetOption("vn", "1");
    OpenInput(FixtureKind::MovH264Aac);
    EXPECT_EQ(task->inputFiles[0].Context->streams[0]->discard, AVDISCARD_ALL);

    task = NewTask();
    task->SetOption("f", "nosuchformat");
    EXPECT_EQ(Refusal([&] { task->OpenInput(FixturePath(FixtureKind::MovH264Aac)); }),
              "Unknown input format: \"nosuchformat\"");

    task = NewTask();
    task->SetOption("programid", "7");
    EXPECT_FALSE(task->OpenInput(FixturePath(FixtureKind::MovH264Aac)));
    EXPECT_EQ(task->setupError, "Specified program id not found");
    EXPECT_EQ(task->InputCount(), 0);

    task = NewTask();
    task->SetOption("acodec", "nosuchdecoder");
    EXPECT_FALSE(task->OpenInput(FixturePath(FixtureKind::MovH264Aac)));
    EXPECT_EQ(task->setupError, "Unknown decoder 'nosuchdecoder'");

    task = NewTask();
    std::string missing = dir.Path("missing.mov");
    EXPECT_FALSE(task->OpenInput(missing));
    EXPECT_EQ(task->setupError, missing + ": No such file or directory");
    EXPECT_FALSE(task->OpenInput(FixturePath(FixtureKind::RandomBytes)));
    EXPECT_EQ(task->setupError,
              FixturePath(FixtureKind::RandomBytes) + ": Invalid data found when processing input");
    EXPECT_EQ(task->InputCount(), 0);
}

TEST_F(SetupTest, OutputFormatAndStreamKinds) {
    EXPECT_EQ(task->OpenOutput(dir.Path("a.xyz"), false), -1);
    EXPECT_EQ(task->setupError, "Unable to find a suitable output format for '" + dir.Path("a.xyz") + "'");
    task->SetOption("f", "nosuchmuxer");
    EXPECT_EQ(task->OpenOutput(dir.Path("a.mp4"), false), -1);
    EXPECT_EQ(task->setupError, "Requested output format 'nosuchmuxer' is not a suitable output format");
    EXPECT_EQ(task->OutputCount(), 0);

    // An audio-only input: a video codec name asks for video, but there is nothing to take it from.
    OpenInput(FixtureKind::Mp3AudioOnly);
    task->SetOption("vcodec", "libx264");
    task->SetOption("acodec", "aac");
    ASSERT_EQ(task->OpenOutput(dir.Path("audio only.mp4"), false), 1) << task->setupError;
    AVFormatContext* oc = task->outputFiles[0].Context;
    ASSERT_EQ(oc->nb_streams, 1u);
    EXPECT_EQ(oc->streams[0]->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
    ASSERT_EQ(task->outputStreams.size(), 1u);
    EXPECT_STREQ(task->outputStreams[0].Codec->name, "aac");
    EXPECT_EQ(task->outputStreams[0].Encoder->sample_rate, 44100);
}

TEST_F(SetupTest, VideoStreamFromTheCurrentValues) {
    OpenInput(FixtureKind::MovH264Aac);
    task->SetOption("vcodec", "libx264");
    task->SetOption("vb", "400000");
    task->SetOption("s", "160x120");
    task->SetOption("r", "30");
    task->SetOption("aspect", "16:9");
    task->SetOption("vtag", "avc1");
    task->SetOption("vlang", "eng");
    task->SetOption("vbsf", "h264_mp4toannexb");
    task->SetOption("streamid", "0:5");
    task->SetOption("rc_override", "0,10,2/20,30,-50");
    task->SetOption("pass", "1");
    task->SetOption("an", "1");
    ASSERT_EQ(task->OpenOutput(dir.Path("v.mp4"), false), 1) << task->setupError;
    ASSERT_EQ(task->outputStreams.size(), 1u);
    const TOutputStreamSetup& s = task->outputStreams[0];
    AVCodecContext* enc = s.Encoder;
    ASSERT_NE(enc, nullptr);
    EXPECT_FALSE(s.StreamCopy);
    EXPECT_EQ(enc->bit_rate, 400000);
    EXPECT_EQ(enc->width, 160);
    EXPECT_EQ(enc->height, 120);
    EXPECT_EQ(enc->time_base.num, 1);
    EXPECT_EQ(enc->time_base.den, 30);
    EXPECT_EQ(enc->pix_fmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(enc->thread_count, 0);
    EXPECT_EQ(enc->max_b_frames, 0);
    EXPECT_TRUE(enc->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
    EXPECT_TRUE(enc->flags & AV_CODEC_FLAG_PASS1);
    EXPECT_EQ(enc->codec_tag, MKTAG('a', 'v', 'c', '1'));
    // 16:9 shown on 160x120 pixels: 4:3 pixels.
    EXPECT_EQ(enc->sample_aspect_ratio.num, 4);
    EXPECT_EQ(enc->sample_aspect_ratio.den, 3);
    ASSERT_EQ(enc->rc_override_count, 2);
    EXPECT_EQ(enc->rc_override[0].qscale, 2);
    EXPECT_EQ(enc->rc_override[1].qscale, 0);
    EXPECT_FLOAT_EQ(enc->rc_override[1].quality_factor, 0.5f);
    EXPECT_EQ(s.BitstreamFilters, std::vector<std::string>{"h264_mp4toannexb"});
    EXPECT_EQ(s.Stream->id, 5);
    EXPECT_EQ(MetadataValue(s.Stream->metadata, "language"), "eng");
    // Reset for the next stream; the stream ids start again with the next output.
    EXPECT_EQ(task->opt.videoCodecName, "");
    EXPECT_EQ(task->opt.framePixFmt, -1);
    EXPECT_TRUE(task->opt.videoBitstreamFilters.empty());
    EXPECT_EQ(task->opt.streamIdMap[0], 0);

    // A second video stream in the same output copies the source.
    task->SetOption("vcodec", "copy");
    task->SetOption("newvideo", "");
    ASSERT_EQ(task->outputStreams.size(), 2u);
    EXPECT_TRUE(task->outputStreams[1].StreamCopy);
    EXPECT_EQ(task->outputStreams[1].Encoder, nullptr);
    EXPECT_EQ(task->outputStreams[1].Index, 1);
}

TEST_F(SetupTest, RefusedStreamsLeaveNothingBehind) {
    OpenInput(FixtureKind::MovH264Aac);
    task->SetOption("vcodec", "nosuchencoder");
    EXPECT_EQ(task->OpenOutput(dir.Path("a.mp4"), false), -1);
    EXPECT_EQ(task->setupError, "new_video_stream fail: Unknown encoder 'nosuchencoder'");
    EXPECT_EQ(task->OutputCount(), 0);
    EXPECT_TRUE(task->outputStreams.empty());
    EXPECT_FALSE(std::filesystem::exists(dir.Path("a.mp4")));

    task->SetOption("vcodec", "libx264");
    task->SetOption("rc_override", "1,2");
    EXPECT_EQ(task->OpenOutput(dir.Path("b.mp4"), false), -1);
    EXPECT_EQ(task->setupError, "new_video_stream fail: error parsing rc_override");

    task->SetOption("rc_override", "0,1,2");
    task->SetOption("acodec", "libx264");
    EXPECT_EQ(task->OpenOutput(dir.Path("c.mp4"), false), -1);
    EXPECT_EQ(task->setupError, "new_audio_stream fail: Invalid encoder type 'libx264'");
    EXPECT_TRUE(task->outputStreams.empty());

    // A new stream refused after the open leaves the output as it was.
    task->SetOption("acodec", "aac");
    ASSERT_EQ(task->OpenOutput(dir.Path("d.mp4"), false), 1) << task->setupError;
    size_t streams = task->outputStreams.size();
    task->SetOption("acodec", "nosuchencoder");
    EXPECT_EQ(Refusal([&] { task->SetOption("newaudio", ""); }), "Unknown encoder 'nosuchencoder'");
    EXPECT_EQ(task->outputStreams.size(), streams);
    EXPECT_EQ(task->outputFiles[0].Context->nb_streams, streams);
}

TEST_F(SetupTest, FileNamesWithSpacesColonsAndNonAscii) {
    std::string odd = dir.Path("a: b ä ü 名.mov");
    std::filesystem::copy_file(FixturePath(FixtureKind::MovH264Aac), odd);
    ASSERT_TRUE(task->OpenInput(odd)) << task->setupError;
    std::string out = dir.Path("out: x ö.mp4");
    ASSERT_EQ(task->OpenOutput(out, false), 1) << task->setupError;
    EXPECT_TRUE(std::filesystem::exists(out));
    EXPECT_EQ(task->outputFiles[0].FileName, out);
}

TEST_F(SetupTest, ExistingFilesAreNeverOverwrittenAndOnlyEmptyOwnOutputsRemoved) {
    OpenInput(FixtureKind::MovH264Aac);
    std::string existing = dir.Path("existing.mp4");
    std::ofstream(existing) << "keep me";
    EXPECT_EQ(task->OpenOutput(existing, false), -1);
    EXPECT_EQ(task->setupError, ErrorText(existing, AVERROR(EEXIST)));
    std::string empty = dir.Path("empty-existing.mp4");
    std::ofstream{empty};
    EXPECT_EQ(task->OpenOutput(empty, false), -1);

    std::string created = dir.Path("created.mp4");
    ASSERT_EQ(task->OpenOutput(created, false), 1) << task->setupError;
    EXPECT_TRUE(task->outputFiles[0].CreatedFile);
    EXPECT_TRUE(std::filesystem::exists(created));
    task->Cleanup();
    EXPECT_FALSE(std::filesystem::exists(created)); // written nothing: gone
    EXPECT_TRUE(std::filesystem::exists(empty));    // the user's empty file stays
    std::ifstream in(existing);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
    EXPECT_EQ(task->InputCount(), 0);
    EXPECT_EQ(task->OutputCount(), 0);
}

TEST_F(SetupTest, OutputMetadataAndMuxParameters) {
    OpenInput(FixtureKind::MovH264Aac);
    task->SetOption("metadata", "title=First");
    task->SetOption("metadata", "title=Second");
    task->SetOption("metadata", "album=A");
    task->SetOption("timestamp", "2021-06-01T12:00:00Z");
    task->SetOption("muxdelay", "0.25");
    task->SetOption("target", "pal-vcd");
    ASSERT_EQ(task->OpenOutput(dir.Path("out.mpg"), false), 1) << task->setupError;
    AVFormatContext* oc = task->outputFiles[0].Context;
    EXPECT_STREQ(oc->oformat->name, "vcd");
    EXPECT_EQ(MetadataValue(oc->metadata, "title"), "First"); // last pair first: the first one wins
    EXPECT_EQ(MetadataValue(oc->metadata, "album"), "A");
    EXPECT_EQ(MetadataValue(oc->metadata, "creation_time"), "2021-06-01T12:00:00.000000Z");
    EXPECT_TRUE(task->opt.metadata.empty());
    EXPECT_EQ(oc->max_delay, 250000);
    EXPECT_EQ(oc->packet_size, 2324u);
    int64_t preload = 0, muxrate = 0;
    av_opt_get_int(oc->priv_data, "preload", 0, &preload);
    av_opt_get_int(oc->priv_data, "muxrate", 0, &muxrate);
    EXPECT_EQ(preload, 440000);
    EXPECT_EQ(muxrate, 1411200);
    ASSERT_EQ(task->outputStreams.size(), 2u);
    EXPECT_STREQ(task->outputStreams[0].Codec->name, "mpeg1video");
    EXPECT_EQ(task->outputStreams[0].Encoder->width, 352);
    EXPECT_STREQ(task->outputStreams[1].Codec->name, "mp2");
}

TEST_F(SetupTest, SvcdFlagsReachTheEncoder) {
    OpenInput(FixtureKind::MovH264Aac);
    task->SetOption("target", "pal-svcd");
    ASSERT_EQ(task->OpenOutput(dir.Path("out.mpg"), false), 1) << task->setupError;
    AVCodecContext* enc = task->outputStreams[0].Encoder;
    int64_t scanOffset = 0;
    av_opt_get_int(enc->priv_data, "scan_offset", 0, &scanOffset);
    EXPECT_EQ(scanOffset, 1);
    EXPECT_EQ(enc->rc_max_rate, 2516000);
    EXPECT_EQ(enc->gop_size, 15);
}

// The H.264 profile of libx264's stream headers: profile_idc of the first SPS in the extradata.
int H264ProfileOf(const AVCodecContext* enc) {
    for (int i = 0; i + 4 < enc->extradata_size; ++i)
        if (enc->extradata[i] == 0 && enc->extradata[i + 1] == 0 && enc->extradata[i + 2] == 1 &&
            (enc->extradata[i + 3] & 0x1f) == 7)
            return enc->extradata[i + 4];
    return -1;
}

// The encoders of typical outputs open with what the set-up negotiated, and the libx264 presets
// give the H.264 profiles their devices need.
TEST_F(SetupTest, EncodersOpenWithTheNegotiatedSettings) {
    struct Case {
        const char* file;
        const char* videoCodec;
        const char* preset; // empty: none
        const char* size;
        const char* rate;
        int h264Profile; // -1: not H.264
    } cases[] = {
        {"ipod.mp4", "libx264", "libx264-ipod", "320x240", "29.97", 66},
        {"psp.mp4", "libx264", "libx264-psp", "320x240", "29.97", 77},
        {"plain.mp4", "libx264", "", "320x240", "25", 66},
        {"medium.mkv", "libx264", "libx264-medium", "320x240", "25", 100},
        {"wii.avi", "mjpeg", "", "320x240", "25", -1},
        {"ntsc.dv", "dvvideo", "", "720x480", "29.97", -1},
        {"pal.dv", "dvvideo", "", "720x576", "25", -1},
        {"mpeg4.avi", "mpeg4", "", "320x240", "25", -1},
    };
    for (const Case& c : cases) {
        task = NewTask();
        OpenInput(FixtureKind::MovH264Aac);
        task->SetOption("vcodec", c.videoCodec);
        task->SetPendingOutputName(dir.Path(c.file));
        if (*c.preset)
            task->SetOption("vpre", c.preset);
        task->SetOption("s", c.size);
        task->SetOption("r", c.rate);
        task->SetOption("an", "1");
        ASSERT_EQ(task->OpenOutput(dir.Path(c.file), false), 1) << c.file << ": " << task->setupError;
        const TOutputStreamSetup& s = task->outputStreams[0];
        EXPECT_GE(avcodec_open2(s.Encoder, s.Codec, nullptr), 0) << c.file;
        if (c.h264Profile >= 0) {
            EXPECT_TRUE(s.Encoder->flags & AV_CODEC_FLAG_GLOBAL_HEADER) << c.file;
            EXPECT_EQ(H264ProfileOf(s.Encoder), c.h264Profile) << c.file;
        }
        task->Cleanup();
    }
}

} // namespace
} // namespace kavlo::test
