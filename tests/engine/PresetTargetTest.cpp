// Named presets (built in, codec-prefixed, from a file) and the DVD/VCD/SVCD/DV targets.
#include "SetupTestUtil.h"
#include "engine/FFmpegPresets.h"
#include "engine/ffmpeg/LogCapture.h"

#include <gtest/gtest.h>

#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace kavlo::test {
namespace {

using fixtures::FixtureKind;

class PresetTest : public LogCapture {
protected:
    void SetUp() override {
        LogCapture::SetUp();
        task = NewTask();
    }
    std::string Preset(const std::string& kind, const std::string& value) {
        return Refusal([&] { task->SetPreset(kind, value); });
    }
    std::string WriteFile(const std::string& name, const std::string& text) {
        std::string path = dir.Path(name);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::unique_ptr<TFFmpeg> task;
    TempDir dir;
};

TEST_F(PresetTest, TheBuiltInTableInOrderWithItsTexts) {
    const std::vector<TBuiltinPreset>& presets = BuiltinPresets();
    ASSERT_EQ(presets.size(), 40u);
    EXPECT_STREQ(presets.front().Name, "libx264-baseline");
    EXPECT_STREQ(presets[17].Name, "libx264-max");
    EXPECT_STREQ(presets.back().Name, "libx264-mp4");
    EXPECT_STREQ(FindBuiltinPreset("libx264-baseline"), "coder=0\nbf=0\nflags2=-wpred-dct8x8\nwpredp=0");
    EXPECT_STREQ(FindBuiltinPreset("libx264-main"), "flags2=-dct8x8");
    EXPECT_STREQ(
        FindBuiltinPreset("libx264-lossless_ultrafast"),
        "coder=0\nflags=+loop\ncmp=+chroma\npartitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\n"
        "me_method=dia\nsubq=0\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
        "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\ndirectpred=1\nflags2=+fastpskip\ncqp=0");
    EXPECT_STREQ(FindBuiltinPreset("libx264-slow"),
                 "coder=1\nflags=+loop\ncmp=+chroma\npartitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
                 "me_method=umh\nsubq=8\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
                 "b_strategy=2\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=5\ndirectpred=3\ntrellis=1\n"
                 "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\nwpredp=2");
    EXPECT_STREQ(FindBuiltinPreset("libx264-ipod"),
                 "coder=0\nflags=+loop\nlevel=30\ncmp=+chroma\npartitions=+parti4x4+parti8x8+partp8x8\n"
                 "me_method=umh\nsubq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
                 "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nrefs=1\ndirectpred=1\ntrellis=2\n"
                 "b=1000000\nmaxrate=1250000\nbufsize=4000000\nbt=256000\nsc_threshold=40");
    EXPECT_STREQ(FindBuiltinPreset("libx264-psp"), FindBuiltinPreset("libx264-mp4"));
    std::string ps3 = FindBuiltinPreset("libx264-ps3");
    EXPECT_EQ(ps3.find("b=1250000"), std::string::npos);
    EXPECT_NE(ps3.find("\nmaxrate=3500000\n"), std::string::npos);
    EXPECT_EQ(FindBuiltinPreset("LIBX264-Medium"), FindBuiltinPreset("libx264-medium"));
    EXPECT_EQ(FindBuiltinPreset("medium"), nullptr);
}

// Every built-in preset applies to the installed libx264, and the encoder then opens with it.
TEST_F(PresetTest, EveryBuiltInPresetOpensLibx264) {
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    ASSERT_NE(x264, nullptr);
    for (const TBuiltinPreset& p : BuiltinPresets()) {
        task->Init();
        task->SetOption("vcodec", "libx264");
        ASSERT_EQ(Preset("vpre", p.Name), "") << p.Name;
        AVCodecContext* enc = avcodec_alloc_context3(x264);
        task->CopyGenericCodecOptions(enc, AVMEDIA_TYPE_VIDEO,
                                      AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
        enc->width = 64;
        enc->height = 48;
        enc->pix_fmt = AV_PIX_FMT_YUV420P;
        enc->time_base = {1, 25};
        enc->thread_count = 1;
        EXPECT_GE(avcodec_open2(enc, x264, nullptr), 0) << p.Name;
        if (std::string(p.Name) == "libx264-ultrafast") {
            int64_t dct = -1, bpyramid = -1;
            av_opt_get_int(enc->priv_data, "8x8dct", 0, &dct);
            av_opt_get_int(enc->priv_data, "b-pyramid", 0, &bpyramid);
            EXPECT_EQ(dct, 0);
            EXPECT_EQ(bpyramid, 0);
            EXPECT_EQ(enc->max_b_frames, 0);
            EXPECT_FALSE(enc->flags & AV_CODEC_FLAG_LOOP_FILTER);
        }
        if (std::string(p.Name) == "libx264-lossless_max") {
            int64_t qp = -2;
            av_opt_get_int(enc->priv_data, "qp", 0, &qp);
            EXPECT_EQ(qp, 0);
            EXPECT_EQ(enc->refs, 16);
        }
        avcodec_free_context(&enc);
    }
}

TEST_F(PresetTest, LookupBuiltInThenCodecPrefixedThenFile) {
    // Found directly: no codec named, the container's default encoder (libx264 for MP4) takes it.
    task->SetPendingOutputName("out.mp4");
    EXPECT_EQ(Preset("vpre", "libx264-ipod"), "");
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_VIDEO)->bit_rate, 1000000);
    // Without an encoder that knows them, its libx264 options are refused.
    task->Init();
    task->SetOption("vcodec", "mpeg4");
    EXPECT_EQ(Preset("vpre", "libx264-ipod"),
              "libx264-ipod: Invalid option or argument: \"coder=0\", parsed as \"coder\" = \"0\"");
    task->Init();
    // "medium" is no preset of its own: with libx264 it is libx264-medium.
    EXPECT_EQ(Preset("vpre", "medium"), "Preset \"medium\" not found");
    task->SetOption("vcodec", "libx264");
    EXPECT_EQ(Preset("vpre", "medium"), "");
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_VIDEO)->refs, 3);
    // The audio prefix is the audio codec.
    EXPECT_EQ(Preset("apre", "medium"), "Preset \"medium\" not found");
    EXPECT_EQ(Preset("vpre", "nosuchpreset"), "Preset \"nosuchpreset\" not found");
    // fpre is always a file.
    EXPECT_EQ(Preset("fpre", "libx264-ipod"), "Preset \"libx264-ipod\" not found");
}

