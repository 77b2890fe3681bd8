#include "core/TGlobalObject.h"

#include "core/Paths.h"
#include "core/Version.h"

namespace kavlo {

namespace {
TGlobalObject* gInstance = nullptr;
}

TGlobalObject::TGlobalObject() {
    if (!gInstance)
        gInstance = this;
}

TGlobalObject::~TGlobalObject() {
    if (gInstance == this)
        gInstance = nullptr;
}

TGlobalObject* GlobalObject() { return gInstance; }

void TGlobalObject::SetHelpUrl(const std::string& v) {
    if (!v.empty())
        helpUrl_ = v;
}
void TGlobalObject::SetSettingsFile(const std::string& v) {
    if (v.size() > 3)
        settingsFile_ = v;
}
void TGlobalObject::SetFormatFile(const std::string& v) {
    if (v.size() > 3)
        formatFile_ = v;
}
void TGlobalObject::SetAppTitle(const std::string& v) {
    if (!v.empty())
        appTitle_ = v;
}
void TGlobalObject::SetVersionText(const std::string& v) {
    if (!v.empty())
        versionText_ = v;
}
void TGlobalObject::SetDownloadUrl(const std::string& v) {
    if (!v.empty())
        downloadUrl_ = v;
}
void TGlobalObject::SetWebSiteUrl(const std::string& v) {
    if (!v.empty())
        webSiteUrl_ = v;
}

void TGlobalObject::InitDefaults() {
    SetSettingsFile(DefaultSettingsFile());
    SetFormatFile(DefaultDataFile(kFormatFileName));
    SetAppTitle(kAppTitle);
    SetVersionText(kInitialVersionText);
    SetWebSiteUrl("https://kavlo.example.org/");
    SetHelpUrl("https://kavlo.example.org/help/");
    SetDownloadUrl("https://kavlo.example.org/download/kavlo-setup.tar.gz");
}

std::string FileVersionText(int major, int minor, int release, int build) {
    return " " + std::to_string(major) + "." + std::to_string(minor) + std::to_string(release) +
           std::to_string(build) + " ";
}

std::string GetFileVersionText() {
    return FileVersionText(kVersionMajor, kVersionMinor, kVersionRelease, kVersionBuild);
}

} // namespace kavlo
