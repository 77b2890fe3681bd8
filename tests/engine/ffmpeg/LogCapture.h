#pragma once
#include "engine/ffmpeg/TFFLogger.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace kavlo::test {

// Routes the logger's deliveries into a list for the duration of a test and puts the logger
// back the way tests expect it afterwards.
class LogCapture : public ::testing::Test {
public:
    struct Line {
        void* sender;
        uint32_t threadId;
        TLogLevel level;
        std::string msg;
    };

protected:
    void SetUp() override {
        logger_ = &FFLogger();
        logger_->SetLogLevel(llInfo);
        logger_->InstallLogCallback();
        logger_->SetTriggerEventInMainThread(false);
        logger_->SetOnLog([this](void* sender, uint32_t tid, TLogLevel level, const std::string& msg) {
            std::lock_guard<std::mutex> lock(linesLock_);
            lines_.push_back({sender, tid, level, msg});
        });
    }
    void TearDown() override {
        logger_->SetOnLog(nullptr);
        logger_->SetTriggerEventInMainThread(true);
        logger_->SetLogLevel(llInfo);
    }
    std::vector<Line> Lines() {
        std::lock_guard<std::mutex> lock(linesLock_);
        return lines_;
    }
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const Line& l : Lines())
            out.push_back(l.msg);
        return out;
    }
    void ClearLines() {
        std::lock_guard<std::mutex> lock(linesLock_);
        lines_.clear();
    }

    TFFLogger* logger_ = nullptr;

private:
    std::mutex linesLock_;
    std::vector<Line> lines_;
};

} // namespace kavlo::test
