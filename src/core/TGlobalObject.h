#pragma once
#include <string>

namespace kavlo {

// The program's file locations, title, version text and links. One instance, created by the
// main window (or a command-line program) and reachable through GlobalObject().
class TGlobalObject {
public:
    TGlobalObject();
    ~TGlobalObject();

    const std::string& HelpUrl() const { return helpUrl_; }
    const std::string& SettingsFile() const { return settingsFile_; }
    const std::string& FormatFile() const { return formatFile_; }
    const std::string& AppTitle() const { return appTitle_; }
    const std::string& VersionText() const { return versionText_; }
    const std::string& DownloadUrl() const { return downloadUrl_; }
    const std::string& WebSiteUrl() const { return webSiteUrl_; }

    // Each keeps the old value when the new one is too short: three characters or fewer for
    // the two file paths, empty for the rest.
    void SetHelpUrl(const std::string& v);
    void SetSettingsFile(const std::string& v);
    void SetFormatFile(const std::string& v);
    void SetAppTitle(const std::string& v);
    void SetVersionText(const std::string& v);
    void SetDownloadUrl(const std::string& v);
    void SetWebSiteUrl(const std::string& v);

    // Sets every field, in the start-up order, to the program's own values.
    void InitDefaults();

private:
    std::string helpUrl_, settingsFile_, formatFile_, appTitle_, versionText_, downloadUrl_, webSiteUrl_;
};

// The one instance, or nullptr outside its lifetime.
TGlobalObject* GlobalObject();

// " major.minorreleasebuild ": version 3.3.0.0 gives " 3.300 ". The single dot matters: the
// text is also compared as a decimal number with the update feed's version.
std::string GetFileVersionText();
std::string FileVersionText(int major, int minor, int release, int build);

inline constexpr const char* kAppTitle = "Kavlo MOV to MP4 Converter";
inline constexpr const char* kInitialVersionText = " ver 1.10 ";
inline constexpr const char* kFormatFileName = "kavlomovmp4format.ini";

} // namespace kavlo
