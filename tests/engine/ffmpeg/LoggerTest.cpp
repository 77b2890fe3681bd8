#include "LogCapture.h"

#include "core/Dispatcher.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

namespace kavlo {
namespace {

using test::LogCapture;
using LoggerTest = LogCapture;

// Something the library would log about: a struct that starts with its AVClass.
AVClass TesterClass() {
    AVClass c{};
    c.class_name = "tester";
    c.item_name = av_default_item_name;
    c.version = LIBAVUTIL_VERSION_INT;
    return c;
}
const AVClass kTesterClass = TesterClass();
struct TesterContext {
    const AVClass* cls = &kTesterClass;
};

std::string PrefixOf(const void* ctx) {
    char buf[128];
    std::snprintf(buf, sizeof(buf), "[tester @ %p] ", ctx);
    return buf;
}

TEST_F(LoggerTest, LevelsByNameAndLibraryNumber) {
    const struct {
        const char* text;
        TLogLevel expected;
    } cases[] = {
        {"WARNING", llWarning}, {"quiet", llQuiet}, {"Debug", llDebug}, {"verbose", llVerbose},
        {"20", llError},        {"-3", llPanic},    {"-8", llQuiet},    {"-100", llQuiet},
        {"100", llDebug},       {"0", llPanic},     {"32", llInfo},     {"47", llVerbose},
    };
    for (const auto& c : cases) {
        logger_->SetLogLevel(c.expected == llFatal ? llError : llFatal); // start somewhere else
        logger_->SetLogLevelByName(c.text);
        EXPECT_EQ(logger_->LogLevel(), c.expected) << c.text;
        // The level reaches the library and the callback's filter alike.
        EXPECT_EQ(av_log_get_level(), LogLevelToLibrary(c.expected)) << c.text;
        EXPECT_EQ(TFFLogger::LevelMirror(), LogLevelToLibrary(c.expected)) << c.text;
    }
    EXPECT_EQ(LogLevelToLibrary(llQuiet), AV_LOG_QUIET);
    EXPECT_EQ(LogLevelToLibrary(llDebug), AV_LOG_DEBUG);
}

TEST_F(LoggerTest, LevelNameThatIsNeitherNameNorNumberIsRefused) {
    logger_->SetLogLevel(llWarning);
    for (const char* bad : {"abc", "", "4.5", "warn", "99999999999"}) {
        try {
            logger_->SetLogLevelByName(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "'" + std::string(bad) + "' is not a valid integer value");
        }
        EXPECT_EQ(logger_->LogLevel(), llWarning);
    }
}

TEST_F(LoggerTest, SecondInstanceIsRefused) {
    FFLogger();
    try {
        TFFLogger second;
        FAIL() << "a second logger was created";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
    }
    EXPECT_EQ(&FFLogger(), logger_);
}

TEST_F(LoggerTest, LibraryLinesAreAssembledAndPrefixedOnlyAtLineStart) {
    TesterContext ctx;
    av_log(&ctx, AV_LOG_ERROR, "first %s", "part ");
    EXPECT_TRUE(Lines().empty()) << "a line without its end must wait";
    av_log(&ctx, AV_LOG_ERROR, "half\nsecond");
    av_log(&ctx, AV_LOG_WARNING, " end\n");
    av_log(nullptr, AV_LOG_ERROR, "no context\n");
    av_log(&ctx, AV_LOG_ERROR, "a\n\nb\n");

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0].msg, PrefixOf(&ctx) + "first part half");
    EXPECT_EQ(lines[1].msg, "second end");
    EXPECT_EQ(lines[2].msg, "no context");
    EXPECT_EQ(lines[3].msg, PrefixOf(&ctx) + "a");
    EXPECT_EQ(lines[4].msg, "");
    EXPECT_EQ(lines[5].msg, "b");
    for (const auto& l : lines) {
        EXPECT_EQ(l.sender, logger_);
        EXPECT_EQ(l.threadId, CurrentThreadId());
    }
    EXPECT_EQ(lines[0].level, llError);
    EXPECT_EQ(lines[1].level, llWarning); // the level of the call that ended the line
}

TEST_F(LoggerTest, InterleavedPartialLinesOfTwoThreadsStayApart) {
    // Both threads stay alive throughout so their ids cannot be reused.
    std::mutex m;
    std::condition_variable cv;
    int step = 0;
    auto waitFor = [&](int s) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return step == s; });
    };
    auto advance = [&] {
        std::lock_guard<std::mutex> lock(m);
        ++step;
        cv.notify_all();
    };
    std::atomic<uint32_t> idA{0}, idB{0};
    std::thread a([&] {
        idA = CurrentThreadId();
        waitFor(0);
        av_log(nullptr, AV_LOG_ERROR, "A1 ");
        advance();
        waitFor(2);
        av_log(nullptr, AV_LOG_ERROR, "A2 ");
        advance();
        waitFor(4);
        av_log(nullptr, AV_LOG_ERROR, "A3\n");
        advance();
    });
    std::thread b([&] {
        idB = CurrentThreadId();
        waitFor(1);
        av_log(nullptr, AV_LOG_ERROR, "B1 ");
        advance();
        waitFor(3);
        av_log(nullptr, AV_LOG_ERROR, "B2\nB");
        advance();
        waitFor(5);
        av_log(nullptr, AV_LOG_ERROR, "3\n");
        advance();
    });
    a.join();
    b.join();

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].msg, "B1 B2");
    EXPECT_EQ(lines[0].threadId, idB.load());
    EXPECT_EQ(lines[1].msg, "A1 A2 A3");
    EXPECT_EQ(lines[1].threadId, idA.load());
    EXPECT_EQ(lines[2].msg, "B3");
    EXPECT_EQ(lines[2].threadId, idB.load());
}

