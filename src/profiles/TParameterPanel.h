#pragma once
#include <array>
#include <string>

#include "core/IniFile.h"
#include "profiles/IUserMessages.h"
#include "profiles/TComboState.h"
#include "profiles/TProfileSettings.h"

namespace kavlo {

// When the panel's choices reach the settings file.
enum class TWritePolicy {
    wpImmediate, // every change is written at once (the main window's panel)
    wpOnOk,      // nothing is written until btnOkClick (the profile settings dialog)
    wpCollect,   // nothing is written anywhere; the writes are gathered in Collected()
};

enum class TPanelBox {
    pbVideoSize,
    pbVideoEncoder,
    pbVideoBitRate,
    pbFrameRate,
    pbZoom,
    pbSamplerate,
    pbAudioEncoder,
    pbAudioBitRate,
    pbChannel,
    pbVolume,
};
inline constexpr int kPanelBoxCount = 10;

// The video and audio parameter boxes of one profile without their widgets: what each box
// offers (from the format file), what it shows (from the settings file), the typed-key filters,
// the checks made when a value changes or a box is left, and the values written to section
// "formatInfo" + code of the settings file. The window mirrors Box() and forwards the user's
// actions; messages go through IUserMessages.
class TParameterPanel {
public:
    TParameterPanel(IniFile formatFile, IniFile settings, IUserMessages& messages,
                    TWritePolicy policy = TWritePolicy::wpImmediate);

    // The profile box changed: reload every box for the profile code. A profile the settings
    // file holds no section for yet gets its defaults (the Default button).
    void LoadProfile(const std::string& formatCode);
    // The settings dialog opening on a profile: like LoadProfile, except that a stored negative
    // index puts the stored text into the five value boxes. The same as LoadProfile for the
    // other policies.
    void ShowProfile(const std::string& formatCode);

    const std::string& FormatCode() const { return formatCode_; }
    TWritePolicy Policy() const { return policy_; }
    const TComboState& Box(TPanelBox box) const { return boxes_[static_cast<size_t>(box)]; }

    // A key typed into a box; false when it is refused (the box does not change).
    bool KeyPress(TPanelBox box, char key);
    // The text of an editable box changed by typing.
    void EditText(TPanelBox box, const std::string& text);
    // An item picked from a box's list.
    void SelectItem(TPanelBox box, int index);
    // The focus leaves a box. False when its value was refused or corrected: the window gives
    // the box the focus back.
    bool LeaveBox(TPanelBox box);
    bool cmbVideoSizeExit() { return LeaveBox(TPanelBox::pbVideoSize); }

    // Resets the boxes to the profile's defaults from the format file (and, unless the policy
    // is wpOnOk, writes every value).
    void btnDefaultClick();
    // wpOnOk: checks the boxes as leaving them would, then writes the profile's name
    // ("Description"), every box's value, and "FormatName"/"FormatCode" of section "settings".
    // False, with nothing written, when a check refused or corrected a value.
    bool btnOkClick(const std::string& formatName);

    // wpCollect: the values that would have been written, in order.
    const TProfileValues& Collected() const { return collected_; }

private:
    TComboState& Mut(TPanelBox box) { return boxes_[static_cast<size_t>(box)]; }
    std::string Section() const;
    void Load(const std::string& formatCode, bool dialogShow);
    void LoadList(TPanelBox box, const char* key, bool emptyMeansNull);
    void LoadZoom();
    void ApplyGroupEnabling();
    void SelectFormatDefaults();
    void RunDefaultSequence();

    // Change handling of each box; `write` false checks without writing.
    bool VideoSizeExit(bool write);
    void VideoSizeSelected();
    bool NumberChanged(TPanelBox box, bool write);
    void FrameRateChanged();
    void VideoEncoderChanged();
    void ZoomChanged();
    void AudioEncoderChanged();
    void ChannelChanged();
    void VolumeChanged();

    // The video encoder's mapped name and, for H.264, the tuning values copied from the format
    // file.
    void AppendVideoEncoderValues(TProfileValues& out) const;
    void Write(const TProfileValues& values);
    bool WritesAtOnce() const { return policy_ != TWritePolicy::wpOnOk; }

    IniFile formatFile_;
    IniFile settings_;
    IUserMessages& messages_;
    TWritePolicy policy_;
    std::string formatCode_;
    std::array<TComboState, kPanelBoxCount> boxes_;
    TProfileValues collected_;
};

// The values a profile's Default button writes, computed from the format file alone: what a
// program without the panel uses for a profile the user never adjusted.
TProfileValues ProfileDefaultValues(const IniFile& formatFile, int code, IUserMessages* messages = nullptr);

} // namespace kavlo