TEST_F(PresetTest, PresetFiles) {
    std::string good = WriteFile("good.ffpreset", "\r\n  g=100 \r\n\r\nbf = 2\rvcodec=mpeg4\nACODEC=mp2\n");
    EXPECT_EQ(Preset("fpre", good), "");
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_VIDEO)->gop_size, 100);
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_VIDEO)->max_b_frames, 2);
    EXPECT_EQ(task->opt.videoCodecName, "mpeg4");
    EXPECT_EQ(task->opt.audioCodecName, "mp2");

    task->Init();
    std::string noEquals = WriteFile("noequals.ffpreset", "g=100\ngarbage\n");
    EXPECT_EQ(Preset("vpre", noEquals), noEquals + ": Invalid syntax: \"garbage\"");
    std::string emptyValue = WriteFile("empty.ffpreset", "g=\n");
    EXPECT_EQ(Preset("apre", emptyValue), emptyValue + ": Invalid syntax: \"g=\"");
    std::string unknown = WriteFile("unknown.ffpreset", "nosuchoption = 1");
    EXPECT_EQ(Preset("spre", unknown),
              unknown +
                  ": Invalid option or argument: \"nosuchoption = 1\", parsed as \"nosuchoption\" = \"1\"");
    // The name in the messages is the one looked up last: with a codec set, the prefixed one.
    task->SetOption("vcodec", "libx264");
    EXPECT_EQ(Preset("vpre", noEquals), "libx264-" + noEquals + ": Invalid syntax: \"garbage\"");
}

class TargetTest : public PresetTest {
protected:
    void OpenInput(FixtureKind kind) { ASSERT_TRUE(task->OpenInput(FixturePath(kind))) << task->setupError; }
    std::string Target(const std::string& target, const std::string& norm, const std::string& def = "pal") {
        return Refusal([&] { task->SetTarget(target, norm, def); });
    }
    bool Logged(const std::string& text) {
        for (const Line& l : Lines())
            if (l.msg == text)
                return true;
        return false;
    }
};

TEST_F(TargetTest, DvdGuessesPalFromA25FpsInput) {
    OpenInput(FixtureKind::MovH264Aac);
    ClearLines();
    EXPECT_EQ(Target("dvd", "auto"), "");
    EXPECT_TRUE(Logged("Assuming PAL for target."));
    const TOptionState& o = task->opt;
    EXPECT_EQ(o.frameWidth, 720);
    EXPECT_EQ(o.frameHeight, 576);
    EXPECT_EQ(o.frameRate.num, 25);
    EXPECT_EQ(o.frameRate.den, 1);
    EXPECT_EQ(o.videoCodecName, "mpeg2video");
    EXPECT_EQ(o.audioCodecName, "ac3");
    EXPECT_EQ(o.forcedFormat, "dvd");
    EXPECT_EQ(o.audioSampleRate, 48000);
    AVCodecContext* v = task->CodecOptions(AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(v->gop_size, 15);
    EXPECT_EQ(v->bit_rate, 6000000);
    EXPECT_EQ(v->rc_max_rate, 9000000);
    EXPECT_EQ(v->rc_buffer_size, 1835008);
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_AUDIO)->bit_rate, 448000);
    EXPECT_EQ(task->FormatOptions()->packet_size, 2048u);
}

