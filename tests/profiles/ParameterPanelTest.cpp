#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "RecordingMessages.h"
#include "core/IniFile.h"
#include "core/TempDir.h"
#include "profiles/ParameterRules.h"
#include "profiles/TParameterPanel.h"

namespace kavlo {
namespace {

using B = TPanelBox;

const char* const kFormatIni = R"([formatInfo100]
Format=ipod
FileExt=mp4
VideoSize=320x240,640x480,as source
VideoBitRate=384,768,1500
FrameRate=15,25,29.97
VideoEncoder=MPEG-4,H264
AudioBitRate=64,96,128
SampleRate=22050,44100,48000
AudioEncoder=AAC,MP3
Channel=as source,mono 1 channel,stereo 2 channels
Volume=25%,50%,75%,100%,125%,150%,175%,200%
iVideoSize=1
iVideoBitRate=1
iFrameRate=2
iVideoEncoder=1
iAudioBitRate=2
iSampleRate=1
iAudioEncoder=0
iChannel=2
iVolume=3
paraBitExact=TRUE
paraMaxBitrate=1500
paraBufferSize=0
paraLevel=30
paraQscale=-1
paraGop=250
paraCoder=0

[formatInfo2700]
Format=mp3
FileExt=mp3
VideoSize=null
VideoBitRate=null
FrameRate=null
VideoEncoder=null
AudioBitRate=96,128,192
SampleRate=44100,48000
AudioEncoder=MP3
Channel=as source,mono 1 channel,stereo 2 channels
Volume=50%,100%,150%
iAudioBitRate=1
iChannel=2
iVolume=1
)";

class ParameterPanelTest : public ::testing::Test {
protected:
    test::TempDir dir;
    IniFile format{dir.Path("format.ini")};
    IniFile settings{dir.Path("settings.ini")};
    test::RecordingMessages messages;

    void SetUp() override { std::ofstream(format.FileName()) << kFormatIni; }

