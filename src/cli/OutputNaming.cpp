#include "cli/OutputNaming.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

#include "core/IniFile.h"
#include "core/Settings.h"
#include "profiles/IUserMessages.h"
#include "profiles/JobOptionBuilder.h"

namespace kavlo::cli {

namespace fs = std::filesystem;

bool EnsureOutputFolder(const std::string& folder, std::string& error) {
    std::error_code ec;
    if (!folder.empty() && fs::is_directory(folder, ec))
        return true;
    if (!folder.empty())
        fs::create_directories(folder, ec);
    if (!folder.empty() && fs::is_directory(folder, ec))
        return true;
    error = "Cannot create output directory:" + folder + (ec ? " (" + ec.message() + ")" : std::string());
    return false;
}

std::string OutputFileNameIn(const std::string& folder, const std::string& sourcePath,
                             const std::string& suffix) {
    // The naming rule reads its folder from a settings file; hand it one that holds only this
    // run's folder, so the user's settings are neither read for it nor written.
    static const struct PrivateSettings {
        std::string dir;
        std::string file;
        PrivateSettings() {
            std::string tmpl = (fs::temp_directory_path() / "kavlo-convert-XXXXXX").string();
            if (::mkdtemp(tmpl.data()))
                dir = tmpl;
            file = dir + "/naming.ini";
        }
        ~PrivateSettings() {
            std::error_code ec;
            if (!dir.empty())
                fs::remove_all(dir, ec);
        }
    } privateSettings;
    if (privateSettings.dir.empty())
        throw std::runtime_error(std::string("Cannot create a temporary folder: ") + std::strerror(errno));
    const IniFile ini(privateSettings.file);
    ini.WriteString(settings::kSection, settings::kOutPutDir, folder);
    TSilentMessages silent;
    return MakeOutputFileName(sourcePath, suffix, ini, silent);
}

} // namespace kavlo::cli
