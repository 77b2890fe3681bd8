#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

#include "core/IniFile.h"
#include "core/TlvFilesRecord.h"
#include "engine/TInputOptions.h"
#include "engine/TOutputOptions.h"
#include "profiles/IUserMessages.h"
#include "profiles/TProfileSettings.h"
#include "profiles/TSourceVideo.h"

namespace kavlo {

// A setting that must be a whole number is not one (the platform's conversion error).
class TConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kMsgVideoSizeQuestion = "Error output Video Size.Use the default size 320x240?";
inline constexpr const char* kCaptionWarning = "Warning";

// Fills the engine's option records of one job from the profile (its format-file section and
// the user's choices), the file's record (crop and zoom mode) and the source facts: target,
// codecs, preset, bit rates, frame rate, container, frame size with the zoom mode's crop, pad
// and scale filters, and the audio settings. `output` comes in reset to the engine's defaults.
// May ask one question (an unusable frame size). Throws TConvertError for a "paraVolume" that is
// not a whole number.
void BuildJobOptions(const TlvFilesRecord& record, int code, TOutputOptions& output,
                     const TSourceVideo& source, TInputOptions& input, const IniFile& formatFile,
                     const TProfileSettings& settings, IUserMessages& messages);

// The output path for a source: the output folder ("OutPutDir" of the settings, created when
// missing; the default folder, with a message, when it cannot be), the source's name without
// its extension, "_(new)" or "_(new_N)", and the suffix ("." + the profile's "FileExt"). Never
// names a file that exists.
std::string MakeOutputFileName(const std::string& sourcePath, const std::string& suffix,
                               const IniFile& settings, IUserMessages& messages);

// Geometry helpers of the zoom modes: rounding to the nearest integer with halves to even
// (non-finite values give 0), the even value toward zero, and the even half toward zero.
int64_t RoundHalfEven(double v);
inline int EvenOf(int v) {
    return 2 * (v / 2);
}
inline int HalfOf(int v) {
    return 2 * (v / 4);
}

} // namespace kavlo
