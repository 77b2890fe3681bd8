#include "core/Paths.h"

#include "core/TextUtils.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kavlo {

namespace fs = std::filesystem;

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string Home() {
    std::string h = Env("HOME");
    return h.empty() ? std::string("/tmp") : h;
}

std::string XdgDir(const char* var, const char* fallback) {
    std::string v = Env(var);
    if (!v.empty() && v[0] == '/')
        return v;
    return Home() + "/" + fallback;
}

// XDG_VIDEOS_DIR from user-dirs.dirs ("$HOME/Videos" form), else ~/Videos.
std::string VideosFolder() {
    std::ifstream in(XdgDir("XDG_CONFIG_HOME", ".config") + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.rfind("XDG_VIDEOS_DIR=", 0) != 0)
            continue;
        std::string v = line.substr(15);
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
            v = v.substr(1, v.size() - 2);
        if (v.rfind("$HOME", 0) == 0)
            v = Home() + v.substr(5);
        if (!v.empty() && v[0] == '/')
            return v;
    }
    return Home() + "/Videos";
}

} // namespace

std::string ProgramFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "./";
    std::string dir = exe.parent_path().string();
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

std::string DefaultOutputDir() { return VideosFolder() + "/videoconverter"; }

std::string DefaultSettingsFile() {
    std::string local = ProgramFolder() + "kavlomovmp4converter.ini";
    std::error_code ec;
    if (fs::is_regular_file(local, ec))
        return local;
    return XdgDir("XDG_CONFIG_HOME", ".config") + "/kavlo/kavlomovmp4converter.ini";
}

std::string DefaultDataFile(const std::string& name) {
    std::string beside = ProgramFolder() + name;
    std::error_code ec;
    if (fs::exists(beside, ec))
        return beside;
    std::string shared = ProgramFolder() + "../share/kavlo/" + name;
    if (fs::exists(shared, ec))
        return fs::weakly_canonical(shared, ec).string();
    return beside;
}

std::string CacheFolder() { return XdgDir("XDG_CACHE_HOME", ".cache") + "/kavlo/"; }

} // namespace kavlo
