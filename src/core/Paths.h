#pragma once
#include <string>

namespace kavlo {

// Folder of the running executable, with a trailing "/".
std::string ProgramFolder();
// The user's videos folder + "/videoconverter": default output and snapshot folder.
std::string DefaultOutputDir();
// The settings file: the program folder's copy when one exists there (portable use), else
// $XDG_CONFIG_HOME/kavlo/kavlomovmp4converter.ini.
std::string DefaultSettingsFile();
// The read-only format data: beside the executable, else ../share/kavlo/ of its prefix.
std::string DefaultDataFile(const std::string& name);
// $XDG_CACHE_HOME/kavlo/ with a trailing "/".
std::string CacheFolder();

} // namespace kavlo
