#include "cli/RunChoices.h"

#include "core/TextUtils.h"
#include "profiles/ParameterRules.h"
#include "profiles/ProfileNames.h"
#include "profiles/TParameterPanel.h"

namespace kavlo::cli {

namespace {

struct BoxName {
    const char* name;
    TPanelBox box;
};
constexpr BoxName kBoxes[] = {
    {"VideoSize", TPanelBox::pbVideoSize},
    {"VideoBitRate", TPanelBox::pbVideoBitRate},
    {"FrameRate", TPanelBox::pbFrameRate},
    {"VideoEncoder", TPanelBox::pbVideoEncoder},
    {"AudioBitRate", TPanelBox::pbAudioBitRate},
    {"SampleRate", TPanelBox::pbSamplerate},
    {"AudioEncoder", TPanelBox::pbAudioEncoder},
    {"Channel", TPanelBox::pbChannel},
    {"Volume", TPanelBox::pbVolume},
    {"Zoom", TPanelBox::pbZoom},
};

std::string Offered(const TComboState& box) {
    std::string s;
    for (const std::string& item : box.Items)
        s += (s.empty() ? "" : ", ") + std::string("\"") + item + "\"";
    return s;
}

int FindItem(const TComboState& box, const std::string& value) {
    const int exact = box.IndexOf(value);
    if (exact >= 0)
        return exact;
    for (size_t i = 0; i < box.Items.size(); ++i)
        if (SameText(box.Items[i], Trim(value)))
            return static_cast<int>(i);
    return -1;
}

// One --set on the panel. Typed text goes through the box's key filter first, as keys typed
// into the box would.
bool ApplySet(TParameterPanel& panel, const std::string& key, const std::string& value,
              TCliMessages& messages, std::vector<std::string>& warnings, std::string& error) {
    TPanelBox box{};
    for (const BoxName& b : kBoxes)
        if (key == b.name)
            box = b.box;
    const TComboState& state = panel.Box(box);
    if (!state.Enabled || (state.Items.empty() && !state.Editable)) {
        error = key + " does not apply to profile " + panel.FormatCode();
        return false;
    }
    const int item = FindItem(state, value);
    if (item >= 0) {
        panel.SelectItem(box, item);
    } else if (!state.Editable) {
        error = key + " \"" + value + "\" is not offered by profile " + panel.FormatCode() +
                " (offered: " + Offered(state) + ")";
        return false;
    } else {
        std::string typed;
        for (char c : value) {
            const bool taken =
                box == TPanelBox::pbVideoSize ? FrameSizeKeyFailures(typed, c) == 0 : DigitKeyAccepted(c);
            if (!taken) {
                error =
                    key + " \"" + value + "\": " +
                    (box == TPanelBox::pbVideoSize ? std::string("the frame size takes digits and one \"x\"")
                                                   : std::string(kMsgEnterNumerical));
                return false;
            }
            typed += c;
        }
        panel.EditText(box, value);
        panel.LeaveBox(box);
    }
    for (const std::string& text : messages.Take()) {
        if (text.rfind(kMsgFrameSizeEven, 0) == 0) {
            std::string oneLine = text;
            for (char& c : oneLine)
                if (c == '\n')
                    c = ' ';
            warnings.push_back(key + " \"" + value + "\": " + oneLine);
            continue;
        }
        error = key + " \"" + value + "\": " + text;
        return false;
    }
    messages.TakeBeeps();
    return true;
}

} // namespace

bool ResolveProfile(const std::string& text, int& code, std::string& error) {
    const std::string t = Trim(text);
    int n = 0;
    if (TryParseInt(t, n)) {
        if (!CatalogueProfileName(n).empty()) {
            code = n;
            return true;
        }
        error = "no profile has the code " + t + " (see --list-profiles)";
        return false;
    }
    for (bool exact : {true, false})
        for (int c : AllProfileCodes()) {
            const std::string name = CatalogueProfileName(c);
            if (exact ? name == t : SameText(name, t)) {
                code = c;
                return true;
            }
        }
    error = "no profile is named \"" + t + "\" (see --list-profiles)";
    return false;
}

std::string ProfileListText() {
    std::string out;
    for (const TCatalogueCategory& cat : CatalogueCategories())
        for (size_t slot = 0; slot < cat.Profiles.size(); ++slot) {
            if (cat.Profiles[slot].empty())
                continue;
            out += std::to_string(cat.Number * 100 + static_cast<int>(slot)) + "\t" + cat.Caption + "\t" +
                   cat.Profiles[slot] + "\n";
        }
    return out;
}

bool BuildRunChoices(const IniFile& formatFile, const IniFile& settings, int code,
                     const std::vector<std::pair<std::string, std::string>>& sets,
                     const std::optional<std::string>& zoom, TCliMessages& messages, TProfileValues& values,
                     std::vector<std::string>& warnings, std::string& error) {
    values.clear();
    const std::string section = FormatSectionName(code);
    // What the user stored for the profile, key by key.
    for (const std::string& key : settings.ReadSection(section))
        values.emplace_back(key, settings.ReadString(section, key, ""));

    // The panel collects instead of writing: the defaults of a profile never adjusted, then the
    // values of --set. Later pairs win.
    TParameterPanel panel(formatFile, settings, messages, TWritePolicy::wpCollect);
    panel.LoadProfile(std::to_string(code));
    messages.Take();
    messages.TakeBeeps();
    for (const auto& [key, value] : sets)
        if (!ApplySet(panel, key, value, messages, warnings, error))
            return false;
    values.insert(values.end(), panel.Collected().begin(), panel.Collected().end());
    if (zoom)
        values.emplace_back("paraZoom", *zoom);
    return true;
}

} // namespace kavlo::cli
