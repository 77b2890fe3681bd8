#pragma once
#include "engine/ffmpeg/TFFLogger.h"
#include "engine/ffmpeg/TFFmpegLoader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace kavlo::test {

// The probe refuses to work until the converter libraries are loaded.
inline void LoadConverterLibraries() {
    ASSERT_TRUE(FFmpegLoader().Load(kConverterLibraries)) << FFmpegLoader().LastErrMsg();
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

inline int CountLinesStartingWith(const std::string& text, const std::string& start) {
    int n = 0;
    for (const auto& line : Lines(text))
        if (line.rfind(start, 0) == 0)
            ++n;
    return n;
}

// The folder of real media files, or empty when this machine has none.
inline std::string SharedMediaDir() {
    const char* dir = std::getenv("KAVLO_SHARED_MEDIA");
    return dir ? dir : "";
}

// Collects what a given sender logs while it lives.
class LogCapture {
public:
    struct Entry {
        TLogLevel level;
        std::string msg;
    };

    explicit LogCapture(const void* sender) : sender_(sender) {
        oldTrigger_ = FFLogger().TriggerEventInMainThread();
        FFLogger().SetTriggerEventInMainThread(false);
        FFLogger().SetOnLog([this](void* s, uint32_t, TLogLevel level, const std::string& msg) {
            if (s != sender_)
                return;
            std::lock_guard<std::mutex> lock(lock_);
            entries_.push_back({level, msg});
        });
    }
    ~LogCapture() {
        FFLogger().SetOnLog(nullptr);
        FFLogger().SetTriggerEventInMainThread(oldTrigger_);
    }
    std::vector<Entry> Take() {
        std::lock_guard<std::mutex> lock(lock_);
        return std::move(entries_);
    }

private:
    const void* sender_;
    bool oldTrigger_ = true;
    std::mutex lock_;
    std::vector<Entry> entries_;
};

} // namespace kavlo::test
