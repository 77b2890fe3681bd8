#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace kavlo {

// Pieces of the progress report line, kept apart from the transcoder so that the text can be
// checked without running a conversion.

// Frames per second since the start: 0 until more than a second has passed.
int ReportFps(int frameNumber, double secondsElapsed);

// "frame=%5d fps=%3d q=%3.1f " and "L" in the last report.
std::string FormatReportFramePart(int frameNumber, int fps, float quality, bool lastReport);

// The quantiser histogram: 32 hex digits, digit j = round(log2(count j + 1)).
std::string FormatQpHistogram(const std::array<int, 52>& counts);

// "size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s" with " dup=%d drop=%d" when either is non-zero.
std::string FormatReportSizePart(int64_t totalSize, double reportTime, int duplicated, int dropped);

// kbit/s of totalSize bytes over reportTime seconds.
double ReportBitrate(int64_t totalSize, double reportTime);

// "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n"
std::string FormatReportSummary(int64_t totalSize, int64_t videoBytes, int64_t audioBytes,
                                int64_t headerBytes);

} // namespace kavlo
