#include "profiles/TParameterPanel.h"

#include "core/Settings.h"
#include "core/TextUtils.h"
#include "profiles/ParameterRules.h"
#include "profiles/ProfileNames.h"

namespace kavlo {

namespace {

using B = TPanelBox;

constexpr B kVideoGroup[] = {B::pbVideoSize, B::pbVideoEncoder, B::pbVideoBitRate, B::pbFrameRate, B::pbZoom};
constexpr B kAudioGroup[] = {B::pbSamplerate, B::pbAudioEncoder, B::pbAudioBitRate, B::pbChannel,
                             B::pbVolume};

// The nine boxes filled from the format file, with their list key and default-index key, in
// the order they are loaded.
struct ListBox {
    B box;
    const char* list;
    const char* index;
};
constexpr ListBox kLists[] = {
    {B::pbVideoSize, "VideoSize", "iVideoSize"},
    {B::pbVideoBitRate, "VideoBitRate", "iVideoBitRate"},
    {B::pbFrameRate, "FrameRate", "iFrameRate"},
    {B::pbVideoEncoder, "VideoEncoder", "iVideoEncoder"},
    {B::pbAudioBitRate, "AudioBitRate", "iAudioBitRate"},
    {B::pbSamplerate, "SampleRate", "iSampleRate"},
    {B::pbAudioEncoder, "AudioEncoder", "iAudioEncoder"},
    {B::pbChannel, "Channel", "iChannel"},
    {B::pbVolume, "Volume", "iVolume"},
};

const char* IndexKey(B box) {
    for (const auto& l : kLists)
        if (l.box == box)
            return l.index;
    return "";
}

const char* ParaKey(B box) {
    switch (box) {
    case B::pbVideoSize:
        return "paraVideoSize";
    case B::pbVideoEncoder:
        return "paraVideoEncoder";
    case B::pbVideoBitRate:
        return "paraVideoBitRate";
    case B::pbFrameRate:
        return "paraFrameRate";
    case B::pbZoom:
        return "paraZoom";
    case B::pbSamplerate:
        return "paraSampleRate";
    case B::pbAudioEncoder:
        return "paraAudioEncoder";
    case B::pbAudioBitRate:
        return "paraAudioBitRate";
    case B::pbChannel:
        return "paraChannel";
    case B::pbVolume:
        return "paraVolume";
    }
    return "";
}

const char* const kMainZoomItems[] = {"Full Screen", "Letter Box", "Pan and Scan"};
const char* const kDialogZoomItems[] = {"Full screen", "Letterbox", "Pan and Scan"};

// The H.264 tuning values copied from the format file when the H.264 encoder is chosen.
const char* const kPositiveTuningKeys[] = {"paraMaxBitrate", "paraBufferSize", "paraLevel", "paraQscale",
                                           "paraGop"};

void Put(TProfileValues& values, const std::string& key, const std::string& value) {
    values.emplace_back(key, value);
}

} // namespace

TParameterPanel::TParameterPanel(IniFile formatFile, IniFile settings, IUserMessages& messages,
                                 TWritePolicy policy)
    : formatFile_(std::move(formatFile)), settings_(std::move(settings)), messages_(messages),
      policy_(policy) {
    for (B box : {B::pbVideoSize, B::pbVideoBitRate, B::pbSamplerate, B::pbAudioBitRate})
        Mut(box).Editable = true;
}

std::string TParameterPanel::Section() const {
    return FormatSectionName(formatCode_);
}

void TParameterPanel::LoadProfile(const std::string& formatCode) {
    Load(formatCode, false);
}

void TParameterPanel::ShowProfile(const std::string& formatCode) {
    Load(formatCode, policy_ == TWritePolicy::wpOnOk);
}

void TParameterPanel::LoadList(TPanelBox box, const char* key, bool emptyMeansNull) {
    TComboState& b = Mut(box);
    b.Clear();
    const std::string value = formatFile_.ReadString(Section(), key, "null");
    if (SameText(value, "null") || (emptyMeansNull && value.empty())) {
        b.Enabled = false;
        return;
    }
    b.Items = SplitList(value);
    b.Enabled = true;
}

void TParameterPanel::LoadZoom() {
    TComboState& zoom = Mut(B::pbZoom);
    zoom.Clear();
    const std::string mode = settings_.ReadString(Section(), "paraZoom", "full");
    const bool dialog = policy_ == TWritePolicy::wpOnOk;
    if (!dialog && (mode == "null" || mode.empty())) {
        zoom.Enabled = false;
        return;
    }
    for (const char* item : dialog ? kDialogZoomItems : kMainZoomItems)
        zoom.Items.emplace_back(item);
    zoom.Enabled = true;
    // "center" asks for a fourth item the box does not have: nothing is selected.
    zoom.Select(ZoomModeIndex(mode));
}

void TParameterPanel::ApplyGroupEnabling() {
    for (TComboState& b : boxes_)
        b.DropDownCount = static_cast<int>(b.Items.size());
    const bool video = !Mut(B::pbVideoEncoder).Items.empty();
    for (B box : kVideoGroup) {
        Mut(box).Enabled = video;
        Mut(box).GreyText = !video;
    }
    const bool audio = !Mut(B::pbAudioEncoder).Items.empty();
    for (B box : kAudioGroup) {
        Mut(box).Enabled = audio;
        Mut(box).GreyText = !audio;
    }
}

void TParameterPanel::Load(const std::string& formatCode, bool dialogShow) {
    formatCode_ = formatCode;
    size_t n = 0;
    for (const auto& l : kLists)
        LoadList(l.box, l.list, n++ >= 3);
    LoadZoom();

    const std::string section = Section();
    if (policy_ != TWritePolicy::wpOnOk) {
        struct TextValue {
            B box;
            const char* def;
        };
        for (const auto& v : {TextValue{B::pbVideoSize, "320x240"}, TextValue{B::pbVideoBitRate, "768"},
                              TextValue{B::pbSamplerate, "44100"}, TextValue{B::pbAudioBitRate, "96"}})
            Mut(v.box).SetText(settings_.ReadString(section, ParaKey(v.box), v.def));
        for (B box : {B::pbFrameRate, B::pbVideoEncoder, B::pbChannel, B::pbVolume, B::pbAudioEncoder})
            Mut(box).Select(settings_.ReadInteger(section, IndexKey(box), 0));
    } else {
        // The dialog reads its boxes by index. On opening, a negative index (typed text) shows
        // the stored text; on a profile change it leaves the box without a selection.
        struct TextValue {
            B box;
            const char* def;
        };
        const TextValue fallbacks[] = {{B::pbVideoSize, "320x240"},
                                       {B::pbVideoBitRate, "800"},
                                       {B::pbFrameRate, "25"},
                                       {B::pbSamplerate, "44100"},
                                       {B::pbAudioBitRate, "96"}};
        for (const auto& l : kLists) {
            const int index = settings_.ReadInteger(section, l.index, 0);
            const TextValue* fallback = nullptr;
            for (const auto& f : fallbacks)
                if (f.box == l.box)
                    fallback = &f;
            if (index < 0 && dialogShow && fallback)
                Mut(l.box).SetText(settings_.ReadString(section, ParaKey(l.box), fallback->def));
            else
                Mut(l.box).Select(index);
        }
    }
    ApplyGroupEnabling();

    // A profile the user never adjusted has no section yet. Converting it with the builder's
    // bare defaults would lose its video (no "paraVideoEncoder" means audio only), so it starts
    // from the format file's defaults, exactly as if Default had been pressed.
    if (!settings_.SectionExists(section))
        btnDefaultClick();
}

void TParameterPanel::SelectFormatDefaults() {
    const std::string section = Section();
    for (const auto& l : kLists)
        Mut(l.box).Select(formatFile_.ReadInteger(section, l.index, 0));
    Mut(B::pbZoom).Select(0);
}

void TParameterPanel::btnDefaultClick() {
    if (policy_ == TWritePolicy::wpOnOk) {
        SelectFormatDefaults();
        return;
    }
    LoadList(B::pbVideoSize, "VideoSize", false);
    LoadList(B::pbVideoBitRate, "VideoBitRate", false);
    LoadList(B::pbAudioBitRate, "AudioBitRate", true);
    LoadList(B::pbSamplerate, "SampleRate", true);
    ApplyGroupEnabling();
    SelectFormatDefaults();
    RunDefaultSequence();
}

void TParameterPanel::RunDefaultSequence() {
    // A box with nothing to offer (the profile has no such parameter, e.g. the video boxes of an
    // audio profile) is skipped: checking its empty text would only raise a false complaint.
    auto offered = [this](B box) { return !Mut(box).Items.empty(); };
    if (offered(B::pbVideoEncoder))
        VideoEncoderChanged();
    if (offered(B::pbVideoSize))
        VideoSizeExit(true);
    if (offered(B::pbFrameRate))
        FrameRateChanged();
    if (offered(B::pbVideoBitRate))
        NumberChanged(B::pbVideoBitRate, true);
    if (offered(B::pbZoom))
        ZoomChanged();
    if (offered(B::pbAudioEncoder))
        AudioEncoderChanged();
    if (offered(B::pbAudioBitRate))
        NumberChanged(B::pbAudioBitRate, true);
    if (offered(B::pbSamplerate))
        NumberChanged(B::pbSamplerate, true);
    if (offered(B::pbChannel))
        ChannelChanged();
    if (offered(B::pbVolume))
        VolumeChanged();
}

bool TParameterPanel::KeyPress(TPanelBox box, char key) {
    if (box == B::pbVideoSize) {
        const int failures = FrameSizeKeyFailures(Mut(box).Text, key);
        for (int i = 0; i < failures; ++i)
            messages_.Beep();
        return failures == 0;
    }
    if (box == B::pbVideoBitRate || box == B::pbSamplerate || box == B::pbAudioBitRate) {
        if (DigitKeyAccepted(key))
            return true;
        messages_.ShowMessage(kMsgEnterNumerical);
        messages_.Beep();
        return false;
    }
    return true;
}

void TParameterPanel::EditText(TPanelBox box, const std::string& text) {
    TComboState& b = Mut(box);
    if (!b.Editable)
        return;
    b.SetText(text);
    // Typed values of the number boxes are checked (and written) as they change on the main
    // window; the frame size waits for the box to be left; the dialog checks on leaving only.
    if (policy_ != TWritePolicy::wpOnOk && box != B::pbVideoSize)
        NumberChanged(box, true);
}

void TParameterPanel::SelectItem(TPanelBox box, int index) {
    Mut(box).Select(index);
    if (policy_ == TWritePolicy::wpOnOk)
        return;
    switch (box) {
    case B::pbVideoSize:
        VideoSizeSelected();
        break;
    case B::pbVideoEncoder:
        VideoEncoderChanged();
        break;
    case B::pbVideoBitRate:
    case B::pbSamplerate:
    case B::pbAudioBitRate:
        NumberChanged(box, true);
        break;
    case B::pbFrameRate:
        FrameRateChanged();
        break;
    case B::pbZoom:
        ZoomChanged();
        break;
    case B::pbAudioEncoder:
        AudioEncoderChanged();
        break;
    case B::pbChannel:
        ChannelChanged();
        break;
    case B::pbVolume:
        VolumeChanged();
        break;
    }
}

bool TParameterPanel::LeaveBox(TPanelBox box) {
    if (box == B::pbVideoSize)
        return VideoSizeExit(WritesAtOnce());
    if (policy_ == TWritePolicy::wpOnOk &&
        (box == B::pbVideoBitRate || box == B::pbSamplerate || box == B::pbAudioBitRate))
        return NumberChanged(box, false);
    return true;
}

bool TParameterPanel::VideoSizeExit(bool write) {
    TComboState& b = Mut(B::pbVideoSize);
    const std::string text = b.Text;
    if (ToLower(text).find(kAsSource) != std::string::npos)
        return true;
    int width = 0, height = 0;
    if (!ParseTypedFrameSize(text, width, height)) {
        messages_.ShowMessage(kMsgFrameSizeInvalid);
        if (b.Items.size() > 1)
            b.Select(1);
        return false;
    }
    const bool corrected = MakeEvenFrameSize(width, height);
    if (corrected) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        messages_.MessageBox(kMsgFrameSizeEven + size, kCaptionInputError, TMsgButtons::mbOK,
                             TMsgIcon::miNone);
        b.SetText(size);
    }
    if (write) {
        // The index is looked up for the text the box now holds, so that a corrected size that
        // is an item is stored with its own index.
        const int index = b.IndexOf(b.Text);
        Write({{"iVideoSize", std::to_string(index < 0 ? 0 : index)}, {"paraVideoSize", b.Text}});
    }
    return !corrected;
}

