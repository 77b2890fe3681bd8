#include "engine/ffmpeg/TFFLogger.h"

#include "core/Dispatcher.h"
#include "core/TextUtils.h"

#include <cstdio>
#include <list>
#include <memory>
#include <stdexcept>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

namespace kavlo {

namespace {

const char* const kLevelNames[] = {"quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug"};

// The not yet completed line of one thread.
struct TLogItem {
    uint32_t threadId;
    std::string text;
};

// Partial lines of every thread that is in the middle of a line. An item goes away as soon as
// its line is complete, so threads that come and go leave nothing behind.
struct TLogList {
    std::mutex lock;
    std::list<TLogItem> items;
};

// Destroyed in reverse order: the owned logger goes first, the list and the lock after it.
std::mutex gInstanceLock;
std::atomic<TFFLogger*> gInstance{nullptr};
std::atomic<int> gLevelMirror{AV_LOG_INFO};
TLogList gLogList;
std::unique_ptr<TFFLogger> gOwnedLogger;

// One library message is formatted into a buffer of this size; longer ones are cut.
constexpr size_t kLogBufferSize = 2048;

std::string FormatV(const char* fmt, va_list vl) {
    va_list copy;
    va_copy(copy, vl);
    char small[512];
    int n = std::vsnprintf(small, sizeof(small), fmt, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof(small))
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, vl);
    out.resize(static_cast<size_t>(n));
    return out;
}

bool EndsWithNewline(const char* s) {
    if (!s)
        return false;
    size_t n = std::char_traits<char>::length(s);
    return n > 0 && s[n - 1] == '\n';
}

} // namespace

int LogLevelToLibrary(TLogLevel level) {
    return (static_cast<int>(level) - 1) * 8;
}

TLogLevel LibraryToLogLevel(int libraryLevel) {
    int v = libraryLevel / 8 + 1; // C++ division truncates toward zero
    if (v < llQuiet)
        v = llQuiet;
    if (v > llDebug)
        v = llDebug;
    return static_cast<TLogLevel>(v);
}

const char* LogLevelName(TLogLevel level) {
    int i = static_cast<int>(level);
    return (i >= llQuiet && i <= llDebug) ? kLevelNames[i] : "";
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(::gettid());
}

TFFLogger::TFFLogger() : level_(LibraryToLogLevel(av_log_get_level())) {
    std::lock_guard<std::mutex> lock(gInstanceLock);
    if (gInstance.load())
        throw std::logic_error("Allow creating only one instance of TFFLogger.");
    gInstance.store(this);
}

TFFLogger::~TFFLogger() {
    std::lock_guard<std::mutex> lock(gInstanceLock);
    if (callbackInstalled_)
        av_log_set_callback(av_log_default_callback);
    if (gInstance.load() == this)
        gInstance.store(nullptr);
}

void TFFLogger::ApplyLevel(TLogLevel level) {
    int lib = LogLevelToLibrary(level);
    av_log_set_level(lib);
    gLevelMirror.store(lib);
}

void TFFLogger::SetLogLevel(TLogLevel level) {
    if (level_.exchange(level) != level)
        ApplyLevel(level);
}

void TFFLogger::SetLogLevelByName(const std::string& name) {
    for (int i = llQuiet; i <= llDebug; ++i) {
        if (SameText(name, kLevelNames[i])) {
            SetLogLevel(static_cast<TLogLevel>(i));
            return;
        }
    }
    int value = 0;
    if (!TryParseInt(name, value))
        throw std::invalid_argument("'" + name + "' is not a valid integer value");
    SetLogLevel(LibraryToLogLevel(value));
}

TLogEvent TFFLogger::OnLog() const {
    std::lock_guard<std::mutex> lock(handlerLock_);
    return onLog_;
}

void TFFLogger::SetOnLog(TLogEvent handler) {
    std::lock_guard<std::mutex> lock(handlerLock_);
    onLog_ = std::move(handler);
}

void TFFLogger::InstallLogCallback() {
    av_log_set_callback(&TFFLogger::LogCallback);
    callbackInstalled_ = true;
    ApplyLevel(level_.load());
}

int TFFLogger::LevelMirror() {
    return gLevelMirror.load();
}

void TFFLogger::Deliver(void* sender, uint32_t threadId, TLogLevel level, const std::string& msg) {
    TLogEvent handler = OnLog();
    if (!handler)
        return;
    if (triggerInMainThread_.load())
        SyncCall([&] { handler(sender, threadId, level, msg); });
    else
        handler(sender, threadId, level, msg);
}

void TFFLogger::Log(void* sender, TLogLevel level, const std::string& msg) {
    TLogLevel current = level_.load();
    if (level <= current || (level == llVerbose && current != llQuiet))
        Deliver(sender, CurrentThreadId(), level, msg);
}

void TFFLogger::LogFmt(void* sender, TLogLevel level, const char* fmt, ...) {
    va_list vl;
    va_start(vl, fmt);
    std::string msg = FormatV(fmt, vl);
    va_end(vl);
    Log(sender, level, msg);
}

void TFFLogger::LogCallback(void* avcl, int level, const char* fmt, va_list vl) {
    if (level >= 0)
        level &= 0xff; // the upper bits may carry a colour tint
    if (level > gLevelMirror.load())
        return;

    char prefix[256] = "";
    if (avcl) {
        const AVClass* cls = *static_cast<const AVClass* const*>(avcl);
        if (cls) {
            const char* name = cls->item_name ? cls->item_name(avcl) : cls->class_name;
            std::snprintf(prefix, sizeof(prefix), "[%s @ %p] ", name ? name : "", avcl);
        }
    }

    char buffer[kLogBufferSize] = {};
    int n = std::vsnprintf(buffer, sizeof(buffer), fmt, vl);
    // A cut message keeps its line end, so the line it ends is still delivered.
    if (n >= static_cast<int>(sizeof(buffer)) && EndsWithNewline(fmt))
        buffer[sizeof(buffer) - 2] = '\n';

    const uint32_t threadId = CurrentThreadId();
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(gLogList.lock);
        auto it = gLogList.items.begin();
        while (it != gLogList.items.end() && it->threadId != threadId)
            ++it;
        if (it == gLogList.items.end())
            it = gLogList.items.insert(gLogList.items.begin(), TLogItem{threadId, std::string()});
        if (it->text.empty())
            it->text = std::string(prefix) + buffer;
        else
            it->text += buffer;
        size_t pos;
        while ((pos = it->text.find('\n')) != std::string::npos) {
            lines.push_back(it->text.substr(0, pos));
            it->text.erase(0, pos + 1);
        }
        if (it->text.empty())
            gLogList.items.erase(it);
    }

    TFFLogger* logger = gInstance.load();
    if (!logger || lines.empty())
        return;
    const TLogLevel lineLevel = LibraryToLogLevel(level);
    for (const std::string& line : lines) {
        // An exception must not unwind through the library's C frames.
        try {
            logger->Deliver(logger, threadId, lineLevel, line);
        } catch (...) {
        }
    }
}

TFFLogger& FFLogger() {
    if (TFFLogger* existing = gInstance.load())
        return *existing;
    static std::mutex createLock;
    std::lock_guard<std::mutex> lock(createLock);
    if (TFFLogger* existing = gInstance.load())
        return *existing;
    gOwnedLogger = std::make_unique<TFFLogger>();
    return *gOwnedLogger;
}

} // namespace kavlo