    std::string Stored(const std::string& key, const std::string& code = "100") const {
        return settings.ReadString("formatInfo" + code, key, "<none>");
    }
    std::map<std::string, std::string> Section(const std::string& code = "100") const {
        std::map<std::string, std::string> values;
        for (const auto& key : settings.ReadSection("formatInfo" + code))
            values[key] = Stored(key, code);
        return values;
    }
    // A section that exists, so that loading does not fill in the defaults.
    void Touch(const std::string& key, const std::string& value, const std::string& code = "100") {
        settings.WriteString("formatInfo" + code, key, value);
    }
};

const std::map<std::string, std::string> kVideoDefaults = {
    {"iVideoEncoder", "1"},
    {"paraVideoEncoder", "libx264"},
    {"paraBitExact", "TRUE"},
    {"paraMaxBitrate", "1500"},
    {"paraLevel", "30"},
    {"paraGop", "250"},
    {"paraCoder", "0"},
    {"iVideoSize", "1"},
    {"paraVideoSize", "640x480"},
    {"iFrameRate", "2"},
    {"paraFrameRate", "29.97"},
    {"iVideoBitRate", "1"},
    {"paraVideoBitRate", "768"},
    {"paraZoom", "full"},
    {"iAudioEncoder", "0"},
    {"paraAudioEncoder", "libfaac"},
    {"iAudioBitRate", "2"},
    {"paraAudioBitRate", "128"},
    {"iSampleRate", "1"},
    {"paraSampleRate", "44100"},
    {"iChannel", "2"},
    {"paraChannel", "2"},
    {"iVolume", "3"},
    {"paraVolume", "256"},
};

TEST_F(ParameterPanelTest, LoadsListsAndStoredChoices) {
    Touch("paraVideoSize", "400x300");
    Touch("paraVideoBitRate", "768");
    Touch("iFrameRate", "0");
    Touch("iVideoEncoder", "7"); // no such item
    Touch("paraZoom", "center");
    TParameterPanel panel(format, settings, messages);
    panel.LoadProfile("100");

    EXPECT_EQ(panel.Box(B::pbVideoSize).Items.size(), 3u);
    EXPECT_EQ(panel.Box(B::pbVideoSize).Text, "400x300");
    EXPECT_EQ(panel.Box(B::pbVideoSize).ItemIndex, -1);
    EXPECT_EQ(panel.Box(B::pbVideoBitRate).ItemIndex, 1);
    EXPECT_EQ(panel.Box(B::pbFrameRate).Text, "15");
    EXPECT_EQ(panel.Box(B::pbVideoEncoder).ItemIndex, -1);
    EXPECT_EQ(panel.Box(B::pbSamplerate).Text, "44100"); // panel default, an item
    EXPECT_EQ(panel.Box(B::pbAudioBitRate).Text, "96");
    EXPECT_EQ(panel.Box(B::pbVolume).Text, "25%");
    // "center" has no item in the zoom box.
    EXPECT_EQ(panel.Box(B::pbZoom).Items.size(), 3u);
    EXPECT_EQ(panel.Box(B::pbZoom).ItemIndex, -1);
    EXPECT_EQ(panel.Box(B::pbVolume).DropDownCount, 8);
    for (int i = 0; i < kPanelBoxCount; ++i)
        EXPECT_TRUE(panel.Box(static_cast<B>(i)).Enabled) << i;
    EXPECT_TRUE(messages.Silent());
    // Loading alone writes nothing.
    EXPECT_EQ(Section().size(), 5u);

    // An audio profile greys out the whole video group.
    Touch("paraAudioBitRate", "128", "2700");
    panel.LoadProfile("2700");
    for (B box : {B::pbVideoSize, B::pbVideoEncoder, B::pbVideoBitRate, B::pbFrameRate, B::pbZoom}) {
        EXPECT_FALSE(panel.Box(box).Enabled);
        EXPECT_TRUE(panel.Box(box).GreyText);
    }
    EXPECT_TRUE(panel.Box(B::pbAudioEncoder).Enabled);
    EXPECT_TRUE(panel.Box(B::pbVideoSize).Items.empty());
    EXPECT_EQ(panel.Box(B::pbAudioBitRate).ItemIndex, 1);

    // A profile the format file does not describe: every box empty and disabled.
    Touch("x", "1", "4242");
    panel.LoadProfile("4242");
    for (int i = 0; i < kPanelBoxCount; ++i)
        EXPECT_FALSE(panel.Box(static_cast<B>(i)).Enabled) << i;
}

TEST_F(ParameterPanelTest, FreshProfileStartsFromItsDefaults) {
    TParameterPanel panel(format, settings, messages);
    panel.LoadProfile("100");
    EXPECT_EQ(Section(), kVideoDefaults);
    EXPECT_TRUE(messages.Silent());
    EXPECT_EQ(panel.Box(B::pbVideoEncoder).Text, "H264");
    EXPECT_EQ(panel.Box(B::pbZoom).ItemIndex, 0);

    // The same values without touching any settings file.
    std::map<std::string, std::string> computed;
    for (const auto& [key, value] : ProfileDefaultValues(format, 100))
        computed[key] = value;
    EXPECT_EQ(computed, kVideoDefaults);

    // An audio profile never gets a video encoder, and its audio encoder is its own.
    panel.LoadProfile("2700");
    const auto audio = Section("2700");
    EXPECT_EQ(audio.count("paraVideoEncoder"), 0u);
    EXPECT_EQ(audio.count("paraVideoSize"), 0u);
    EXPECT_EQ(audio.at("paraAudioEncoder"), "libmp3lame");
    EXPECT_EQ(audio.at("paraAudioBitRate"), "128");
    EXPECT_EQ(audio.at("paraVolume"), "256");
    EXPECT_TRUE(messages.Silent());
}

TEST_F(ParameterPanelTest, DefaultButtonRewritesEveryValue) {
    TParameterPanel panel(format, settings, messages);
    panel.LoadProfile("100");
    panel.SelectItem(B::pbVideoEncoder, 0);
    panel.SelectItem(B::pbVolume, 5);
    panel.SelectItem(B::pbZoom, 2);
    panel.EditText(B::pbVideoBitRate, "1000");
    panel.SelectItem(B::pbChannel, 1);
    panel.SelectItem(B::pbSamplerate, 2);
    EXPECT_EQ(Stored("paraVideoEncoder"), "mpeg4");
    EXPECT_EQ(Stored("paraVolume"), "384");
    EXPECT_EQ(Stored("paraZoom"), "pan");
    EXPECT_EQ(Stored("paraVideoBitRate"), "1000");
    EXPECT_EQ(Stored("iVideoBitRate"), "-1");
    EXPECT_EQ(Stored("paraChannel"), "1");
    EXPECT_EQ(Stored("paraSampleRate"), "48000");

    panel.btnDefaultClick();
    EXPECT_EQ(Section(), kVideoDefaults);
    EXPECT_TRUE(messages.Silent());
}

TEST_F(ParameterPanelTest, FrameSizeIsCheckedWhenLeavingTheBox) {
    struct Case {
        const char* typed;
        const char* box;         // text afterwards
        const char* stored;      // "paraVideoSize" afterwards ("<none>": not written)
        const char* storedIndex; // "iVideoSize"
        const char* message;     // shown with ShowMessage
        const char* correction;  // text of the "Input Error!" box
    };
    const Case cases[] = {
        {"321x241", "320x240", "320x240", "0", "",
         "Frame Size must be a multiple of 2.\nThe correct value:320x240"},
        {"641x481", "640x480", "640x480", "1", "",
         "Frame Size must be a multiple of 2.\nThe correct value:640x480"},
        {"640x0", "640x2", "640x2", "0", "", "Frame Size must be a multiple of 2.\nThe correct value:640x2"},
        {"7x-3", "6x-2", "6x-2", "0", "", "Frame Size must be a multiple of 2.\nThe correct value:6x-2"},
        {"400x300", "400x300", "400x300", "0", "", ""},
        {"AS SOURCE", "AS SOURCE", "<none>", "<none>", "", ""},
        {"400", "640x480", "<none>", "<none>", "Frame Size is not a valid value!", ""},
        {"axb", "640x480", "<none>", "<none>", "Frame Size is not a valid value!", ""},
        {"", "640x480", "<none>", "<none>", "Frame Size is not a valid value!", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        settings.EraseSection("formatInfo100");
        Touch("paraVideoSize", "320x240");
        messages.Clear();
        TParameterPanel panel(format, settings, messages);
        panel.LoadProfile("100");
        settings.EraseSection("formatInfo100");
        panel.EditText(B::pbVideoSize, c.typed);
        EXPECT_EQ(Stored("paraVideoSize"), "<none>"); // typing alone writes nothing
        const bool kept = panel.cmbVideoSizeExit();
        EXPECT_EQ(kept, *c.message == '\0' && *c.correction == '\0');
        EXPECT_EQ(panel.Box(B::pbVideoSize).Text, c.box);
        EXPECT_EQ(Stored("paraVideoSize"), c.stored);
        EXPECT_EQ(Stored("iVideoSize"), c.storedIndex);
        if (*c.message) {
            ASSERT_EQ(messages.shown.size(), 1u);
            EXPECT_EQ(messages.shown[0], c.message);
        } else {
            EXPECT_TRUE(messages.shown.empty());
        }
        if (*c.correction) {
            ASSERT_EQ(messages.boxes.size(), 1u);
            EXPECT_EQ(messages.boxes[0].Text, c.correction);
            EXPECT_EQ(messages.boxes[0].Caption, "Input Error!");
            EXPECT_EQ(messages.boxes[0].Buttons, TMsgButtons::mbOK);
        } else {
            EXPECT_TRUE(messages.boxes.empty());
        }
    }
}

TEST_F(ParameterPanelTest, ValueChangesWriteMappedNames) {
    Touch("x", "1");
    TParameterPanel panel(format, settings, messages);
    panel.LoadProfile("100");

    panel.SelectItem(B::pbVolume, 5); // 150%
    EXPECT_EQ(Stored("paraVolume"), "384");
    EXPECT_EQ(Stored("iVolume"), "5");
    panel.SelectItem(B::pbAudioEncoder, 0); // AAC
    EXPECT_EQ(Stored("paraAudioEncoder"), "libfaac");
    panel.SelectItem(B::pbChannel, 1);
    EXPECT_EQ(Stored("paraChannel"), "1");
    panel.SelectItem(B::pbChannel, 0);
    EXPECT_EQ(Stored("paraChannel"), "as source");
    panel.SelectItem(B::pbFrameRate, 1);
    EXPECT_EQ(Stored("paraFrameRate"), "25");
    panel.SelectItem(B::pbVideoSize, 2);
    EXPECT_EQ(Stored("paraVideoSize"), "as source");
    EXPECT_EQ(Stored("iVideoSize"), "2");
    panel.SelectItem(B::pbZoom, 1);
    EXPECT_EQ(Stored("paraZoom"), "lbox");
    // MPEG-4 copies no H.264 tuning values.
    panel.SelectItem(B::pbVideoEncoder, 0);
    EXPECT_EQ(Stored("paraVideoEncoder"), "mpeg4");
    EXPECT_EQ(Stored("paraLevel"), "<none>");
    panel.SelectItem(B::pbVideoEncoder, 1);
    EXPECT_EQ(Stored("paraLevel"), "30");
    EXPECT_EQ(Stored("paraBufferSize"), "<none>"); // 0 is not copied
    EXPECT_EQ(Stored("paraQscale"), "<none>");     // nor a negative value
    EXPECT_EQ(Stored("paraCoder"), "0");

    // Typed numbers: decimals only for the audio bit rate.
    panel.EditText(B::pbAudioBitRate, "12.2");
    EXPECT_EQ(Stored("paraAudioBitRate"), "12.2");
    EXPECT_EQ(Stored("iAudioBitRate"), "-1");
    panel.EditText(B::pbSamplerate, "as source");
    EXPECT_EQ(Stored("paraSampleRate"), "as source");
    EXPECT_TRUE(messages.Silent());
    struct Refused {
        B box;
        const char* text;
        const char* message;
        const char* key;
        const char* kept;
    };
    for (const Refused& r :
         {Refused{B::pbVideoBitRate, "12.5", kMsgVideoBitRateInvalid, "paraVideoBitRate", "<none>"},
          Refused{B::pbSamplerate, "", kMsgSampleRateInvalid, "paraSampleRate", "as source"},
          Refused{B::pbAudioBitRate, "As Source", kMsgAudioBitRateInvalid, "paraAudioBitRate", "12.2"}}) {
        SCOPED_TRACE(r.text);
        messages.Clear();
        panel.EditText(r.box, r.text);
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0], r.message);
        EXPECT_EQ(panel.Box(r.box).ItemIndex, 1); // item 1 takes the refused text's place
        EXPECT_EQ(Stored(r.key), r.kept);
    }
}