void TParameterPanel::VideoSizeSelected() {
    const TComboState& b = Mut(B::pbVideoSize);
    Write({{"iVideoSize", std::to_string(b.ItemIndex < 0 ? 0 : b.ItemIndex)}, {"paraVideoSize", b.Text}});
}

bool TParameterPanel::NumberChanged(TPanelBox box, bool write) {
    TComboState& b = Mut(box);
    const std::string& t = b.Text;
    bool valid = false;
    const char* message = "";
    if (box == B::pbVideoBitRate) {
        valid = IsInteger(t) || t == kAsSource;
        message = kMsgVideoBitRateInvalid;
    } else if (box == B::pbSamplerate) {
        valid = IsInteger(t) || t == kAsSource;
        message = kMsgSampleRateInvalid;
    } else {
        valid = IsInteger(t) || IsNumber(t) || t == kAsSource;
        message = kMsgAudioBitRateInvalid;
    }
    if (!valid) {
        messages_.ShowMessage(message);
        if (b.Items.size() > 1)
            b.Select(1);
        return false;
    }
    if (write)
        Write({{IndexKey(box), std::to_string(b.ItemIndex)}, {ParaKey(box), b.Text}});
    return true;
}

void TParameterPanel::FrameRateChanged() {
    const TComboState& b = Mut(B::pbFrameRate);
    Write({{"iFrameRate", std::to_string(b.ItemIndex)}, {"paraFrameRate", b.Text}});
}

