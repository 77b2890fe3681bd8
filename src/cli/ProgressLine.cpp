#include "cli/ProgressLine.h"

#include "engine/ffmpeg/FFUtils.h"

#include <algorithm>
#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kavlo::cli {

namespace {

std::string Clock(double seconds) {
    if (seconds < 0 || !std::isfinite(seconds))
        return "--:--:--";
    const long long s = static_cast<long long>(seconds + 0.5);
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

} // namespace

int ProgressPercent(const TFileProgress& p) {
    if (p.ExpectedUs <= 0)
        return -1;
    const int64_t pct = std::max<int64_t>(p.CurrentUs, 0) * 100 / p.ExpectedUs;
    return static_cast<int>(std::min<int64_t>(pct, 100));
}

double ProgressSpeed(const TFileProgress& p) {
    if (p.ElapsedSec <= 0.05 || p.CurrentUs <= 0)
        return 0;
    return static_cast<double>(p.CurrentUs) / 1e6 / p.ElapsedSec;
}

double ProgressEtaSeconds(const TFileProgress& p) {
    const double speed = ProgressSpeed(p);
    if (p.ExpectedUs <= 0 || speed <= 0)
        return -1;
    return std::max(0.0, static_cast<double>(p.ExpectedUs - p.CurrentUs) / 1e6 / speed);
}

std::string FormatProgressLine(const std::string& label, const TFileProgress& p) {
    const int pct = ProgressPercent(p);
    char percent[16];
    if (pct < 0)
        std::snprintf(percent, sizeof(percent), "  ?%%");
    else
        std::snprintf(percent, sizeof(percent), "%3d%%", pct);
    std::string line = label + "  " + percent;
    line += "  " + Clock(static_cast<double>(p.CurrentUs) / 1e6) + " / " +
            (p.ExpectedUs > 0 ? Clock(static_cast<double>(p.ExpectedUs) / 1e6) : std::string("--:--:--"));
    line += "  " + FormatFileSize(p.Bytes);
    char speed[32];
    std::snprintf(speed, sizeof(speed), "%.2fx", ProgressSpeed(p));
    line += std::string("  ") + speed;
    line += "  ETA " + Clock(ProgressEtaSeconds(p));
    return line;
}

TProgressDisplay::TProgressDisplay(FILE* stream, bool terminal, bool enabled)
    : stream_(stream), terminal_(terminal), enabled_(enabled) {}

TProgressDisplay::~TProgressDisplay() {
    if (terminal_ && enabled_)
        Erase();
}

int TProgressDisplay::Width() const {
    struct winsize ws {};
    if (::ioctl(::fileno(stream_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 10)
        return ws.ws_col;
    return 80;
}

void TProgressDisplay::Erase() {
    if (drawn_ > 0) {
        // Up to the first live line, then clear to the end of the screen.
        std::fprintf(stream_, "\x1b[%dF\x1b[J", drawn_);
        drawn_ = 0;
    }
}

void TProgressDisplay::Draw() {
    // A line wider than the terminal would wrap and spoil the count of lines to go back over.
    const size_t width = static_cast<size_t>(Width() - 1);
    for (const auto& [key, line] : lines_) {
        std::fprintf(stream_, "%s\x1b[K\n", line.substr(0, width).c_str());
        ++drawn_;
    }
    std::fflush(stream_);
}

void TProgressDisplay::Update(int key, const std::string& label, const TFileProgress& progress) {
    if (!enabled_)
        return;
    const std::string line = FormatProgressLine(label, progress);
    if (terminal_) {
        lines_[key] = line;
        Erase();
        Draw();
        return;
    }
    const int pct = ProgressPercent(progress);
    const int tenth = pct < 0 ? 0 : pct / 10;
    auto it = lastTenth_.find(key);
    if (it != lastTenth_.end() && it->second >= tenth)
        return;
    lastTenth_[key] = tenth;
    std::fprintf(stream_, "%s\n", line.c_str());
    std::fflush(stream_);
}

void TProgressDisplay::Remove(int key) {
    lastTenth_.erase(key);
    if (lines_.erase(key) && terminal_ && enabled_) {
        Erase();
        Draw();
    }
}

void TProgressDisplay::Print(FILE* out, const std::string& line) {
    if (terminal_ && enabled_)
        Erase();
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
    if (terminal_ && enabled_)
        Draw();
}

} // namespace kavlo::cli
