#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace kavlo {

// Verbosity of a log message, from "say nothing" to "say everything". Each value maps to a
// library level: (ordinal - 1) * 8.
enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// Sender, id of the thread that logged, level, text of one whole line.
using TLogEvent =
    std::function<void(void* sender, uint32_t threadId, TLogLevel level, const std::string& msg)>;

// The library level of a TLogLevel (llQuiet -8, llPanic 0, ... llDebug 48).
int LogLevelToLibrary(TLogLevel level);
// The TLogLevel of a library level: (level / 8, rounded toward zero) + 1, clamped to the enumeration.
TLogLevel LibraryToLogLevel(int libraryLevel);
// "quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug".
const char* LogLevelName(TLogLevel level);
// A 32-bit id of the calling thread (the kernel's thread id).
uint32_t CurrentThreadId();

// Turns the libraries' log output and the program's own messages into whole lines delivered
// through OnLog, in the main thread by default. One per process: FFLogger() returns it.
class TFFLogger {
public:
    // Becomes the process logger; a second one while the first lives is refused with
    // std::logic_error "Allow creating only one instance of TFFLogger.".
    TFFLogger();
    ~TFFLogger();
    TFFLogger(const TFFLogger&) = delete;
    TFFLogger& operator=(const TFFLogger&) = delete;

    TLogLevel LogLevel() const { return level_.load(); }
    // Stores and applies the level (library level and the callback's filter) when it differs.
    void SetLogLevel(TLogLevel level);
    // A level name (any case) or an integer library level; anything else throws
    // std::invalid_argument "'<text>' is not a valid integer value".
    void SetLogLevelByName(const std::string& name);

    bool TriggerEventInMainThread() const { return triggerInMainThread_.load(); }
    void SetTriggerEventInMainThread(bool value) { triggerInMainThread_.store(value); }

    TLogEvent OnLog() const;
    void SetOnLog(TLogEvent handler);

    // Routes the libraries' log output through this logger and applies the current level.
    void InstallLogCallback();

    // A message of the program itself; delivered when its level is at most LogLevel, when it
    // is llVerbose and LogLevel is not llQuiet, and always when it is llQuiet.
    void Log(void* sender, TLogLevel level, const std::string& msg);
    void LogFmt(void* sender, TLogLevel level, const char* fmt, ...) __attribute__((format(printf, 4, 5)));

    // The function installed into the libraries (av_log_set_callback).
    static void LogCallback(void* avcl, int level, const char* fmt, va_list vl);

    // The library level below which the callback passes lines on (mirrors av_log_get_level as
    // last applied by SetLogLevel).
    static int LevelMirror();

private:
    void Deliver(void* sender, uint32_t threadId, TLogLevel level, const std::string& msg);
    void ApplyLevel(TLogLevel level);

    std::atomic<TLogLevel> level_;
    std::atomic<bool> triggerInMainThread_{true};
    mutable std::mutex handlerLock_;
    TLogEvent onLog_;
    std::atomic<bool> callbackInstalled_{false};
};

// The process logger, created on first use.
TFFLogger& FFLogger();

} // namespace kavlo
