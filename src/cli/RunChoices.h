#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/CliMessages.h"
#include "core/IniFile.h"
#include "profiles/TProfileSettings.h"

namespace kavlo::cli {

// --profile: a profile code of the catalogue, or a display name (exact first, then without regard
// to case). False with a reason for anything else.
bool ResolveProfile(const std::string& text, int& code, std::string& error);

// Every profile, one line each: code, a tab, the category caption, a tab, the display name.
std::string ProfileListText();

// The choices one run converts with, without writing anything: the profile's section of the
// settings file as stored (or, for a profile never adjusted, its defaults from the format data),
// then each --set KEY=VALUE as if typed into or picked from the panel's box (same checks and
// messages), then the zoom mode. False with the panel's message (or a reason) when a value is
// refused; a corrected value (an odd frame size) is taken with a warning.
bool BuildRunChoices(const IniFile& formatFile, const IniFile& settings, int code,
                     const std::vector<std::pair<std::string, std::string>>& sets,
                     const std::optional<std::string>& zoom, TCliMessages& messages, TProfileValues& values,
                     std::vector<std::string>& warnings, std::string& error);

} // namespace kavlo::cli
