#pragma once
#include <string>
#include <utility>
#include <vector>

#include "core/IniFile.h"

namespace kavlo {

// Key/value pairs of one profile section, in write order.
using TProfileValues = std::vector<std::pair<std::string, std::string>>;

// The user's choices for one profile as the job option builder reads them: either the settings
// file's section "formatInfo" + code (read afresh on every call), or values held in memory (a
// profile's defaults, for a program that must not write the user's settings). Keys match
// without regard to case; in memory the last pair of a key wins.
class TProfileSettings {
public:
    TProfileSettings(const IniFile& settings, std::string section);
    explicit TProfileSettings(TProfileValues values);

    std::string ReadString(const std::string& key, const std::string& def) const;

private:
    const IniFile* settings_ = nullptr;
    std::string section_;
    TProfileValues values_;
};

} // namespace kavlo
