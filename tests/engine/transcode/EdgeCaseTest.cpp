// Option-driven behaviour of the transcode step, checked on the files it writes.
#include "TranscodeTestUtil.h"

#include "core/Bitmap24.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace kavlo::test {
namespace {

using fixtures::FixtureKind;

TOutputOptions Mp4Options() {
    TOutputOptions o;
    o.VideoCodec = "libx264";
    o.VideoPreset = "libx264-ultrafast";
    o.AudioCodec = "aac";
    return o;
}

class EdgeCase : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadLibraries(); }
    // Runs one conversion and expects it to finish.
    MediaFacts Convert(const std::string& input, const std::string& outName, const TOutputOptions& o,
                       const TInputOptions* in = nullptr) {
        TFFmpegEngine engine;
        const RunResult r = RunOne(engine, input, dir_.Path(outName), o, in);
        EXPECT_TRUE(r.added) << r.addError;
        if (!r.added || r.terminations.empty())
            return {};
        EXPECT_TRUE(r.terminations[0].Finished);
        EXPECT_FALSE(r.terminations[0].Failed) << r.terminations[0].ErrorMessage;
        MediaFacts facts = Inspect(dir_.Path(outName));
        EXPECT_TRUE(facts.ok) << facts.error;
        return facts;
    }
    // Runs one conversion and returns the task's error message.
    std::string ConvertFailing(const std::string& input, const std::string& outName,
                               const TOutputOptions& o) {
        TFFmpegEngine engine;
        const RunResult r = RunOne(engine, input, dir_.Path(outName), o);
        if (!r.added)
            return "not added: " + r.addError;
        if (r.terminations.empty())
            return "no termination";
        EXPECT_FALSE(r.terminations[0].Finished);
        EXPECT_TRUE(r.terminations[0].Failed);
        return r.terminations[0].ErrorMessage;
    }
    TempDir dir_;
};

TEST_F(EdgeCase, FrameRateChangeDuplicatesOrDropsFrames) {
    const std::string input =
        fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root()); // 50 frames, 25 fps
    // At 50 fps the second frame lies exactly one frame ahead (written once), every later one two
    // frames ahead (written twice): 1 + 1 + 48 * 2.
    struct Case {
        const char* rate;
        int vsync;
        int frames;
    } cases[] = {{"50", -1, 98}, {"10", -1, 20}, {"50", 0, 50}, {"25", 1, 50}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " vsync " << c.vsync);
        TOutputOptions o = Mp4Options();
        o.FrameRate = c.rate;
        o.VideoSync = c.vsync;
        const MediaFacts f =
            Convert(input, std::string("rate") + c.rate + std::to_string(c.vsync) + ".mp4", o);
        const StreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
        ASSERT_NE(v, nullptr);
        EXPECT_NEAR(v->packets, c.frames, 1);
    }
}

TEST_F(EdgeCase, FrameLimitEndsTheConversion) {
    const std::string input = fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root());
    TOutputOptions o = Mp4Options();
    o.ExtOptions = "vframes=10";
    const MediaFacts f = Convert(input, "ten.mp4", o);
    const StreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->packets, 10);
}