TEST_F(TargetTest, DvdGuessesNtscFromA2997FpsInput) {
    OpenInput(FixtureKind::Mov2997);
    ClearLines();
    EXPECT_EQ(Target("dvd", "auto"), "");
    EXPECT_TRUE(Logged("Assuming NTSC for target."));
    EXPECT_EQ(task->opt.frameWidth, 720);
    EXPECT_EQ(task->opt.frameHeight, 480);
    EXPECT_EQ(task->opt.frameRate.num, 30000);
    EXPECT_EQ(task->opt.frameRate.den, 1001);
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_VIDEO)->gop_size, 18);
}

TEST_F(TargetTest, AudioOnlyInputHasNoFrameRateToGuessFrom) {
    OpenInput(FixtureKind::Mp3AudioOnly);
    EXPECT_EQ(Target("vcd", "auto"), "frame_rate is invalid.");
    // A named norm needs no guess.
    EXPECT_EQ(Refusal([&] { task->SetOption("target", "ntsc-vcd"); }), "");
    EXPECT_EQ(task->opt.frameHeight, 240);
    EXPECT_EQ(task->opt.frameRate.num, 30000);
}

TEST_F(TargetTest, UndecidedRateFallsBackToTheDefaultNorm) {
    task->SetOption("r", "50");
    EXPECT_EQ(Target("vcd", "auto", "film"), "");
    EXPECT_EQ(task->opt.frameRate.num, 24000);
    EXPECT_TRUE(Logged("Assuming NTSC for target."));
    task->Init();
    task->SetOption("r", "50");
    EXPECT_EQ(Target("vcd", "auto", "whatever"), "");
    EXPECT_EQ(task->opt.frameRate.num, 25);
    // The option form always falls back to NTSC.
    task->Init();
    task->SetOption("r", "50");
    EXPECT_EQ(Refusal([&] { task->SetOption("target", "svcd"); }), "");
    EXPECT_EQ(task->opt.frameHeight, 480);
}

TEST_F(TargetTest, TableValuesPerTarget) {
    EXPECT_EQ(Target("vcd", "pal"), "");
    EXPECT_TRUE(Logged("Assuming 4:3 for aspect ratio"));
    EXPECT_NEAR(task->opt.frameAspectRatio, 4.0 / 3.0, 1e-9);
    EXPECT_EQ(task->opt.videoCodecName, "mpeg1video");
    EXPECT_EQ(task->opt.audioCodecName, "mp2");
    EXPECT_FLOAT_EQ(task->opt.muxPreload, 0.44f);
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_VIDEO)->rc_min_rate, 1150000);
    EXPECT_EQ(task->FormatOptions()->packet_size, 2324u);

    task->Init();
    task->SetOption("ac", "1");
    task->SetOption("aspect", "16:9");
    ClearLines();
    EXPECT_EQ(Target("svcd", "ntsc"), "");
    EXPECT_FALSE(Logged("Assuming 4:3 for aspect ratio"));
    EXPECT_EQ(task->opt.audioChannels, 2);
    EXPECT_EQ(task->opt.frameWidth, 480);
    EXPECT_EQ(task->opt.frameHeight, 480);
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_VIDEO)->bit_rate, 2040000);

    task->Init();
    EXPECT_EQ(Target("dvd", "film"), "");
    EXPECT_TRUE(Logged("Assuming 16:9 for aspect ratio"));
    EXPECT_EQ(task->opt.frameRate.num, 24000);
    EXPECT_EQ(task->opt.frameHeight, 480);

    struct Dv {
        const char* target;
        const char* norm;
        AVPixelFormat pixFmt;
        int height;
    } dvs[] = {{"dv", "pal", AV_PIX_FMT_YUV420P, 576},
               {"dv", "ntsc", AV_PIX_FMT_YUV411P, 480},
               {"dv50", "pal", AV_PIX_FMT_YUV422P, 576}};
    for (const Dv& d : dvs) {
        task->Init();
        EXPECT_EQ(Target(d.target, d.norm), "");
        EXPECT_EQ(task->opt.framePixFmt, d.pixFmt) << d.target << " " << d.norm;
        EXPECT_EQ(task->opt.frameHeight, d.height);
        EXPECT_EQ(task->opt.forcedFormat, "dv");
        EXPECT_EQ(task->opt.audioSampleRate, 48000);
    }
    task->Init();
    EXPECT_EQ(Target("laserdisc", "pal"), "Unknown target type");
}

} // namespace
} // namespace kavlo::test