void TParameterPanel::VideoEncoderChanged() {
    TProfileValues values{{"iVideoEncoder", std::to_string(Mut(B::pbVideoEncoder).ItemIndex)}};
    AppendVideoEncoderValues(values);
    Write(values);
}

void TParameterPanel::AppendVideoEncoderValues(TProfileValues& out) const {
    const TComboState& video = Box(B::pbVideoEncoder);
    if (auto name = VideoEncoderParam(video.Text))
        Put(out, "paraVideoEncoder", *name);
    if (ToLower(video.Text) != "h264")
        return;
    const std::string section = Section();
    const std::string bitExact = formatFile_.ReadString(section, "paraBitExact", "");
    if (SameText(bitExact, "true"))
        Put(out, "paraBitExact", bitExact);
    for (const char* key : kPositiveTuningKeys) {
        const std::string v = formatFile_.ReadString(section, key, "");
        int n = 0;
        if (TryParseInt(v, n) && n > 0)
            Put(out, key, v);
    }
    const std::string coder = formatFile_.ReadString(section, "paraCoder", "");
    int n = 0;
    if (TryParseInt(coder, n) && n >= 0)
        Put(out, "paraCoder", coder);
}

void TParameterPanel::ZoomChanged() {
    const int index = Mut(B::pbZoom).ItemIndex;
    if (index >= 0 && index <= 2)
        Write({{"paraZoom", ZoomModeName(index)}});
}