TEST_F(EdgeCase, StatisticsFileAndMetadataMap) {
    const std::string input =
        fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root()); // title/artist tags
    TOutputOptions o = Mp4Options();
    const std::string stats = dir_.Path("vstats.log");
    o.ExtOptions = "vstats_file=" + stats + "<CRLF>map_meta_data=0:0";
    Convert(input, "stats.mp4", o);
    std::ifstream in(stats);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        EXPECT_EQ(line.rfind("frame=", 0), 0u) << line;
        EXPECT_NE(line.find(" f_size= "), std::string::npos) << line;
        EXPECT_NE(line.find(" type= "), std::string::npos) << line;
    }
    EXPECT_EQ(lines, 50);
    AVFormatContext* ic = nullptr;
    ASSERT_GE(avformat_open_input(&ic, ("file:" + dir_.Path("stats.mp4")).c_str(), nullptr, nullptr), 0);
    const AVDictionaryEntry* title = av_dict_get(ic->metadata, "title", nullptr, 0);
    EXPECT_NE(title, nullptr);
    avformat_close_input(&ic);
    // Without the map the input's tags stay behind.
    Convert(input, "nomap.mp4", Mp4Options());
    ASSERT_GE(avformat_open_input(&ic, ("file:" + dir_.Path("nomap.mp4")).c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(av_dict_get(ic->metadata, "title", nullptr, 0), nullptr);
    avformat_close_input(&ic);
}

TEST_F(EdgeCase, StartAndRecordingTimeCutBothStreams) {
    const std::string input = fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root()); // 2 s
    struct Case {
        const char* name;
        int64_t inputStart, outputStart, recording;
        double expected;
    } cases[] = {{"t", INT64_MIN, INT64_MIN, 1000000, 1.0},
                 {"ss_t", INT64_MIN, 500000, 1000000, 1.0},
                 {"input_ss", 600000, INT64_MIN, INT64_MIN, 1.4},
                 {"ss_past_t", INT64_MIN, 1500000, 1000000, 0.5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TOutputOptions o = Mp4Options();
        o.StartTime = c.outputStart;
        o.RecordingTime = c.recording;
        TInputOptions in;
        in.StartTime = c.inputStart;
        const MediaFacts f = Convert(input, std::string(c.name) + ".mp4", o, &in);
        const StreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
        const StreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
        ASSERT_NE(v, nullptr);
        ASSERT_NE(a, nullptr);
        EXPECT_NEAR(v->duration, c.expected, 0.04 + 1e-6);
        EXPECT_NEAR(v->start, 0.0, 0.04 + 1e-6);
        EXPECT_NEAR(a->decoded, c.expected, 1024.0 / 48000 + 1e-6);
    }
}

TEST_F(EdgeCase, FileSizeLimitStopsEarly) {
    const std::string input = fixtures::MakeFixture(FixtureKind::Minute, dir_.Root());
    TOutputOptions o = Mp4Options();
    o.ExtOptions = "fs=100000";
    const MediaFacts f = Convert(input, "small.mp4", o);
    const StreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_LT(v->duration, 50.0);
    EXPECT_LT(std::filesystem::file_size(dir_.Path("small.mp4")), 200000u);
}

TEST_F(EdgeCase, TwoPassWritesAndReadsTheStatisticsFile) {
    const std::string input = fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root());
    for (const char* codec : {"mpeg4", "libx264"}) {
        SCOPED_TRACE(codec);
        const std::string prefix = dir_.Path(std::string("stats_") + codec);
        TOutputOptions o = Mp4Options();
        o.VideoCodec = codec;
        o.VideoPreset = "";
        o.VideoBitrate = 300000;
        o.ExtOptions = "pass=1<CRLF>passlogfile=" + prefix;
        Convert(input, std::string("pass1_") + codec + ".mp4", o);
        const std::string log = prefix + "-0.log";
        ASSERT_TRUE(std::filesystem::exists(log));
        EXPECT_GT(std::filesystem::file_size(log), 0u);
        o.ExtOptions = "pass=2<CRLF>passlogfile=" + prefix;
        const MediaFacts f = Convert(input, std::string("pass2_") + codec + ".mp4", o);
        EXPECT_NE(f.First(AVMEDIA_TYPE_VIDEO), nullptr);
    }
    TOutputOptions o = Mp4Options();
    o.VideoCodec = "mpeg4";
    o.VideoPreset = "";
    o.ExtOptions = "pass=2<CRLF>passlogfile=" + dir_.Path("missing");
    const std::string error = ConvertFailing(input, "nostats.mp4", o);
    EXPECT_EQ(error, "Cannot read file: Error reading log file \"" + dir_.Path("missing") +
                         "-0.log\" for pass-2 encoding");
}

TEST_F(EdgeCase, PcmEncoderWritesEachBlockWithoutTheFifo) {
    const std::string input = fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root());
    TOutputOptions o;
    o.DisableVideo = true;
    o.AudioCodec = "pcm_s16le";
    const MediaFacts f = Convert(input, "pcm.mkv", o);
    const StreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
    const MediaFacts srcFacts = Inspect(input);
    const StreamFacts* src = srcFacts.First(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(src, nullptr);
    // One packet per decoded block (the AAC frames), not frames of a fixed encoder size.
    EXPECT_NEAR(a->packets, src->packets, 2);
    EXPECT_NEAR(a->decoded, 2.0, 1024.0 / 48000);
}

