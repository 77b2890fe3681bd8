#include "profiles/TProfileSettings.h"

#include "core/TextUtils.h"

namespace kavlo {

TProfileSettings::TProfileSettings(const IniFile& settings, std::string section)
    : settings_(&settings), section_(std::move(section)) {}

TProfileSettings::TProfileSettings(TProfileValues values) : values_(std::move(values)) {}

std::string TProfileSettings::ReadString(const std::string& key, const std::string& def) const {
    if (settings_)
        return settings_->ReadString(section_, key, def);
    for (auto it = values_.rbegin(); it != values_.rend(); ++it)
        if (SameText(it->first, key))
            return it->second;
    return def;
}

} // namespace kavlo
