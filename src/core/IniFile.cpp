#include "core/IniFile.h"

#include "core/TextUtils.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace kavlo {

namespace {

// Read-modify-write of one file must not interleave between threads of this process.
std::mutex& FileMutex() {
    static std::mutex m;
    return m;
}

std::vector<std::string> LoadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    // A UTF-8 byte order mark is not part of the first section name.
    if (!lines.empty() && lines[0].rfind("\xEF\xBB\xBF", 0) == 0)
        lines[0].erase(0, 3);
    return lines;
}

bool SaveLines(const std::string& path, const std::vector<std::string>& lines) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path(), ec);
    // Written beside the file and renamed over it, so a crash or a full disk never leaves
    // a half-written settings file behind.
    std::string tmp = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        for (const auto& l : lines)
            out << l << '\n';
        out.flush();
        if (!out) {
            out.close();
            fs::remove(tmp, ec);
            return false;
        }
    }
    fs::rename(tmp, path, ec);
    if (ec) {
        fs::remove(tmp, ec);
        return false;
    }
    return true;
}

bool IsComment(const std::string& t) { return !t.empty() && (t[0] == ';' || t[0] == '#'); }

// Section name when the line is a section header.
bool SectionOf(const std::string& line, std::string& name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[')
        return false;
    auto close = t.find(']');
    if (close == std::string::npos)
        return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// Key and value when the line is a key line.
bool KeyOf(const std::string& line, std::string& key, std::string& value) {
    std::string t = Trim(line);
    if (t.empty() || IsComment(t) || t[0] == '[')
        return false;
    auto eq = t.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return !key.empty();
}

struct Found {
    int sectionLine = -1; // header line of the section
    int sectionEnd = -1;  // one past the last key line of the section
    int keyLine = -1;
    std::string value;
};

Found Find(const std::vector<std::string>& lines, const std::string& section, const std::string& key) {
    Found f;
    bool in = false;
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
        std::string name, k, v;
        if (SectionOf(lines[i], name)) {
            if (in)
                break; // the first section of that name wins, as Windows reads it
            in = SameText(name, section);
            if (in) {
                f.sectionLine = i;
                f.sectionEnd = i + 1;
            }
            continue;
        }
        if (!in)
            continue;
        if (KeyOf(lines[i], k, v)) {
            f.sectionEnd = i + 1;
            if (f.keyLine < 0 && !key.empty() && SameText(k, key)) {
                f.keyLine = i;
                f.value = v;
            }
        }
    }
    return f;
}

void SetValue(std::vector<std::string>& lines, const std::string& section, const std::string& key,
              const std::string& value) {
    Found f = Find(lines, section, key);
    std::string line = key + "=" + value;
    if (f.keyLine >= 0) {
        lines[f.keyLine] = line;
    } else if (f.sectionLine >= 0) {
        lines.insert(lines.begin() + f.sectionEnd, line);
    } else {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.push_back("");
        lines.push_back("[" + section + "]");
        lines.push_back(line);
    }
}

} // namespace

std::string IniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    std::lock_guard<std::mutex> lock(FileMutex());
    Found f = Find(LoadLines(path_), section, key);
    return f.keyLine >= 0 ? f.value : def;
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
    int v;
    std::string s = ReadString(section, key, "");
    return TryParseInt(s, v) ? v : def;
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool IniFile::SectionExists(const std::string& section) const {
    std::lock_guard<std::mutex> lock(FileMutex());
    return Find(LoadLines(path_), section, "").sectionLine >= 0;
}

bool IniFile::ValueExists(const std::string& section, const std::string& key) const {
    std::lock_guard<std::mutex> lock(FileMutex());
    return Find(LoadLines(path_), section, key).keyLine >= 0;
}

std::vector<std::string> IniFile::ReadSection(const std::string& section) const {
    std::lock_guard<std::mutex> lock(FileMutex());
    auto lines = LoadLines(path_);
    Found f = Find(lines, section, "");
    std::vector<std::string> keys;
    if (f.sectionLine < 0)
        return keys;
    for (int i = f.sectionLine + 1; i < f.sectionEnd; ++i) {
        std::string k, v;
        if (KeyOf(lines[i], k, v))
            keys.push_back(k);
    }
    return keys;
}

std::vector<std::string> IniFile::ReadSections() const {
    std::lock_guard<std::mutex> lock(FileMutex());
    std::vector<std::string> names;
    for (const auto& l : LoadLines(path_)) {
        std::string n;
        if (SectionOf(l, n))
            names.push_back(n);
    }
    return names;
}

bool IniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) const {
    return WriteValues(section, {{key, value}});
}

bool IniFile::WriteInteger(const std::string& section, const std::string& key, int value) const {
    return WriteString(section, key, std::to_string(value));
}

bool IniFile::WriteBool(const std::string& section, const std::string& key, bool value) const {
    return WriteString(section, key, value ? "1" : "0");
}

bool IniFile::WriteValues(const std::string& section,
                          const std::vector<std::pair<std::string, std::string>>& values) const {
    std::lock_guard<std::mutex> lock(FileMutex());
    auto lines = LoadLines(path_);
    for (const auto& [k, v] : values) {
        // A line break inside a value would start a new key on the next read.
        std::string clean = v;
        for (char& c : clean)
            if (c == '\n' || c == '\r')
                c = ' ';
        SetValue(lines, section, k, clean);
    }
    return SaveLines(path_, lines);
}

bool IniFile::DeleteKey(const std::string& section, const std::string& key) const {
    std::lock_guard<std::mutex> lock(FileMutex());
    auto lines = LoadLines(path_);
    Found f = Find(lines, section, key);
    if (f.keyLine < 0)
        return true;
    lines.erase(lines.begin() + f.keyLine);
    return SaveLines(path_, lines);
}

bool IniFile::EraseSection(const std::string& section) const {
    std::lock_guard<std::mutex> lock(FileMutex());
    auto lines = LoadLines(path_);
    Found f = Find(lines, section, "");
    if (f.sectionLine < 0)
        return true;
    // The section runs up to the next header; comments inside it go with it.
    size_t end = f.sectionLine + 1;
    std::string n;
    while (end < lines.size() && !SectionOf(lines[end], n))
        ++end;
    lines.erase(lines.begin() + f.sectionLine, lines.begin() + end);
    return SaveLines(path_, lines);
}

} // namespace kavlo
