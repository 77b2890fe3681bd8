// The option dispatcher: values, their syntaxes, the refusals with their messages, the reset
// state, and the generic options over the libraries' option system.
#include "SetupTestUtil.h"
#include "engine/LegacyOptions.h"
#include "engine/ffmpeg/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace kavlo::test {
namespace {

class OptionParserTest : public LogCapture {
protected:
    void SetUp() override {
        LogCapture::SetUp();
        task = NewTask();
    }
    bool Logged(const std::string& text, TLogLevel level) {
        for (const Line& l : Lines())
            if (l.msg.find(text) != std::string::npos && l.level == level)
                return true;
        return false;
    }
    std::string Set(const std::string& name, const std::string& value) {
        return Refusal([&] { task->SetOption(name, value); });
    }
    std::unique_ptr<TFFmpeg> task;
};

TEST_F(OptionParserTest, InitGivesTheResetStateEvenAfterChanges) {
    for (int round = 0; round < 2; ++round) {
        const TOptionState& o = task->opt;
        EXPECT_EQ(o.audioSampleRate, 44100);
        EXPECT_EQ(o.audioChannels, 2);
        EXPECT_FLOAT_EQ(o.audioQScale, -99999.0f);
        EXPECT_FLOAT_EQ(o.muxPreload, 0.5f);
        EXPECT_FLOAT_EQ(o.muxMaxDelay, 0.7f);
        EXPECT_EQ(o.recordingTime, INT64_MAX);
        EXPECT_EQ(o.startTime, 0);
        EXPECT_EQ(o.framePixFmt, -1);
        EXPECT_EQ(o.audioSampleFmt, -1);
        EXPECT_EQ(o.frameRate.num, 0);
        EXPECT_EQ(o.maxFrames[0], INT_MAX);
        EXPECT_EQ(o.topFieldFirst, -1);
        EXPECT_EQ(o.intraDcPrecision, 8);
        EXPECT_EQ(o.loopOutput, -1);
        EXPECT_EQ(o.videoSyncMethod, -1);
        EXPECT_DOUBLE_EQ(o.audioDriftThreshold, 0.1);
        EXPECT_DOUBLE_EQ(o.dtsDeltaThreshold, 10.0);
        EXPECT_EQ(o.audioVolume, 256);
        EXPECT_EQ(o.verbosity, 1);
        EXPECT_EQ(o.encoderBufferSize, 262144);
        EXPECT_EQ(o.totalDuration, -1);
        EXPECT_EQ(task->ScalerFlags(), 4);
        EXPECT_TRUE(task->SetOptionNames().empty());
        // Change a good part of it, then Init again.
        task->SetOption("ar", "22050");
        task->SetOption("t", "5");
        task->SetOption("vol", "512");
        task->SetOption("r", "30");
        task->SetOption("g", "99");
        task->SetOption("sws_flags", "bilinear");
        task->SetOption("map", "0.0");
        task->Init();
    }
    int64_t gop = 0;
    av_opt_get_int(task->CodecOptions(AVMEDIA_TYPE_VIDEO), "g", 0, &gop);
    EXPECT_EQ(gop, 12); // the library default again
    EXPECT_TRUE(task->opt.streamMaps.empty());
}

// Options refused with their message.
struct RefusalCase {
    const char* name;
    const char* value;
    const char* message;
};

TEST_F(OptionParserTest, RefusalsCarryTheirMessages) {
    const RefusalCase cases[] = {
        {"threads", "2", "TODO: option - threads"},
        {"pass", "3", "pass number can be only 1 or 2"},
        {"pass", "0", "pass number can be only 1 or 2"},
        {"qscale", "0", "qscale must be > 0.0 and <= 255"},
        {"qscale", "255.5", "qscale must be > 0.0 and <= 255"},
        {"qscale", "-1", "qscale must be > 0.0 and <= 255"},
        {"aspect", "4:0", "Incorrect aspect ratio specification."},
        {"aspect", "wide", "Incorrect aspect ratio specification."},
        {"aspect", "0", "Incorrect aspect ratio specification."},
        {"metadata", "title", "Missing ="},
        {"itsscale", "25:1.0", "stream index over MAX_STREAMS(20)"},
        {"itsscale", "20:2", "stream index over MAX_STREAMS(20)"},
        {"padtop", "10", "Please use vfilters=pad"},
        {"padcolor", "000000", "Please use vfilters=pad"},
        {"vtag", "abc", "video tag parameter must be 4 chars"},
        {"atag", "mp4a5", "audio tag parameter must be 4 chars"},
        {"stag", "", "subtitle tag parameter must be 4 chars"},
        {"r", "fast", "Incorrect frame rate"},
        {"s", "big", "Incorrect frame size"},
        {"pix_fmt", "nosuchfmt", "Unknown pixel format requested: nosuchfmt"},
        {"streamid", "5", "Invalid value \"5\" for option \"streamid\", required syntax is \"index:value\""},
        {"streamid",
         "5:", "Invalid value \"5:\" for option \"streamid\", required syntax is \"index:value\""},
        {"ss", "soon", "Invalid duration specification for ss: soon"},
        {"t", "1:xx", "Invalid duration specification for t: 1:xx"},
        {"timestamp", "yesterday", "Invalid date specification for timestamp: yesterday"},
        {"vbsf", "nosuch_bsf", "Unknown bitstream filter nosuch_bsf"},
        {"absf", " nosuch_bsf=x ", "Unknown bitstream filter nosuch_bsf=x"},
        {"newvideo", "", "At least one output file must be specified"},
        {"newaudio", "1", "At least one output file must be specified"},
        {"newsubtitle", "", "At least one output file must be specified"},
        {"vhook", "/nonexistent/hook.so -x", "Failed to add video hook function: /nonexistent/hook.so -x"},
        {"target", "pal-tape", "Unknown target type"},
        {"v", "loud", "'loud' is not a valid integer value"},
        {"vframes", "12x", "'12x' is not a valid integer value"},
        {"adrift_threshold", "0,5", "'0,5' is not a valid floating point value"},
        {"fpre", "/nonexistent/file.ffpreset", "Preset \"/nonexistent/file.ffpreset\" not found"},
    };
    for (const RefusalCase& c : cases) {
        task->Init();
        EXPECT_EQ(Set(c.name, c.value), c.message) << c.name << "=" << c.value;
    }
}

TEST_F(OptionParserTest, ValuesLandInTheState) {
    EXPECT_EQ(Set("qscale", "255"), "");
    EXPECT_FLOAT_EQ(task->opt.videoQScale, 255.0f);
    EXPECT_EQ(Set("aspect", "16:9"), "");
    EXPECT_NEAR(task->opt.frameAspectRatio, 16.0 / 9.0, 1e-12);
    EXPECT_EQ(Set("aspect", "1.5"), "");
    EXPECT_DOUBLE_EQ(task->opt.frameAspectRatio, 1.5);
    EXPECT_EQ(Set("s", "640x480"), "");
    EXPECT_EQ(task->opt.frameWidth, 640);
    EXPECT_EQ(task->opt.frameHeight, 480);
    EXPECT_EQ(Set("s", "vga"), "");
    EXPECT_EQ(task->opt.frameWidth, 640);
    EXPECT_EQ(Set("r", "ntsc"), "");
    EXPECT_EQ(task->opt.frameRate.num, 30000);
    EXPECT_EQ(task->opt.frameRate.den, 1001);
    EXPECT_EQ(Set("pix_fmt", "yuv422p"), "");
    EXPECT_EQ(task->opt.framePixFmt, AV_PIX_FMT_YUV422P);
    EXPECT_EQ(Set("sample_fmt", "s16"), "");
    EXPECT_EQ(task->opt.audioSampleFmt, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(Set("sample_fmt", "nosuch"), ""); // an unknown name gives none
    EXPECT_EQ(task->opt.audioSampleFmt, AV_SAMPLE_FMT_NONE);
    EXPECT_EQ(Set("t", "00:01:02.5"), "");
    EXPECT_EQ(task->opt.recordingTime, 62500000);
    EXPECT_EQ(task->opt.totalDuration, 62500000);
    EXPECT_EQ(Set("ss", "-1.25"), "");
    EXPECT_EQ(task->opt.startTime, -1250000);
    EXPECT_EQ(Set("timestamp", "2020-01-02T03:04:05Z"), "");
    EXPECT_EQ(task->opt.recordingTimestamp, 1577934245);
    EXPECT_EQ(Set("fs", "5000000000"), "");
    EXPECT_EQ(task->opt.limitFileSize, 5000000000LL);
    EXPECT_EQ(Set("vtag", "XVID"), "");
    EXPECT_EQ(task->opt.videoCodecTag, MKTAG('X', 'V', 'I', 'D'));
    EXPECT_EQ(Set("streamid", "1:33"), "");
    EXPECT_EQ(task->opt.streamIdMap[1], 33);
    EXPECT_EQ(Set("itsscale", "2:1.5"), "");
    EXPECT_DOUBLE_EQ(task->opt.inputTsScale[0][2], 1.5);
    EXPECT_EQ(Set("metadata", "comment=a=b"), "");
    ASSERT_EQ(task->opt.metadata.size(), 1u);
    EXPECT_EQ(task->opt.metadata[0].second, "a=b");
    EXPECT_EQ(Set("ar", "0"), ""); // only values above 0 count
    EXPECT_EQ(task->opt.audioSampleRate, 44100);
    EXPECT_EQ(Set("ac", "6"), "");
    EXPECT_EQ(task->opt.audioChannels, 6);
    EXPECT_EQ(Set("acodec", "copy"), "");
    EXPECT_TRUE(task->opt.audioStreamCopy);
    EXPECT_EQ(Set("vcodec", "mpeg4"), "");
    EXPECT_EQ(task->opt.videoCodecName, "mpeg4");
    EXPECT_EQ(Set("vbsf", "=ignored"), "");
    EXPECT_TRUE(task->opt.videoBitstreamFilters.empty());
    EXPECT_EQ(Set("vbsf", "h264_mp4toannexb"), "");
    EXPECT_EQ(Set("vbsf", "dump_extra=freq=keyframe"), "");
    EXPECT_EQ(task->opt.videoBitstreamFilters,
              (std::vector<std::string>{"h264_mp4toannexb", "dump_extra=freq=keyframe"}));
    EXPECT_EQ(Set("sbsf", "null"), "");
    EXPECT_EQ(task->opt.subtitleBitstreamFilters.size(), 1u);
}

TEST_F(OptionParserTest, BooleansAreTrueUnlessExactlyZero) {
    struct Case {
        const char* name;
        const char* value;
        bool TOptionState::*field;
        bool expected;
    } cases[] = {
        {"copyts", "0", &TOptionState::copyTs, true},
        {"shortest", "0", &TOptionState::shortest, false},
        {"shortest", "false", &TOptionState::shortest, true},
        {"shortest", "", &TOptionState::shortest, true},
        {"an", "1", &TOptionState::audioDisable, true},
        {"vn", "00", &TOptionState::videoDisable, true},
        {"sn", "0", &TOptionState::subtitleDisable, false},
        {"xerror", "0", &TOptionState::exitOnError, true},
        {"re", "yes", &TOptionState::rateEmulation, true},
        {"isync", "0", &TOptionState::inputSync, false},
    };
    for (const Case& c : cases) {
        task->Init();
        task->opt.*c.field = !c.expected;
        EXPECT_EQ(Set(c.name, c.value), "");
        EXPECT_EQ(task->opt.*c.field, c.expected) << c.name << "=" << c.value;
    }
}

TEST_F(OptionParserTest, StreamAndMetadataMapsAndTheirLimits) {
    EXPECT_EQ(Set("map", "0.1:0.0"), "");
    EXPECT_EQ(Set("map", "0:2"), "");
    ASSERT_EQ(task->opt.streamMaps.size(), 2u);
    const TStreamMap& a = task->opt.streamMaps[0];
    EXPECT_EQ(std::tie(a.File, a.Stream, a.SyncFile, a.SyncStream), std::make_tuple(0, 1, 0, 0));
    const TStreamMap& b = task->opt.streamMaps[1];
    EXPECT_EQ(std::tie(b.File, b.Stream, b.SyncFile, b.SyncStream), std::make_tuple(0, 2, 0, 2));
    for (int i = 2; i < 400; ++i)
        task->SetOption("map", "0.0");
    EXPECT_NE(Set("map", "0.0"), "");
    EXPECT_EQ(task->opt.streamMaps.size(), 400u);

    EXPECT_EQ(Set("map_meta_data", "1:0"), "");
    EXPECT_EQ(task->opt.metaDataMaps[0].Out, 1);
    EXPECT_EQ(task->opt.metaDataMaps[0].In, 0);
    for (int i = 1; i < 20; ++i)
        task->SetOption("map_meta_data", "0:0");
    EXPECT_NE(Set("map_meta_data", "0:0"), "");
    EXPECT_EQ(task->opt.metaDataMaps.size(), 20u);
    EXPECT_NE(Set("streamid", "20:1"), "");
}

TEST_F(OptionParserTest, MatrixNeeds64Coefficients) {
    std::string text;
    for (int i = 0; i < 63; ++i)
        text += std::to_string(i + 1) + ",";
    EXPECT_EQ(Set("intra_matrix", text + "64"), "");
    ASSERT_EQ(task->opt.intraMatrix.size(), 64u);
    EXPECT_EQ(task->opt.intraMatrix[0], 1);
    EXPECT_EQ(task->opt.intraMatrix[63], 64);
    std::string short63 = text.substr(0, text.size() - 1); // 63 coefficients
    EXPECT_EQ(Set("inter_matrix", short63), "Syntax error in matrix \"" + short63 + "\" at coeff 62");
}

TEST_F(OptionParserTest, IgnoredOptionsLogWhatTheyDo) {
    EXPECT_EQ(Set("h", ""), "");
    EXPECT_EQ(Set("y", "1"), "");
    EXPECT_TRUE(Logged("Do nothing: option - h", llInfo));
    EXPECT_TRUE(Logged("Do nothing: option - y", llInfo));
    EXPECT_EQ(Set("timelimit", "10"), "");
    EXPECT_TRUE(Logged("Warning: -timelimit not implemented on Windows", llWarning));
    EXPECT_EQ(Set("f", "pgmyuv"), "");
    EXPECT_EQ(task->opt.forcedFormat, "image2");
    EXPECT_TRUE(task->opt.pgmyuv);
    EXPECT_TRUE(Logged("pgmyuv format is deprecated, use image2", llInfo));
    // A name nobody knows reaches the libraries' option system, which has no such option.
    EXPECT_EQ(Set("nosuchoption", "1"), "");
}

TEST_F(OptionParserTest, LowBitRatesWarnOnlyBelow1000) {
    const char* kWarning =
        "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
    EXPECT_EQ(Set("vb", "500000"), "");
    EXPECT_FALSE(Logged(kWarning, llWarning));
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_VIDEO)->bit_rate, 500000);
    EXPECT_EQ(Set("vb", "500"), "");
    EXPECT_TRUE(Logged(kWarning, llWarning));
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_VIDEO)->bit_rate, 500);
    ClearLines();
    EXPECT_EQ(Set("ab", "96"), "");
    EXPECT_TRUE(Logged(kWarning, llWarning));
    EXPECT_EQ(task->CodecOptions(AVMEDIA_TYPE_AUDIO)->bit_rate, 96);
}