TEST_F(LoggerTest, LibraryLinesAboveTheLevelAreDropped) {
    logger_->SetLogLevel(llError);
    av_log(nullptr, AV_LOG_WARNING, "dropped\n");
    av_log(nullptr, AV_LOG_INFO, "dropped too\n");
    av_log(nullptr, AV_LOG_ERROR, "kept\n");
    av_log(nullptr, AV_LOG_PANIC, "panic\n");
    // A colour tint in the upper bits does not change the level.
    av_log(nullptr, AV_LOG_WARNING | AV_LOG_C(134), "tinted dropped\n");
    av_log(nullptr, AV_LOG_ERROR | AV_LOG_C(134), "tinted kept\n");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].msg, "kept");
    EXPECT_EQ(lines[0].level, llError);
    EXPECT_EQ(lines[1].level, llPanic);
    EXPECT_EQ(lines[2].msg, "tinted kept");
    EXPECT_EQ(lines[2].level, llError);
}

TEST_F(LoggerTest, OwnMessagesFollowTheDeliveryRules) {
    const struct {
        TLogLevel loggerLevel;
        TLogLevel msgLevel;
        bool delivered;
    } cases[] = {
        {llError, llVerbose, true}, {llQuiet, llVerbose, false}, {llQuiet, llQuiet, true},
        {llQuiet, llPanic, false},  {llError, llWarning, false}, {llError, llError, true},
        {llError, llFatal, true},   {llInfo, llDebug, false},    {llDebug, llDebug, true},
    };
    int sender = 0;
    for (const auto& c : cases) {
        ClearLines();
        logger_->SetLogLevel(c.loggerLevel);
        logger_->Log(&sender, c.msgLevel, "message");
        const auto lines = Lines();
        ASSERT_EQ(lines.size(), c.delivered ? 1u : 0u)
            << LogLevelName(c.msgLevel) << " at " << LogLevelName(c.loggerLevel);
        if (c.delivered) {
            EXPECT_EQ(lines[0].sender, &sender);
            EXPECT_EQ(lines[0].level, c.msgLevel);
            EXPECT_EQ(lines[0].threadId, CurrentThreadId());
        }
    }
    ClearLines();
    logger_->SetLogLevel(llInfo);
    const std::string longArg(3000, 'y');
    logger_->LogFmt(nullptr, llInfo, "%s=%d %s", "frames", 42, longArg.c_str());
    ASSERT_EQ(Messages(), std::vector<std::string>{"frames=42 " + longArg});
}

TEST_F(LoggerTest, OverlongLibraryMessageIsCutNotOverflowed) {
    const std::string big(5000, 'x');
    av_log(nullptr, AV_LOG_ERROR, "%s\n", big.c_str());
    // Without a line end of its own the cut text waits for the rest of its line.
    av_log(nullptr, AV_LOG_ERROR, "%s", big.c_str());
    av_log(nullptr, AV_LOG_ERROR, "!\n");
    const auto msgs = Messages();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0], std::string(2046, 'x'));
    EXPECT_EQ(msgs[1], std::string(2047, 'x') + "!");
}

TEST_F(LoggerTest, DeliveryRunsInTheMainThreadWhenAsked) {
    logger_->SetTriggerEventInMainThread(true);
    const std::thread::id mainThread = std::this_thread::get_id();
    std::atomic<bool> delivered{false};
    std::thread::id ranOn;
    uint32_t reportedId = 0;
    logger_->SetOnLog([&](void*, uint32_t tid, TLogLevel, const std::string& msg) {
        if (msg != "from worker")
            return;
        ranOn = std::this_thread::get_id();
        reportedId = tid;
        delivered = true;
    });
    std::atomic<uint32_t> workerId{0};
    std::thread worker([&] {
        workerId = CurrentThreadId();
        av_log(nullptr, AV_LOG_ERROR, "from worker\n");
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!delivered && std::chrono::steady_clock::now() < deadline)
        CurrentDispatcher().WaitAndProcess(std::chrono::milliseconds(20));
    worker.join();
    ASSERT_TRUE(delivered.load());
    EXPECT_EQ(ranOn, mainThread);
    EXPECT_EQ(reportedId, workerId.load());
}

TEST(LogLevelMapping, ReverseMappingTruncatesTowardZeroAndClamps) {
    const struct {
        int library;
        TLogLevel expected;
    } cases[] = {{-100, llQuiet}, {-8, llQuiet},   {-7, llPanic}, {0, llPanic},
                 {7, llPanic},    {8, llFatal},    {16, llError}, {24, llWarning},
                 {32, llInfo},    {40, llVerbose}, {48, llDebug}, {56, llDebug}};
    for (const auto& c : cases)
        EXPECT_EQ(LibraryToLogLevel(c.library), c.expected) << c.library;
    for (int l = llQuiet; l <= llDebug; ++l)
        EXPECT_EQ(LibraryToLogLevel(LogLevelToLibrary(static_cast<TLogLevel>(l))), l);
}

} // namespace
} // namespace kavlo
