#pragma once
#include <optional>
#include <string>
#include <vector>

namespace kavlo {

// Messages of the parameter boxes.
inline constexpr const char* kMsgEnterNumerical = "Please enter numerical.";
inline constexpr const char* kMsgFrameSizeInvalid = "Frame Size is not a valid value!";
inline constexpr const char* kMsgFrameSizeEven = "Frame Size must be a multiple of 2.\nThe correct value:";
inline constexpr const char* kCaptionInputError = "Input Error!";
inline constexpr const char* kMsgVideoBitRateInvalid = "Video BitRate is not a valid value!";
inline constexpr const char* kMsgSampleRateInvalid = "Audio SampleRate is not a valid value!";
inline constexpr const char* kMsgAudioBitRateInvalid = "Audio BitRate is not a valid value!";

inline constexpr const char* kAsSource = "as source";
inline constexpr char kBackspace = '\b';

// The value written for a video encoder's display name (compared lower-cased); nothing for a
// name outside the map.
std::optional<std::string> VideoEncoderParam(const std::string& displayName);
std::optional<std::string> AudioEncoderParam(const std::string& displayName);
// "as source", "mono 1 channel", "stereo 2 channels" -> "as source", "1", "2".
std::optional<std::string> ChannelParam(const std::string& item);
// "150%" -> "384": the engine's volume for a percentage (256 = unchanged).
std::optional<std::string> VolumeParam(const std::string& item);

// The zoom modes by item index of the zoom box ("full", "lbox", "pan", "center"); -1 for an
// unknown mode.
std::string ZoomModeName(int index);
int ZoomModeIndex(const std::string& mode);

// Splits a list value of the format file: items end at each ",", nothing is trimmed, a trailing
// comma gives an empty last item.
std::vector<std::string> SplitList(const std::string& value);

// Typed-key filters. A digit box takes digits and backspace only. The frame-size box checks the
// key against every character already typed (digits, backspace and "x" pass next to a non-"x",
// only digits and backspace next to the "x"); the result is the number of failed checks, 0 when
// the key is taken.
bool DigitKeyAccepted(char key);
int FrameSizeKeyFailures(const std::string& boxText, char key);

// Frame size text as typed: width and height split at the last "x", both whole numbers.
bool ParseTypedFrameSize(const std::string& text, int& width, int& height);
// Both even and non-zero: unchanged, false. Otherwise each is made even by dropping its lowest
// bit toward zero (7 -> 6, -3 -> -2) and a 0 becomes 2; true.
bool MakeEvenFrameSize(int& width, int& height);

} // namespace kavlo