TEST_F(OptionParserTest, CropBandsAgainstTheCurrentFrameSize) {
    task->SetOption("s", "320x240");
    EXPECT_EQ(Set("croptop", "10"), "");
    EXPECT_EQ(task->opt.frameHeight, 230);
    EXPECT_EQ(task->opt.cropTop, 10);
    EXPECT_TRUE(Logged("CropXXX is deprecated in favor of the crop avfilter", llWarning));
    EXPECT_EQ(Set("cropbottom", "0"), ""); // ignored
    EXPECT_EQ(Set("cropleft", "-4"), "");  // ignored
    EXPECT_EQ(task->opt.frameWidth, 320);
    EXPECT_EQ(Set("cropbottom", "230"),
              "Vertical crop dimensions are outside the range of the original image.\n"
              "Remember to crop first and scale second.");
    EXPECT_EQ(Set("cropright", "320"),
              "Horizontal crop dimensions are outside the range of the original image.\n"
              "Remember to crop first and scale second.");
    EXPECT_EQ(Set("cropright", "16"), "");
    EXPECT_EQ(task->opt.frameWidth, 304);
    task->Init();
    EXPECT_NE(Set("croptop", "1"), ""); // no frame size yet: every band is outside
}

TEST_F(OptionParserTest, GenericOptionsGoToTheRightContexts) {
    AVCodecContext* video = task->CodecOptions(AVMEDIA_TYPE_VIDEO);
    AVCodecContext* audio = task->CodecOptions(AVMEDIA_TYPE_AUDIO);
    int64_t audioDefault = audio->bit_rate;
    EXPECT_TRUE(task->SetGenericOption("b", "800000"));
    EXPECT_EQ(video->bit_rate, 800000);
    EXPECT_EQ(audio->bit_rate, audioDefault); // "b" is the video bit rate
    EXPECT_TRUE(task->SetGenericOption("ab", "64000"));
    EXPECT_EQ(audio->bit_rate, 64000);
    EXPECT_EQ(video->bit_rate, 800000);
    // "bt" is a video option only: the audio tolerance of the older generation has no equivalent.
    EXPECT_FALSE(task->SetGenericOption("abt", "3000"));
    EXPECT_TRUE(task->SetGenericOption(" g ", " 48 "));
    EXPECT_EQ(video->gop_size, 48);
    EXPECT_TRUE(task->SetGenericOption("flags", "+loop"));
    EXPECT_TRUE(video->flags & AV_CODEC_FLAG_LOOP_FILTER);
    EXPECT_TRUE(task->SetGenericOption("packetsize", "2048"));
    EXPECT_EQ(task->FormatOptions()->packet_size, 2048u);
    EXPECT_TRUE(task->SetGenericOption("sws_flags", "bilinear"));
    EXPECT_EQ(task->ScalerFlags(), 2);
    EXPECT_FALSE(task->SetGenericOption("", "1"));
    EXPECT_FALSE(task->SetGenericOption("g", ""));
    EXPECT_FALSE(task->SetGenericOption("nosuchoption", "1"));
    EXPECT_EQ(task->SetOptionNames(),
              (std::vector<std::string>{"b", "ab", "g", "flags", "packetsize", "sws_flags"}));

    // A refused value is logged through the library log and otherwise ignored.
    EXPECT_FALSE(task->SetGenericOption("g", "many"));
    EXPECT_TRUE(Logged("Invalid value \"many\" for option \"g\"", llError));
    EXPECT_EQ(video->gop_size, 48);

    // Encoder options are found once the encoder is known.
    EXPECT_FALSE(task->SetGenericOption("crf", "20"));
    task->SetOption("vcodec", "libx264");
    EXPECT_TRUE(task->SetGenericOption("crf", "20"));
    EXPECT_FALSE(task->SetGenericOption("crf", "-5"));
}

