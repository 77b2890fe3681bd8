#pragma once
#include <string>

namespace kavlo::settings {

// Section "settings" of the settings file: every key and its default on read. Every reader
// uses these, so a default lives in one place.
inline constexpr const char* kSection = "settings";

inline constexpr const char* kOutPutDir = "OutPutDir";           // text, DefaultOutputDir()
inline constexpr const char* kOutPutFormat = "OutPutFormat";     // integer
inline constexpr int kOutPutFormatDefault = 0;
inline constexpr const char* kFormatCode = "FormatCode";         // profile code
inline constexpr const char* kFormatCodeFirstShow = "1";         // read as text at first show
inline constexpr int kFormatCodeDefault = 1;                     // when adding files and starting
inline constexpr const char* kFormatName = "FormatName";
inline constexpr const char* kFormatNameFirstShow = "iPod Video MPEG-4";
inline constexpr const char* kFormatNameDefault = "Apple iPod Video MPEG-4 Movie (*.mp4)";
inline constexpr const char* kVolume = "volume";                 // 0..128
inline constexpr int kVolumeDefault = 0;
inline constexpr const char* kMute = "mute";
inline constexpr int kMuteDefault = 0;
inline constexpr const char* kSkinIndex = "skinIndex";           // 0..6
inline constexpr int kSkinIndexStartDefault = 0;
inline constexpr int kSkinIndexMenuDefault = 1;
inline constexpr const char* kPriority = "priority";             // 0 idle, 1 normal, 2 lower, 3 lowest
inline constexpr int kPriorityDefault = 1;
inline constexpr const char* kSnapOutPutDir = "SnapOutPutDir";   // text, DefaultOutputDir()
inline constexpr const char* kSnapFullSize = "snapFullSize";
inline constexpr const char* kSnapSmallSize = "snapSmallSize";
inline constexpr const char* kSnapBmp = "snapBmp";
inline constexpr const char* kSnapJpg = "snapJpg";
inline constexpr int kSnapFlagDefault = 1;
inline constexpr const char* kJpgCmp = "jpgCmp";                 // 1..100
inline constexpr int kJpgCmpDefault = 30;
inline constexpr const char* kFeedUrl = "FeedUrl";
inline constexpr const char* kCheckUpdates = "CheckUpdates";     // 0 turns the update check off
inline constexpr int kCheckUpdatesDefault = 1;

// Collapsed state of the profile categories, and the per-profile section prefix.
inline constexpr const char* kCatalogueSection = "lstformat";
inline constexpr const char* kFormatInfoPrefix = "formatInfo";

} // namespace kavlo::settings