void TParameterPanel::AudioEncoderChanged() {
    TProfileValues values{{"iAudioEncoder", std::to_string(Mut(B::pbAudioEncoder).ItemIndex)}};
    if (auto name = AudioEncoderParam(Mut(B::pbAudioEncoder).Text))
        Put(values, "paraAudioEncoder", *name);
    Write(values);
}

void TParameterPanel::ChannelChanged() {
    TProfileValues values{{"iChannel", std::to_string(Mut(B::pbChannel).ItemIndex)}};
    if (auto value = ChannelParam(Mut(B::pbChannel).Text))
        Put(values, "paraChannel", *value);
    Write(values);
}

void TParameterPanel::VolumeChanged() {
    TProfileValues values{{"iVolume", std::to_string(Mut(B::pbVolume).ItemIndex)}};
    if (auto value = VolumeParam(Mut(B::pbVolume).Text))
        Put(values, "paraVolume", *value);
    Write(values);
}

bool TParameterPanel::btnOkClick(const std::string& formatName) {
    if (policy_ != TWritePolicy::wpOnOk)
        return false;
    // The boxes are checked as leaving them would; a disabled box cannot be left.
    for (B box : {B::pbVideoSize, B::pbVideoBitRate, B::pbSamplerate, B::pbAudioBitRate})
        if (Box(box).Enabled && !LeaveBox(box))
            return false;

    TProfileValues values;
    Put(values, "Description", formatName);
    for (const auto& l : kLists)
        Put(values, l.index, std::to_string(Box(l.box).ItemIndex));
    for (B box : {B::pbVideoSize, B::pbVideoBitRate, B::pbFrameRate})
        Put(values, ParaKey(box), Box(box).Text);
    const int zoom = Box(B::pbZoom).ItemIndex;
    if (zoom >= 0)
        Put(values, "paraZoom", ZoomModeName(zoom));
    AppendVideoEncoderValues(values);
    if (auto name = AudioEncoderParam(Box(B::pbAudioEncoder).Text))
        Put(values, "paraAudioEncoder", *name);
    if (auto value = ChannelParam(Box(B::pbChannel).Text))
        Put(values, "paraChannel", *value);
    if (auto value = VolumeParam(Box(B::pbVolume).Text))
        Put(values, "paraVolume", *value);
    Put(values, "paraSampleRate", Box(B::pbSamplerate).Text);
    Put(values, "paraAudioBitRate", Box(B::pbAudioBitRate).Text);
    settings_.WriteValues(Section(), values);
    settings_.WriteValues(settings::kSection,
                          {{settings::kFormatName, formatName}, {settings::kFormatCode, formatCode_}});
    return true;
}

void TParameterPanel::Write(const TProfileValues& values) {
    if (values.empty())
        return;
    switch (policy_) {
    case TWritePolicy::wpImmediate:
        settings_.WriteValues(Section(), values);
        break;
    case TWritePolicy::wpCollect:
        collected_.insert(collected_.end(), values.begin(), values.end());
        break;
    case TWritePolicy::wpOnOk:
        break;
    }
}

TProfileValues ProfileDefaultValues(const IniFile& formatFile, int code, IUserMessages* messages) {
    TSilentMessages silent;
    // An unnamed settings file reads as empty, so the profile always starts from its defaults.
    TParameterPanel panel(formatFile, IniFile(std::string()), messages ? *messages : silent,
                          TWritePolicy::wpCollect);
    panel.LoadProfile(std::to_string(code));
    return panel.Collected();
}

} // namespace kavlo
