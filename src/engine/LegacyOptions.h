#pragma once
#include <string>
#include <vector>

namespace kavlo {

// One option as the installed libraries spell it.
struct TOptionSetting {
    std::string Name;
    std::string Value;
    bool operator==(const TOptionSetting&) const = default;
};

// Translates an option of the older library generation that the presets, targets and profiles
// use into the settings the installed libraries understand:
// - flags of "flags" and "flags2" that moved into encoder options (+dct8x8 -> 8x8dct=1,
//   +wpred -> weightb=1, +bpyramid -> b-pyramid=normal, +scan_offset -> scan_offset=1, ...);
//   the flags that still exist stay in "flags" / "flags2";
// - renamed options (directpred -> direct-pred, cqp -> qp, ...);
// - libx264's partitions given as flags (+parti8x8+partp8x8-partb8x8) -> its list form
//   (i8x8,p8x8), "none" when no partition is on.
// Any other option comes back unchanged, as the single setting.
std::vector<TOptionSetting> TranslateLegacyOption(const std::string& name, const std::string& value);

} // namespace kavlo
