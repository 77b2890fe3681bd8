#pragma once
#include <string>
#include <vector>

namespace kavlo {

// A named encoder preset: lines of the form name=value separated by line feeds.
struct TBuiltinPreset {
    const char* Name;
    const char* Text;
};

// The 40 presets the engine knows without a file, in table order.
const std::vector<TBuiltinPreset>& BuiltinPresets();
// The text of the built-in preset of that name (compared without regard to case); null when
// there is none.
const char* FindBuiltinPreset(const std::string& name);

} // namespace kavlo
