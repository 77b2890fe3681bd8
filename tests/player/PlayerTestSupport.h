#pragma once
// A video surface that records what the player shows, an event recorder, and waits that keep the
// main thread serving the player's events.

#include "core/Dispatcher.h"
#include "player/TFFPlayer.h"
#include "player/TVideoSurface.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kavlo::test {

// Waits up to timeout for pred, running the calls the player's threads send to the main thread.
inline bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        CurrentDispatcher().WaitAndProcess(std::chrono::milliseconds(5));
    }
    return true;
}

inline void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

// Threads of this process right now.
inline int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

struct ShownPicture {
    TVideoPicture::TFormat format;
    int width, height;
    int64_t pts;
    double aspectRatio;
    int displayWidth, displayHeight;
    double meanLuma; // of the Y plane, or of the BGR bytes
    std::string subtitle;
    int64_t audioClock;        // the player's audio clock when the picture was shown
    std::vector<uint8_t> y;    // a copy of the Y plane (or the BGR rows), width * height (* 3)
    std::vector<uint8_t> u, v; // the chroma planes of a YUV picture
};

class RecordingSurface : public TVideoSurface {
public:
    explicit RecordingSurface(TCustomPlayer* clockSource = nullptr) : player(clockSource) {}

    void ShowPicture(const TVideoPicture& p) override {
        ShownPicture s{p.format,
                       p.width,
                       p.height,
                       p.pts,
                       p.aspectRatio,
                       p.displayWidth,
                       p.displayHeight,
                       0,
                       p.subtitleText,
                       INT64_MIN,
                       {},
                       {},
                       {}};
        const int bpp = p.format == TVideoPicture::pfBGR24 ? 3 : 1;
        const int rowBytes = p.width * bpp;
        uint64_t sum = 0;
        for (int y = 0; y < p.height; ++y) {
            const uint8_t* row = p.data[0] + static_cast<ptrdiff_t>(y) * p.linesize[0];
            for (int x = 0; x < rowBytes; ++x)
                sum += row[x];
            if (keepPixels)
                s.y.insert(s.y.end(), row, row + rowBytes);
        }
        if (keepPixels && p.format == TVideoPicture::pfYUV420P) {
            const int cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
            for (int plane = 1; plane < 3; ++plane)
                for (int y = 0; y < ch; ++y) {
                    const uint8_t* row = p.data[plane] + static_cast<ptrdiff_t>(y) * p.linesize[plane];
                    (plane == 1 ? s.u : s.v).insert((plane == 1 ? s.u : s.v).end(), row, row + cw);
                }
        }
        s.meanLuma = rowBytes > 0 && p.height > 0 ? static_cast<double>(sum) / (rowBytes * p.height) : 0;
        TCustomPlayer::TPlayerClocks clocks{};
        if (player && player->GetClocks(clocks))
            s.audioClock = clocks.audio;
        std::lock_guard<std::mutex> lock(mutex_);
        pictures_.push_back(std::move(s));
    }

    void ShowVisualization(const Bitmap24& image) override {
        int lit = 0;
        for (int y = 0; y < image.Height(); ++y) {
            const uint8_t* row = image.ScanLine(y);
            for (int x = 0; x < image.Width(); ++x)
                if (row[x * 3] == 255 && row[x * 3 + 1] == 255 && row[x * 3 + 2] == 255)
                    ++lit;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++visualizations_;
        visualWidth_ = image.Width();
        visualHeight_ = image.Height();
        maxLit_ = std::max(maxLit_, lit);
    }

    void Clear() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++clears_;
    }

    void ClientSize(int& width, int& height) const override {
        width = clientWidth;
        height = clientHeight;
    }

    std::vector<ShownPicture> Pictures() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return pictures_;
    }
    size_t PictureCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return pictures_.size();
    }
    bool LastPicture(ShownPicture& out) const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pictures_.empty())
            return false;
        out = pictures_.back();
        return true;
    }
    int Visualizations() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return visualizations_;
    }
    int MaxLitPixels() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return maxLit_;
    }
    void VisualSize(int& w, int& h) const {
        std::lock_guard<std::mutex> lock(mutex_);
        w = visualWidth_;
        h = visualHeight_;
    }

    int clientWidth = 0;
    int clientHeight = 0;
    // Read the player's audio clock at every picture.
    TCustomPlayer* player;
    // Keep a copy of every picture's first plane.
    bool keepPixels = false;

private:
    mutable std::mutex mutex_;
    std::vector<ShownPicture> pictures_;
    int visualizations_ = 0;
    int visualWidth_ = 0, visualHeight_ = 0;
    int maxLit_ = 0;
    int clears_ = 0;
};

// Stops the player when a test leaves, also through a failed assertion, so that handlers that
// refer to the test's locals are never called after those are gone. Declare it after them.
struct StopOnExit {
    TCustomPlayer& player;
    ~StopOnExit() { player.Stop(true); }
};

// What the player's events delivered, in order (they arrive in the main thread).
struct EventLog {
    struct Opened {
        int64_t duration = -2;
        int frameWidth = 0, frameHeight = 0;
    } opened;
    std::vector<TPlayState> states;
    std::vector<int64_t> positions;
    std::vector<std::chrono::steady_clock::time_point> positionTimes;
    int screenWidthToSet = 0, screenHeightToSet = 0;

    void Attach(TFFPlayer& player) {
        player.SetOnFileOpen([this](TCustomPlayer*, int64_t d, int fw, int fh, int& sw, int& sh) {
            opened = {d, fw, fh};
            if (screenWidthToSet || screenHeightToSet) {
                sw = screenWidthToSet;
                sh = screenHeightToSet;
            }
        });
        player.SetOnState([this](TCustomPlayer*, TPlayState s) { states.push_back(s); });
        player.SetOnPosition([this](TCustomPlayer*, int64_t p) {
            positions.push_back(p);
            positionTimes.push_back(std::chrono::steady_clock::now());
        });
    }
    bool Has(TPlayState s) const { return std::find(states.begin(), states.end(), s) != states.end(); }
};

} // namespace kavlo::test
