#pragma once
#include <array>
#include <string>
#include <vector>

namespace kavlo {

// One category of the profile catalogue: its number (display order), caption and the display
// names of its profiles in slot order. A profile's code is number * 100 + slot.
struct TCatalogueCategory {
    int Number;
    std::string Caption;
    std::vector<std::string> Profiles;
};

// The 28 categories with every profile, in display order.
const std::vector<TCatalogueCategory>& CatalogueCategories();
inline constexpr int kCategoryCount = 28;

// Display name of a profile code; empty when the code names no profile.
std::string CatalogueProfileName(int code);
// Every profile code of the catalogue in display order.
std::vector<int> AllProfileCodes();
// "formatInfo" + code: the section of a profile in both the format file and the settings file.
std::string FormatSectionName(int code);
std::string FormatSectionName(const std::string& code);

// The names of the hidden flat format list kept for the "OutPutFormat" setting.
const std::vector<std::string>& LegacyFormatNames();

// The names table the pick list is built from: category x slot, empty = no profile there.
class ProfileNames {
public:
    static constexpr int kSize = 51;

    void Clear();
    // Copies the catalogue's names of one category into its row.
    void StoreCategory(const TCatalogueCategory& category);
    // Empty for an empty entry or indexes outside the table.
    const std::string& Name(int category, int slot) const;

private:
    std::array<std::array<std::string, kSize>, kSize> names_;
};

} // namespace kavlo