TEST_F(ParameterPanelTest, TypedKeyFilters) {
    Touch("paraVideoSize", "");
    TParameterPanel panel(format, settings, messages);
    panel.LoadProfile("100");
    for (B box : {B::pbVideoBitRate, B::pbSamplerate, B::pbAudioBitRate}) {
        messages.Clear();
        EXPECT_TRUE(panel.KeyPress(box, '7'));
        EXPECT_TRUE(panel.KeyPress(box, '\b'));
        EXPECT_TRUE(messages.Silent());
        EXPECT_FALSE(panel.KeyPress(box, '.'));
        EXPECT_EQ(messages.shown, std::vector<std::string>{"Please enter numerical."});
        EXPECT_EQ(messages.beeps, 1);
    }
    // Frame size: each character already typed checks the key.
    struct Case {
        const char* text;
        char key;
        int beeps;
    };
    for (const Case& c : {Case{"", 'a', 0}, Case{"32", '0', 0}, Case{"320", 'x', 0}, Case{"320x", 'x', 1},
                          Case{"320x24", 'x', 1}, Case{"32", 'a', 2}, Case{"320x", 'q', 4},
                          Case{"320x", '\b', 0}, Case{"x", '5', 0}}) {
        SCOPED_TRACE(std::string(c.text) + " + " + c.key);
        messages.Clear();
        panel.EditText(B::pbVideoSize, c.text);
        EXPECT_EQ(panel.KeyPress(B::pbVideoSize, c.key), c.beeps == 0);
        EXPECT_EQ(messages.beeps, c.beeps);
        EXPECT_TRUE(messages.shown.empty());
    }
    EXPECT_TRUE(panel.KeyPress(B::pbVolume, 'z')); // fixed boxes take what the widget allows
}

