#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "RecordingMessages.h"
#include "core/IniFile.h"
#include "core/TempDir.h"
#include "profiles/JobOptionBuilder.h"

namespace kavlo {
namespace {

const char* const kFormats = R"([formatInfo1]
Format=ipod
FileExt=mp4
[formatInfo403]
Format=PSP
[formatInfo502]
Format=ps3
[formatInfo2603]
Format=mp4
[formatInfo2200]
Format=ntsc-dvd
[formatInfo2201]
Format=PAL-DVD
[formatInfo2300]
Format=ntsc-svcd
[formatInfo2401]
Format=pal-vcd
[formatInfo2601]
Format=vob
[formatInfo1400]
Format=3gp
)";

struct Job {
    TOutputOptions out;
    TInputOptions in;
    test::RecordingMessages messages;
};

class JobOptionBuilderTest : public ::testing::Test {
protected:
    test::TempDir dir;
    IniFile format{dir.Path("format.ini")};

    void SetUp() override { std::ofstream(format.FileName()) << kFormats; }

    // A video profile job with the given choices; the source is sw x sh at 900 kbit/s.
    void Build(Job& job, TProfileValues values, const TlvFilesRecord& record, int sw, int sh, int code = 2603,
               int videoStreams = 1) {
        TSourceVideo source{videoStreams, sw, sh, 900000};
        BuildJobOptions(record, code, job.out, source, job.in, format, TProfileSettings(std::move(values)),
                        job.messages);
    }
    static TlvFilesRecord Zoom(const std::string& mode, int top = 0, int bottom = 0, int left = 0,
                               int right = 0) {
        TlvFilesRecord r;
        r.ZoomMode = mode;
        r.CropTop = top;
        r.CropBottom = bottom;
        r.CropLeft = left;
        r.CropRight = right;
        return r;
    }
};

TEST_F(JobOptionBuilderTest, ZoomModes) {
    struct Case {
        const char* name;
        TlvFilesRecord record;
        int sw, sh;
        const char* size; // "paraVideoSize"
        const char* frameSize;
        const char* aspect;
        const char* filters;
        int cropTop, cropBottom, cropLeft, cropRight;
    };
    const Case cases[] = {
        // Letterbox: fit the whole picture, black bands fill the rest.
        {"lbox down, bands top and bottom", Zoom("lbox"), 640, 360, "320x240", "320x180", "320:180",
         "pad=320:240:0:30", 0, 0, 0, 0},
        {"lbox with crop", Zoom("lbox", 8, 8), 720, 576, "640x480", "", "600:480",
         "crop=720:560:0:8,scale=600:480,pad=640:480:20:0", 0, 0, 0, 0},
        {"lbox up, bands left and right", Zoom("lbox"), 320, 240, "1280x720", "960x720", "960:720",
         "pad=1280:720:160:0", 0, 0, 0, 0},
        {"lbox narrower and taller", Zoom("lbox"), 1920, 400, "1280x720", "1280x268", "1280:268",
         "pad=1280:720:0:226", 0, 0, 0, 0},
        {"lbox same size", Zoom("lbox"), 640, 480, "640x480", "640x480", "640:480", "pad=640:480:0:0", 0, 0,
         0, 0},
        {"lbox same shape", Zoom("lbox"), 1280, 960, "640x480", "640x480", "640:480", "pad=640:480:0:0", 0, 0,
         0, 0},
        // Full screen: stretch, with the user's crop.
        {"full", Zoom("full", 4, 6, 8, 10), 720, 576, "320x240", "320x240", "320:240", "", 4, 6, 8, 10},
        {"full without crop", Zoom("full"), 720, 576, "as source", "720x576", "720:576", "", 0, 0, 0, 0},
        // Pan and scan: cut the picture to 4:3 around its centre.
        {"pan wide", Zoom("pan"), 1920, 1080, "640x480", "640x480", "640:480", "", 0, 0, 240, 240},
        {"pan tall", Zoom("pan"), 720, 576, "640x480", "640x480", "640:480", "", 18, 18, 0, 0},
        {"pan portrait", Zoom("pan"), 360, 640, "320x240", "320x240", "320:240", "", 184, 186, 0, 0},
        {"pan wide with user crop", Zoom("pan", 2, 4, 100, 0), 1920, 1080, "640x480", "640x480", "640:480",
         "", 2, 4, 294, 194},
        {"pan already 4:3", Zoom("pan", 0, 0, 0, 0), 640, 480, "320x240", "320x240", "320:240", "", 0, 0, 0,
         0},
        // Centre: black borders at the source's size, then scaled.
        {"center bands left and right", Zoom("center"), 360, 640, "320x240", "136x240", "320:240",
         "pad=544:640:92:0:black", 0, 0, 0, 0},
        {"center bands top and bottom", Zoom("center"), 640, 360, "320x240", "320x180", "320:240",
         "pad=640:420:0:30:black", 0, 0, 0, 0},
        {"center down, bands top and bottom", Zoom("center"), 1280, 534, "640x480", "640x268", "640:480",
         "pad=1280:746:0:106:black", 0, 0, 0, 0},
        {"center same size", Zoom("center"), 320, 240, "320x240", "320x240", "320:240",
         "pad=320:240:0:0:black", 0, 0, 0, 0},
        // Any other mode sets no geometry at all.
        {"unknown mode", Zoom(""), 640, 360, "320x240", "", "", "", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Job job;
        Build(job, {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", c.size}}, c.record, c.sw, c.sh);
        EXPECT_EQ(job.out.FrameSize, c.frameSize);
        EXPECT_EQ(job.out.AspectRatio, c.aspect);
        EXPECT_EQ(job.out.VideoFilters, c.filters);
        EXPECT_EQ(job.out.CropTop, c.cropTop);
        EXPECT_EQ(job.out.CropBottom, c.cropBottom);
        EXPECT_EQ(job.out.CropLeft, c.cropLeft);
        EXPECT_EQ(job.out.CropRight, c.cropRight);
        EXPECT_TRUE(job.messages.Silent());
    }
}

TEST_F(JobOptionBuilderTest, ExistingFiltersAreKept) {
    Job job;
    job.out.VideoFilters = "hflip";
    Build(job, {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x240"}}, Zoom("lbox"), 640, 360);
    EXPECT_EQ(job.out.VideoFilters, "hflip,pad=320:240:0:30");
    Job plain;
    plain.out.VideoFilters = "hflip";
    Build(plain, {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x240"}}, Zoom("full"), 640, 360);
    EXPECT_EQ(plain.out.VideoFilters, "hflip");
}

TEST_F(JobOptionBuilderTest, DiscTargetsAndAspect) {
    struct Case {
        int code;
        const char* encoder;
        const char* size;
        int type, norm;
        const char* aspect;
        const char* fileFormat;
    };
    const Case cases[] = {
        {2200, "mpeg2video", "720x480", 3, 2, "16:9", ""},
        {2200, "mpeg2video", "as source", 3, 2, "4:3", ""},
        {2201, "mpeg2video", "720x576", 3, 1, "16:9", ""},
        {2201, "mpeg2video", "720x480", 3, 1, "4:3", ""},
        {2300, "mpeg2video", "480x480", 2, 2, "4:3", ""}, // an SVCD stays an SVCD
        {2401, "mpeg1video", "352x288", 1, 1, "4:3", ""},
        {2601, "mpeg2video", "720x480", 3, 0, "", "vob"}, // MPEG-2 video means a DVD stream
        {2603, "mpeg4", "720x480", 0, 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " " + c.size);
        Job job;
        Build(job, {{"paraVideoEncoder", c.encoder}, {"paraVideoSize", c.size}}, Zoom(""), 720, 480, c.code);
        EXPECT_EQ(job.out.TargetType, c.type);
        EXPECT_EQ(job.out.TargetNorm, c.norm);
        EXPECT_EQ(job.out.AspectRatio, c.aspect);
        EXPECT_EQ(job.out.FileFormat, c.fileFormat);
        EXPECT_EQ(job.out.VideoCodec, c.encoder);
    }
}

TEST_F(JobOptionBuilderTest, CodecsPresetsAndContainer) {
    struct Case {
        int code;
        const char* encoder;
        const char* codec;
        const char* preset;
        const char* fileFormat;
    };
    const Case cases[] = {
        {1, "libx264", "libx264", "libx264-ipod", "ipod"},
        {403, "libx264", "libx264", "libx264-psp", "PSP"}, // the container name as written
        {502, "libx264", "libx264", "libx264-ps3", ""},
        {2603, "libx264", "libx264", "libx264-mp4", ""},
        {4242, "libx264", "libx264", "libx264-mp4", ""}, // no section: Format "null"
        {1400, "3gp", "", "", "3gp"},                    // the container's own codec
        {2603, "wmv3", "", "", ""},
        {2603, "libxvid", "libxvid", "", ""},
        {2603, "MPEG4", "", "", ""}, // names are exact
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " " + c.encoder);
        Job job;
        Build(job, {{"paraVideoEncoder", c.encoder}, {"paraVideoSize", "352x288"}}, Zoom("full"), 352, 288,
              c.code);
        EXPECT_EQ(job.out.VideoCodec, c.codec);
        EXPECT_EQ(job.out.VideoPreset, c.preset);
        EXPECT_EQ(job.out.FileFormat, c.fileFormat);
        EXPECT_FALSE(job.out.DisableVideo);
    }
}

TEST_F(JobOptionBuilderTest, H263Sizes) {
    struct Case {
        const char* size;
        const char* frameSize;
    };
    for (const Case& c : {Case{"320x200", "352x288"}, Case{"176x144", "176x144"}, Case{"352x288", "352x288"},
                          Case{"400x300", "704x576"}, Case{"800x600", "704x576"}, Case{"100x80", "100x80"},
                          Case{"177x100", "352x288"}}) {
        SCOPED_TRACE(c.size);
        Job job;
        Build(job, {{"paraVideoEncoder", "h263"}, {"paraVideoSize", c.size}}, Zoom("full"), 640, 480, 1400);
        EXPECT_EQ(job.out.FrameSize, c.frameSize);
    }
    // Other codecs keep any size.
    Job job;
    Build(job, {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x200"}}, Zoom("full"), 640, 480);
    EXPECT_EQ(job.out.FrameSize, "320x200");
}

TEST_F(JobOptionBuilderTest, FrameSizeTextAndQuestion) {
    struct Case {
        const char* size; // nullptr: not stored
        TMsgResult answer;
        bool asked;
        const char* frameSize;
    };
    const Case cases[] = {
        {nullptr, TMsgResult::mrYes, true, "320x240"},  {nullptr, TMsgResult::mrNo, true, "640x360"},
        {"x240", TMsgResult::mrYes, true, "320x240"},   {"640x", TMsgResult::mrNo, true, "640x360"},
        {"big", TMsgResult::mrYes, true, "320x240"},    {"as source", TMsgResult::mrYes, false, "640x360"},
        {"axb", TMsgResult::mrYes, false, "640x360"}, // parts that are no numbers take the source's
        {"400xb", TMsgResult::mrYes, false, "400x360"}, {"400x300x2", TMsgResult::mrYes, false, "400x360"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size ? c.size : "(none)");
        Job job;
        job.messages.answers.push_back(c.answer);
        TProfileValues values{{"paraVideoEncoder", "mpeg4"}};
        if (c.size)
            values.emplace_back("paraVideoSize", c.size);
        Build(job, values, Zoom("full"), 640, 360);
        EXPECT_EQ(job.out.FrameSize, c.frameSize);
        if (c.asked) {
            ASSERT_EQ(job.messages.boxes.size(), 1u);
            EXPECT_EQ(job.messages.boxes[0].Text, "Error output Video Size.Use the default size 320x240?");
            EXPECT_EQ(job.messages.boxes[0].Caption, "Warning");
            EXPECT_EQ(job.messages.boxes[0].Buttons, TMsgButtons::mbYesNo);
            EXPECT_EQ(job.messages.boxes[0].Icon, TMsgIcon::miQuestion);
        } else {
            EXPECT_TRUE(job.messages.boxes.empty());
        }
    }
}

TEST_F(JobOptionBuilderTest, VideoRatesAndSourceWithoutVideo) {
    struct Case {
        const char* bitRate; // nullptr: not stored (512)
        int videoBitrate;
        const char* frameRate; // nullptr: not stored (29.97)
        const char* outRate;
    };
    const Case cases[] = {
        {nullptr, 512000, nullptr, "29.97"},
        {"1500", 1500000, "25", "25"},
        {"1000.5", 900000, "as source", ""},
        {"as source", 900000, "0", ""},
        {"0", -1, "abc", ""},
        {"-5", -1, "23.976", "23.976"},
        {"9999999", INT32_MAX, "30", "30"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bitRate ? c.bitRate : "(none)");
        Job job;
        TProfileValues values{{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x240"}};
        if (c.bitRate)
            values.emplace_back("paraVideoBitRate", c.bitRate);
        if (c.frameRate)
            values.emplace_back("paraFrameRate", c.frameRate);
        Build(job, values, Zoom("lbox"), 640, 480);
        EXPECT_EQ(job.out.VideoBitrate, c.videoBitrate);
        EXPECT_EQ(job.out.FrameRate, c.outRate);
    }
    // A source without video: the video is switched off and nothing about its picture is set,
    // but the audio still is.
    Job job;
    Build(job, {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "320x240"}, {"paraAudioEncoder", "libfaac"}},
          Zoom("lbox"), -1, -1, 2603, 0);
    EXPECT_TRUE(job.out.DisableVideo);
    EXPECT_EQ(job.out.VideoCodec, "mpeg4");
    EXPECT_EQ(job.out.FrameSize, "");
    EXPECT_EQ(job.out.VideoFilters, "");
    EXPECT_EQ(job.out.VideoBitrate, -1);
    EXPECT_EQ(job.out.CropTop, -1);
    EXPECT_EQ(job.out.AudioCodec, "libfaac");
    EXPECT_TRUE(job.messages.Silent());
}

TEST_F(JobOptionBuilderTest, AudioOfVideoProfiles) {
    struct Case {
        const char* encoder; // nullptr: not stored
        const char* channels;
        const char* sampleRate;
        const char* bitRate;
        const char* volume;
        const char* codec;
        bool disabled;
        int outChannels, outRate, outBitrate, outVolume;
    };
    const Case cases[] = {
        {"libfaac", "2", "44100", "12.2", "384", "libfaac", false, 2, 44100, 12200, 384},
        {"libamr_nb", "1", "8000", "4.75", "256", "libopencore_amrnb", false, 1, 8000, 4750, -1},
        {"libmp3lame", "as source", "as source", "as source", "64", "libmp3lame", false, -1, -1, -1, 64},
        {"", "2", "0", "", "256", "", true, 2, -1, -1, -1},
        {nullptr, "2", "48000", "0.0004", nullptr, "", true, 2, 48000, -1, -1},
        {"  ", "-1", "x", "128", "1024", "  ", true, -1, -1, 128000, 1024},
        {"ac3", "6", "48000", "0.0005", "256", "ac3", false, 6, 48000, -1, -1}, // 0.5 rounds to even: 0
        {"ac3", "6", "48000", "0.0015", "256", "ac3", false, 6, 48000, 2, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.encoder ? c.encoder : "(none)") + " " + c.bitRate);
        Job job;
        TProfileValues values{{"paraVideoEncoder", "mpeg4"},
                              {"paraVideoSize", "320x240"},
                              {"paraChannel", c.channels},
                              {"paraSampleRate", c.sampleRate},
                              {"paraAudioBitRate", c.bitRate}};
        if (c.encoder)
            values.emplace_back("paraAudioEncoder", c.encoder);
        if (c.volume)
            values.emplace_back("paraVolume", c.volume);
        Build(job, values, Zoom("full"), 320, 240);
        EXPECT_EQ(job.out.AudioCodec, c.codec);
        EXPECT_EQ(job.out.DisableAudio, c.disabled);
        EXPECT_EQ(job.out.AudioChannels, c.outChannels);
        EXPECT_EQ(job.out.AudioSampleRate, c.outRate);
        EXPECT_EQ(job.out.AudioBitrate, c.outBitrate);
        EXPECT_EQ(job.out.Volume, c.outVolume);
        EXPECT_EQ(job.in.ExtOptions, "");
    }
    Job job;
    EXPECT_THROW(Build(job, {{"paraVideoEncoder", "mpeg4"}, {"paraVolume", "loud"}}, Zoom("full"), 320, 240),
                 TConvertError);
}

TEST_F(JobOptionBuilderTest, AudioOnlyProfiles) {
    {
        // No stored encoder: AAC by default; the video and subtitles are switched off.
        Job job;
        Build(job, {}, Zoom("lbox"), 640, 360, 2701);
        EXPECT_EQ(job.out.AudioCodec, "libfaac");
        EXPECT_EQ(job.out.AudioChannels, 2);
        EXPECT_EQ(job.out.AudioSampleRate, 44100);
        EXPECT_EQ(job.out.AudioBitrate, 128000);
        EXPECT_EQ(job.out.Volume, -1);
        EXPECT_EQ(job.in.ExtOptions, "vn=1");
        EXPECT_TRUE(job.out.DisableVideo);
        EXPECT_TRUE(job.out.DisableSubtitle);
        EXPECT_FALSE(job.out.DisableAudio);
        EXPECT_EQ(job.out.FrameSize, "");
        EXPECT_EQ(job.out.VideoFilters, "");
        EXPECT_EQ(job.out.VideoBitrate, -1);
        EXPECT_TRUE(job.messages.Silent()); // no frame size question
    }
    {
        Job job;
        job.in.ExtOptions = "probesize=5000000";
        Build(job,
              {{"paraVideoEncoder", " "},
               {"paraAudioEncoder", "libamr_nb"},
               {"paraChannel", "0"},
               {"paraAudioBitRate", "12.2"},
               {"paraVolume", "512"}},
              Zoom("lbox"), 640, 360, 2201);
        EXPECT_EQ(job.out.AudioCodec, "libamr_nb"); // no replacement here
        EXPECT_EQ(job.out.AudioChannels, -1);
        EXPECT_EQ(job.out.AudioBitrate, 12200);
        EXPECT_EQ(job.out.Volume, 512);
        EXPECT_EQ(job.in.ExtOptions, "probesize=5000000\nvn=1");
        // The disc target still applies.
        EXPECT_EQ(job.out.TargetType, 3);
        EXPECT_EQ(job.out.AspectRatio, "4:3");
    }
}

TEST(RoundingTest, HalvesGoToEven) {
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_EQ(RoundHalfEven(180.4), 180);
    EXPECT_EQ(RoundHalfEven(std::nan("")), 0);
    EXPECT_EQ(EvenOf(7), 6);
    EXPECT_EQ(EvenOf(-3), -2);
    EXPECT_EQ(HalfOf(60), 30);
    EXPECT_EQ(HalfOf(62), 30);
    EXPECT_EQ(HalfOf(-6), -2);
}

class OutputNameTest : public ::testing::Test {
protected:
    test::TempDir dir;
    IniFile settings{dir.Path("settings.ini")};
    test::RecordingMessages messages;
    std::string home;

    void SetUp() override {
        // The default output folder lives under the user's videos folder: point it into the
        // test's own folder.
        if (const char* h = std::getenv("HOME"))
            home = h;
        setenv("HOME", dir.Root().c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir.Path("config").c_str(), 1);
    }
    void TearDown() override {
        setenv("HOME", home.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }
    static void Touch(const std::string& path) { std::ofstream(path) << "x"; }
};

TEST_F(OutputNameTest, FreshNamesNeverExistingFiles) {
    const std::string out = dir.Path("out");
    settings.WriteString("settings", "OutPutDir", out);
    const std::string source = dir.Path("media/clip.mov");

    // The folder is made when missing.
    EXPECT_EQ(MakeOutputFileName(source, ".mp4", settings, messages), out + "/clip_(new).mp4");
    EXPECT_TRUE(std::filesystem::is_directory(out));
    Touch(out + "/clip_(new).mp4");
    EXPECT_EQ(MakeOutputFileName(source, ".mp4", settings, messages), out + "/clip_(new_1).mp4");
    Touch(out + "/clip_(new_1).mp4");
    EXPECT_EQ(MakeOutputFileName(source, ".mp4", settings, messages), out + "/clip_(new_2).mp4");
    // Another suffix is another name; a folder or a dangling link in the way counts as taken.
    EXPECT_EQ(MakeOutputFileName(source, ".avi", settings, messages), out + "/clip_(new).avi");
    std::filesystem::create_directory(out + "/clip_(new).avi");
    std::filesystem::create_symlink(out + "/nowhere", out + "/clip_(new_1).avi");
    EXPECT_EQ(MakeOutputFileName(source, ".avi", settings, messages), out + "/clip_(new_2).avi");
    // A trailing "/" is not doubled; a name without extension keeps its whole name.
    settings.WriteString("settings", "OutPutDir", out + "/");
    EXPECT_EQ(MakeOutputFileName(dir.Path("take.2"), ".mp3", settings, messages), out + "/take_(new).mp3");
    EXPECT_EQ(MakeOutputFileName(dir.Path("noext"), ".mp3", settings, messages), out + "/noext_(new).mp3");
    EXPECT_TRUE(messages.Silent());
}

TEST_F(OutputNameTest, UnusableFolderFallsBackToTheDefault) {
    Touch(dir.Path("file"));
    const std::string blocked = dir.Path("file/sub");
    settings.WriteString("settings", "OutPutDir", blocked);
    const std::string fallback = dir.Root() + "/Videos/videoconverter";

    EXPECT_EQ(MakeOutputFileName(dir.Path("clip.mov"), ".mp4", settings, messages),
              fallback + "/clip_(new).mp4");
    ASSERT_EQ(messages.boxes.size(), 1u);
    EXPECT_EQ(messages.boxes[0].Text, "Cannot create output directory:" + blocked +
                                          ".It will create default directory " + fallback + "!");
    EXPECT_EQ(messages.boxes[0].Caption, "Warning");
    EXPECT_EQ(messages.boxes[0].Buttons, TMsgButtons::mbOK);
    EXPECT_TRUE(std::filesystem::is_directory(fallback));
    EXPECT_EQ(settings.ReadString("settings", "OutPutDir", ""), fallback);
    // Without any setting the default folder is used without a word.
    settings.DeleteKey("settings", "OutPutDir");
    messages.Clear();
    EXPECT_EQ(MakeOutputFileName(dir.Path("clip.mov"), ".mp4", settings, messages),
              fallback + "/clip_(new).mp4");
    EXPECT_TRUE(messages.Silent());
}

} // namespace
} // namespace kavlo