TEST_F(OptionParserTest, DebugOptionRaisesTheLogLevel) {
    EXPECT_TRUE(task->SetGenericOption("debug", "+pict"));
    EXPECT_EQ(logger_->LogLevel(), llDebug);
}

// The table that turns option spellings of the older generation into today's.
TEST(LegacyOptionsTest, TranslationTable) {
    using S = std::vector<TOptionSetting>;
    struct Case {
        const char* name;
        const char* value;
        S expected;
    } cases[] = {
        {"flags2",
         "+bpyramid+mixed_refs+wpred+dct8x8+fastpskip",
         {{"b-pyramid", "normal"},
          {"mixed-refs", "1"},
          {"weightb", "1"},
          {"8x8dct", "1"},
          {"fast-pskip", "1"}}},
        {"flags2", "-wpred-dct8x8+fast", {{"flags2", "+fast"}, {"weightb", "0"}, {"8x8dct", "0"}}},
        {"flags2", "+fastpskip-mbtree", {{"fast-pskip", "1"}, {"mbtree", "0"}}},
        {"flags2", "+local_header", {{"flags2", "+local_header"}}},
        {"flags", "+loop", {{"flags", "+loop"}}},
        {"flags", "+scan_offset", {{"scan_offset", "1"}}},
        {"flags", "+mv0+naq+gray", {{"flags", "+gray"}, {"mpv_flags", "+mv0+naq"}}},
        {"partitions", "+parti8x8+parti4x4+partp8x8+partb8x8", {{"partitions", "i8x8,i4x4,p8x8,b8x8"}}},
        {"partitions", "-parti8x8+parti4x4-partp8x8", {{"partitions", "i4x4"}}},
        {"partitions", "-parti8x8-parti4x4-partp8x8-partb8x8", {{"partitions", "none"}}},
        {"partitions", "all", {{"partitions", "all"}}},
        {"directpred", "3", {{"direct-pred", "3"}}},
        {"cqp", "0", {{"qp", "0"}}},
        {"me_method", "umh", {{"me_method", "umh"}}},
        {"g", "250", {{"g", "250"}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TranslateLegacyOption(c.name, c.value), c.expected) << c.name << "=" << c.value;
}

// Every option the table translates to exists in the installed libraries: in the generic codec
// options or in some encoder's own options.
TEST(LegacyOptionsTest, TranslatedNamesExist) {
    auto exists = [](const std::string& name) {
        const AVClass* generic = avcodec_get_class();
        if (av_opt_find(&generic, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
            return true;
        void* it = nullptr;
        while (const AVCodec* c = av_codec_iterate(&it)) {
            const AVClass* cls = c->priv_class;
            if (av_codec_is_encoder(c) && cls &&
                av_opt_find(&cls, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
                return true;
        }
        return false;
    };
    const char* flags2[] = {
        "dct8x8",       "wpred",    "mixed_refs",    "bpyramid", "fastpskip", "mbtree", "aud",
        "psy",          "ssim",     "intra_refresh", "skiprd",   "sgop",      "ivlc",   "drop_frame_timecode",
        "non_linear_q", "reservoir"};
    const char* flags[] = {"scan_offset", "alt", "mv0",  "naq",   "cbp", "qprd",
                           "umv",         "aiv", "obmc", "slice", "gmc", "part"};
    std::vector<TOptionSetting> all;
    for (const char* f : flags2)
        for (const TOptionSetting& s : TranslateLegacyOption("flags2", std::string("+") + f))
            all.push_back(s);
    for (const char* f : flags)
        for (const TOptionSetting& s : TranslateLegacyOption("flags", std::string("-") + f))
            all.push_back(s);
    for (const char* n :
         {"directpred", "cqp", "aq_mode", "aq_strength", "psy_rd", "rc_lookahead", "bframebias", "nr"})
        for (const TOptionSetting& s : TranslateLegacyOption(n, "1"))
            all.push_back(s);
    for (const TOptionSetting& s : all) {
        EXPECT_NE(s.Name, "flags");
        EXPECT_NE(s.Name, "flags2");
        EXPECT_TRUE(exists(s.Name)) << s.Name;
    }
}

} // namespace
} // namespace kavlo::test