// RMS of the first audio stream between two times (seconds), full scale 1.
double AudioRms(const std::string& path, double from, double to) {
    AVFormatContext* ic = nullptr;
    avformat_open_input(&ic, ("file:" + path).c_str(), nullptr, nullptr);
    avformat_find_stream_info(ic, nullptr);
    const int as = av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    const AVCodec* codec = avcodec_find_decoder(ic->streams[as]->codecpar->codec_id);
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, ic->streams[as]->codecpar);
    dec->pkt_timebase = ic->streams[as]->time_base;
    avcodec_open2(dec, codec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    double sum = 0;
    int64_t count = 0;
    int64_t position = 0; // samples decoded so far
    auto take = [&] {
        while (avcodec_receive_frame(dec, frame) >= 0) {
            for (int i = 0; i < frame->nb_samples; ++i) {
                const double t = static_cast<double>(position + i) / frame->sample_rate;
                if (t < from || t >= to)
                    continue;
                const float s = reinterpret_cast<const float*>(frame->extended_data[0])[i];
                sum += s * s;
                ++count;
            }
            position += frame->nb_samples;
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(ic, pkt) >= 0) {
        if (pkt->stream_index == as && avcodec_send_packet(dec, pkt) >= 0)
            take();
        av_packet_unref(pkt);
    }
    avcodec_send_packet(dec, nullptr);
    take();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&ic);
    return count ? std::sqrt(sum / count) : -1;
}

TEST_F(EdgeCase, Async1PadsAStreamThatStartsLateWithSilence) {
    const std::string source = fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root());
    const std::string late = dir_.Path("late.mov");
    ASSERT_TRUE(Remux(source, late, 500000, 0));
    TOutputOptions o = Mp4Options();
    o.AudioSync = 1;
    const MediaFacts f = Convert(late, "padded.mp4", o);
    const StreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(a, nullptr);
    EXPECT_NEAR(a->start, 0.0, 0.03);
    EXPECT_NEAR(a->decoded, 2.5, 2 * 1024.0 / 48000);
    EXPECT_LT(AudioRms(dir_.Path("padded.mp4"), 0.0, 0.45), 0.001);
    EXPECT_GT(AudioRms(dir_.Path("padded.mp4"), 0.6, 2.4), 0.05);
}