TEST_F(ParameterPanelTest, DialogWritesNothingUntilOk) {
    Touch("iVideoBitRate", "-1");
    Touch("iFrameRate", "1");
    TParameterPanel dialog(format, settings, messages, TWritePolicy::wpOnOk);
    dialog.ShowProfile("100");
    // A stored negative index shows the stored text, here the dialog's own default.
    EXPECT_EQ(dialog.Box(B::pbVideoBitRate).Text, "800");
    EXPECT_EQ(dialog.Box(B::pbVideoSize).ItemIndex, 0);
    EXPECT_EQ(dialog.Box(B::pbFrameRate).Text, "25");
    EXPECT_EQ(dialog.Box(B::pbZoom).Items[1], "Letterbox");

    const auto before = Section();
    dialog.SelectItem(B::pbZoom, 2);
    dialog.SelectItem(B::pbVolume, 5);
    dialog.EditText(B::pbVideoBitRate, "2000");
    dialog.EditText(B::pbVideoSize, "321x241");
    EXPECT_EQ(Section(), before);
    // Leaving the frame size box corrects it in place, still without writing.
    EXPECT_FALSE(dialog.LeaveBox(B::pbVideoSize));
    EXPECT_EQ(dialog.Box(B::pbVideoSize).Text, "320x240");
    EXPECT_TRUE(dialog.LeaveBox(B::pbVideoSize));
    EXPECT_EQ(Section(), before);
    // Cancel: the settings stay as they were.

    ASSERT_TRUE(dialog.btnOkClick("Some Profile (*.mp4)"));
    const auto after = Section();
    EXPECT_EQ(after.at("Description"), "Some Profile (*.mp4)");
    EXPECT_EQ(after.at("paraZoom"), "pan");
    EXPECT_EQ(after.at("paraVolume"), "384");
    EXPECT_EQ(after.at("paraVideoBitRate"), "2000");
    EXPECT_EQ(after.at("iVideoBitRate"), "-1");
    EXPECT_EQ(after.at("paraVideoSize"), "320x240");
    EXPECT_EQ(after.at("iVideoSize"), "0");
    EXPECT_EQ(after.at("paraFrameRate"), "25");
    EXPECT_EQ(settings.ReadString("settings", "FormatCode", ""), "100");
    EXPECT_EQ(settings.ReadString("settings", "FormatName", ""), "Some Profile (*.mp4)");

    // A refused value keeps Ok from writing.
    settings.EraseSection("formatInfo100");
    dialog.EditText(B::pbAudioBitRate, "fast");
    messages.Clear();
    EXPECT_FALSE(dialog.btnOkClick("Some Profile (*.mp4)"));
    EXPECT_EQ(messages.shown, std::vector<std::string>{"Audio BitRate is not a valid value!"});
    EXPECT_TRUE(Section().empty());
}

