#include "engine/ProgressReport.h"

#include <cmath>
#include <cstdio>

namespace kavlo {

namespace {
std::string Printf(const char* fmt, auto... args) {
    char buf[1024];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}
} // namespace

int ReportFps(int frameNumber, double secondsElapsed) {
    if (secondsElapsed <= 1.0)
        return 0;
    return static_cast<int>(frameNumber / secondsElapsed + 0.5);
}

std::string FormatReportFramePart(int frameNumber, int fps, float quality, bool lastReport) {
    std::string s = Printf("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, static_cast<double>(quality));
    if (lastReport)
        s += "L";
    return s;
}

std::string FormatQpHistogram(const std::array<int, 52>& counts) {
    std::string s;
    for (int j = 0; j < 32; ++j)
        s += Printf("%X", static_cast<int>(std::lround(std::log2(counts[j] + 1.0))));
    return s;
}

double ReportBitrate(int64_t totalSize, double reportTime) {
    return static_cast<double>(totalSize) * 8.0 / reportTime / 1000.0;
}

std::string FormatReportSizePart(int64_t totalSize, double reportTime, int duplicated, int dropped) {
    std::string s =
        Printf("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", static_cast<double>(totalSize) / 1024.0,
               reportTime, ReportBitrate(totalSize, reportTime));
    if (duplicated || dropped)
        s += Printf(" dup=%d drop=%d", duplicated, dropped);
    return s;
}

std::string FormatReportSummary(int64_t totalSize, int64_t videoBytes, int64_t audioBytes,
                                int64_t headerBytes) {
    const double sum = static_cast<double>(videoBytes + audioBytes + headerBytes);
    const double overhead = sum > 0 ? 100.0 * (static_cast<double>(totalSize) - sum) / sum : 0.0;
    return Printf("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                  videoBytes / 1024.0, audioBytes / 1024.0, headerBytes / 1024.0, overhead);
}

} // namespace kavlo