TEST_F(EdgeCase, OddSizeIsRoundedDownForSubsampledEncoders) {
    const std::string input = fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root());
    TOutputOptions o = Mp4Options();
    o.FrameSize = "175x143";
    const MediaFacts f = Convert(input, "odd.mp4", o);
    const StreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->width, 174);
    EXPECT_EQ(v->height, 142);
    o.VideoFilters = "scale=175:143";
    o.FrameSize = "";
    const MediaFacts g = Convert(input, "odd_filter.mp4", o);
    ASSERT_NE(g.First(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_EQ(g.First(AVMEDIA_TYPE_VIDEO)->width, 174);
    EXPECT_EQ(g.First(AVMEDIA_TYPE_VIDEO)->height, 142);
}

TEST_F(EdgeCase, RotatedSourceComesOutUpright) {
    const std::string source = fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root()); // 320x240
    const std::string rotated = dir_.Path("rotated.mov");
    ASSERT_TRUE(Remux(source, rotated, 0, 90));
    const MediaFacts rotatedFacts = Inspect(rotated);
    ASSERT_NE(rotatedFacts.First(AVMEDIA_TYPE_VIDEO), nullptr);
    ASSERT_EQ(rotatedFacts.First(AVMEDIA_TYPE_VIDEO)->rotation, 90);
    {
        TFFmpegEngine engine;
        TOutputOptions o = Mp4Options();
        o.HookEnabled = true;
        int hookWidth = 0, hookHeight = 0;
        engine.OnCustomHook = [&](TCustomFFmpegEngine*, THookInfo* info) {
            hookWidth = info->Bitmap->Width();
            hookHeight = info->Bitmap->Height();
        };
        const RunResult r = RunOne(engine, rotated, dir_.Path("upright.mp4"), o);
        ASSERT_TRUE(r.added) << r.addError;
        ASSERT_FALSE(r.terminations.empty());
        EXPECT_FALSE(r.terminations[0].Failed) << r.terminations[0].ErrorMessage;
        EXPECT_EQ(hookWidth, 240);
        EXPECT_EQ(hookHeight, 320);
    }
    const MediaFacts f = Inspect(dir_.Path("upright.mp4"));
    const StreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->width, 240);
    EXPECT_EQ(v->height, 320);
    EXPECT_EQ(v->rotation, 0);
    // Stream copy leaves the pictures alone and keeps the turn for the player.
    TOutputOptions copy;
    copy.VideoCodec = "copy";
    copy.AudioCodec = "copy";
    const MediaFacts c = Convert(rotated, "copy.mp4", copy);
    ASSERT_NE(c.First(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_EQ(c.First(AVMEDIA_TYPE_VIDEO)->rotation, 90);
    // A phone's portrait clip, when the shared media are there.
    const std::string phone = SharedMedia("iphone_h264_aac_rotated90.mov");
    if (!phone.empty()) {
        const MediaFacts phoneFacts = Inspect(phone);
        const StreamFacts* pv = phoneFacts.First(AVMEDIA_TYPE_VIDEO);
        ASSERT_NE(pv, nullptr);
        TOutputOptions o = Mp4Options();
        o.RecordingTime = 1000000;
        const MediaFacts p = Convert(phone, "phone.mp4", o);
        ASSERT_NE(p.First(AVMEDIA_TYPE_VIDEO), nullptr);
        EXPECT_EQ(p.First(AVMEDIA_TYPE_VIDEO)->width, pv->height);
        EXPECT_EQ(p.First(AVMEDIA_TYPE_VIDEO)->height, pv->width);
        EXPECT_EQ(p.First(AVMEDIA_TYPE_VIDEO)->rotation, 0);
    }
}

TEST_F(EdgeCase, SizeChangeMidStreamKeepsTheOutputSize) {
    const std::string input = dir_.Path("sizes.h264");
    ASSERT_TRUE(WriteSizeChangeH264(input, 320, 240, 25, 160, 120, 25));
    for (const char* filters : {"", "hflip"}) {
        SCOPED_TRACE(filters);
        TOutputOptions o = Mp4Options();
        o.AudioCodec = "";
        o.FrameSize = "320x240";
        o.VideoFilters = filters;
        const MediaFacts f = Convert(input, std::string("sizes") + filters + ".mp4", o);
        const StreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->width, 320);
        EXPECT_EQ(v->height, 240);
        EXPECT_NEAR(v->packets, 50, 1);
    }
    // Crop bands follow the new size in proportion.
    const std::string big = dir_.Path("big.h264");
    ASSERT_TRUE(WriteSizeChangeH264(big, 720, 576, 10, 360, 288, 10));
    TOutputOptions o = Mp4Options();
    o.AudioCodec = "";
    o.CropTop = o.CropBottom = o.CropLeft = o.CropRight = 8;
    const MediaFacts f = Convert(big, "cropped.mp4", o);
    const StreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->width, 704);
    EXPECT_EQ(v->height, 560);
    EXPECT_NEAR(v->packets, 20, 1);
}

TEST_F(EdgeCase, SubtitlesAreReencodedWithTheirTimes) {
    const std::string input = fixtures::MakeFixture(FixtureKind::MovSubtitles, dir_.Root());
    TOutputOptions o = Mp4Options();
    o.SubtitleCodec = "mov_text";
    const MediaFacts f = Convert(input, "subs.mp4", o);
    const StreamFacts* s = f.First(AVMEDIA_TYPE_SUBTITLE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->codec, "mov_text");
    EXPECT_GE(s->packets, 3);
}

TEST_F(EdgeCase, ChaptersAreCutToTheRecordingTime) {
    const std::string input = fixtures::MakeFixture(FixtureKind::WithChapters, dir_.Root());
    auto chapters = [](const std::string& path) {
        AVFormatContext* ic = nullptr;
        if (avformat_open_input(&ic, ("file:" + path).c_str(), nullptr, nullptr) < 0)
            return std::vector<std::pair<double, double>>{};
        std::vector<std::pair<double, double>> list;
        for (unsigned i = 0; i < ic->nb_chapters; ++i) {
            const AVChapter* c = ic->chapters[i];
            list.emplace_back(c->start * av_q2d(c->time_base), c->end * av_q2d(c->time_base));
        }
        avformat_close_input(&ic);
        return list;
    };
    const auto all = chapters(input);
    ASSERT_EQ(all.size(), 3u);
    TOutputOptions o = Mp4Options();
    const MediaFacts f = Convert(input, "chapters.mkv", o);
    EXPECT_EQ(chapters(dir_.Path("chapters.mkv")).size(), 3u);
    // A recording time ending inside the second chapter keeps two, the second cut short.
    const double cut = (all[1].first + all[1].second) / 2;
    o.RecordingTime = static_cast<int64_t>(cut * 1e6);
    Convert(input, "cut.mkv", o);
    const auto kept = chapters(dir_.Path("cut.mkv"));
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_NEAR(kept[1].second, cut, 0.01);
}

