#pragma once
#include <string>
#include <vector>

namespace kavlo {

// Windows-style settings file. Section and key names match without regard to case. Every call
// opens the file, reads or writes what it needs and closes it again: nothing is cached, so two
// objects (or two processes) on one file always see each other's writes. A missing or unreadable
// file reads as empty; a write keeps every other section, key, comment and blank line as it was.
class IniFile {
public:
    explicit IniFile(std::string path) : path_(std::move(path)) {}

    const std::string& FileName() const { return path_; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // The default when the key is missing or its value is not a whole number.
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    // "0" is false, any other whole number true; anything else gives the default.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    // Key names of a section in file order.
    std::vector<std::string> ReadSection(const std::string& section) const;
    std::vector<std::string> ReadSections() const;

    // Writes return false when the file cannot be written; callers that must not report it
    // simply ignore the result.
    bool WriteString(const std::string& section, const std::string& key, const std::string& value) const;
    bool WriteInteger(const std::string& section, const std::string& key, int value) const;
    bool WriteBool(const std::string& section, const std::string& key, bool value) const;
    // Several keys of one section in one open-write-close.
    bool WriteValues(const std::string& section,
                     const std::vector<std::pair<std::string, std::string>>& values) const;
    bool DeleteKey(const std::string& section, const std::string& key) const;
    bool EraseSection(const std::string& section) const;

private:
    std::string path_;
};

} // namespace kavlo