TEST_F(ParameterPanelTest, DialogProfileChangeAndDefault) {
    Touch("iVideoSize", "-1");
    Touch("paraVideoSize", "400x300");
    TParameterPanel dialog(format, settings, messages, TWritePolicy::wpOnOk);
    // A profile change selects stored indexes only: a negative one leaves the box empty.
    dialog.LoadProfile("100");
    EXPECT_EQ(dialog.Box(B::pbVideoSize).ItemIndex, -1);
    EXPECT_EQ(dialog.Box(B::pbVideoSize).Text, "");
    dialog.ShowProfile("100");
    EXPECT_EQ(dialog.Box(B::pbVideoSize).Text, "400x300");

    dialog.btnDefaultClick();
    EXPECT_EQ(dialog.Box(B::pbVideoSize).Text, "640x480");
    EXPECT_EQ(dialog.Box(B::pbVideoEncoder).Text, "H264");
    EXPECT_EQ(dialog.Box(B::pbZoom).ItemIndex, 0);
    EXPECT_EQ(Section().size(), 2u);

    // A profile never chosen opens on its defaults, not on item 0 of every box.
    dialog.LoadProfile("2700");
    EXPECT_EQ(dialog.Box(B::pbAudioBitRate).Text, "128");
    EXPECT_TRUE(Section("2700").empty());
    ASSERT_TRUE(dialog.btnOkClick("MP3"));
    EXPECT_EQ(Stored("paraAudioEncoder", "2700"), "libmp3lame");
    EXPECT_EQ(Stored("paraVideoEncoder", "2700"), "<none>");
}

TEST(ParameterRulesTest, NameMaps) {
    EXPECT_EQ(VideoEncoderParam("MPEG-4"), "mpeg4");
    EXPECT_EQ(VideoEncoderParam("XviD"), "libxvid");
    EXPECT_EQ(VideoEncoderParam("H264"), "libx264");
    EXPECT_EQ(VideoEncoderParam("WMV2"), "wmv2");
    EXPECT_EQ(VideoEncoderParam("h.264"), std::nullopt);
    EXPECT_EQ(AudioEncoderParam("AAC"), "libfaac");
    EXPECT_EQ(AudioEncoderParam("OGG"), "vorbis");
    EXPECT_EQ(AudioEncoderParam("AC-3"), "ac3");
    EXPECT_EQ(AudioEncoderParam("AMR_NB"), "libopencore_amrnb");
    EXPECT_EQ(AudioEncoderParam("WMA2"), "wmav2");
    EXPECT_EQ(AudioEncoderParam("Opus"), std::nullopt);
    EXPECT_EQ(ChannelParam("stereo 2 channels"), "2");
    EXPECT_EQ(ChannelParam("Stereo 2 channels"), std::nullopt);
    const std::pair<const char*, const char*> volumes[] = {
        {"25%", "64"}, {"100%", "256"}, {"150%", "384"}, {"250%", "640"}, {"400%", "1024"}};
    for (const auto& [item, value] : volumes)
        EXPECT_EQ(VolumeParam(item), value) << item;
    EXPECT_EQ(VolumeParam("110%"), std::nullopt);
    EXPECT_EQ(VolumeParam("%"), std::nullopt);
    EXPECT_EQ(VolumeParam(""), std::nullopt);
    EXPECT_EQ(SplitList("a,,b,"), (std::vector<std::string>{"a", "", "b", ""}));
}

} // namespace
} // namespace kavlo