TEST_F(EdgeCase, RefusalsOfTheSetUp) {
    const std::string input = fixtures::MakeFixture(FixtureKind::MovH264Aac, dir_.Root());
    TOutputOptions o;
    o.VideoCodec = "copy";
    o.AudioCodec = "copy";
    o.Volume = 512;
    EXPECT_EQ(ConvertFailing(input, "vol.mp4", o),
              "-acodec copy and -vol are incompatible (frames are not decoded)");
    o.Volume = -1;
    o.HookEnabled = true;
    EXPECT_EQ(ConvertFailing(input, "hook.mp4", o),
              "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
    TOutputOptions m = Mp4Options();
    m.ExtOptions = "map=0.0";
    EXPECT_EQ(ConvertFailing(input, "maps.mp4", m),
              "Number of stream maps must match number of output streams");
    m.ExtOptions = "map=0.1<CRLF>map=0.0";
    EXPECT_EQ(ConvertFailing(input, "mismatch.mp4", m),
              "Codec type mismatch for mapping #0.1 (Audio) -> #0.0 (Video)");
    m.ExtOptions = "map=0.0<CRLF>map=0.7";
    EXPECT_EQ(ConvertFailing(input, "nostream.mp4", m), "Could not find input stream #0.7");
    for (const char* name : {"vol.mp4", "hook.mp4", "maps.mp4", "mismatch.mp4", "nostream.mp4"})
        EXPECT_FALSE(std::filesystem::exists(dir_.Path(name))) << name << ": no empty output left behind";
}

TEST_F(EdgeCase, VolumeScalesDecodedSamples) {
    const std::string input = fixtures::MakeFixture(FixtureKind::WavPcm, dir_.Root());
    TOutputOptions o;
    o.AudioCodec = "pcm_f32le";
    Convert(input, "plain.wav", o);
    o.Volume = 128;
    Convert(input, "half.wav", o);
    const double plain = AudioRms(dir_.Path("plain.wav"), 0.1, 1.9);
    const double half = AudioRms(dir_.Path("half.wav"), 0.1, 1.9);
    ASSERT_GT(plain, 0.05);
    EXPECT_NEAR(half / plain, 0.5, 0.01);
}

TEST_F(EdgeCase, BrokenInputsConvertWhatDecodesOrFailCleanly) {
    for (FixtureKind kind : {FixtureKind::TruncatedFaststart, FixtureKind::ValidHeaderThenGarbage,
                             FixtureKind::TruncatedHeaderOnly, FixtureKind::TruncatedMidMdat,
                             FixtureKind::ZeroBytes, FixtureKind::RandomBytes}) {
        SCOPED_TRACE(fixtures::KindName(kind));
        const std::string input = fixtures::MakeFixture(kind, dir_.Root());
        const std::string out = dir_.Path(fixtures::KindName(kind) + ".mp4");
        TFFmpegEngine engine;
        const RunResult r = RunOne(engine, input, out, Mp4Options());
        if (!r.added) {
            EXPECT_FALSE(r.addError.empty());
        } else {
            ASSERT_EQ(r.terminations.size(), 2u);
            if (r.terminations[0].Failed) {
                EXPECT_FALSE(r.terminations[0].ErrorMessage.empty());
            }
        }
        if (std::filesystem::exists(out)) {
            EXPECT_GT(std::filesystem::file_size(out), 0u);
        }
    }
    for (const char* name :
         {"broken_no_moov_truncated.mp4", "broken_mdat_size_past_eof.mp4", "broken_truncated_moov.mov",
          "broken_100kb_garbage_prefix.mp3", "broken_wav_invalid_chunk.wav", "broken_header_only.flv",
          "broken_ebml_header_byte.mkv"}) {
        const std::string input = SharedMedia(name);
        if (input.empty())
            continue;
        SCOPED_TRACE(name);
        const std::string out = dir_.Path(std::string(name) + ".mp4");
        TFFmpegEngine engine;
        const RunResult r = RunOne(engine, input, out, Mp4Options());
        if (r.added) {
            ASSERT_EQ(r.terminations.size(), 2u);
        }
        if (std::filesystem::exists(out)) {
            EXPECT_GT(std::filesystem::file_size(out), 0u);
        }
    }
}

} // namespace
} // namespace kavlo::test
