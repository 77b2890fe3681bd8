#pragma once
#include "engine/TEngineRunState.h"
#include "engine/TFFmpegList.h"
#include "engine/THookInfo.h"
#include "engine/TInputOptions.h"
#include "engine/TOutputOptions.h"
#include "engine/TPreviewInfo.h"
#include "engine/TProgressInfo.h"
#include "engine/TTerminateInfo.h"
#include "engine/ThreadPriority.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

namespace kavlo {

class TAVProbe;
class TCustomFFmpegEngine;

using TCustomHookEvent = std::function<void(TCustomFFmpegEngine* sender, THookInfo* hookInfo)>;
using TPreviewBitmapEvent = std::function<void(TCustomFFmpegEngine* sender, const TPreviewInfo& previewInfo)>;
using TProgressEvent = std::function<void(TCustomFFmpegEngine* sender, TProgressInfo* progressInfo)>;
using TTerminateEvent = std::function<void(TCustomFFmpegEngine* sender, const TTerminateInfo& terminateInfo)>;

// The engine component: a list of conversion tasks (one input, one or more outputs each), run
// control, and the four events progress, termination, per-frame hook and preview picture.
// Operations are called from the main thread.
class TCustomFFmpegEngine {
public:
    TCustomFFmpegEngine();
    virtual ~TCustomFFmpegEngine();
    TCustomFFmpegEngine(const TCustomFFmpegEngine&) = delete;
    TCustomFFmpegEngine& operator=(const TCustomFFmpegEngine&) = delete;

    // ---- properties ----
    bool Preview() const { return preview_; }
    void SetPreview(bool value);
    bool PreviewBitmap() const { return previewBitmap_; }
    void SetPreviewBitmap(bool value);
    // Least time in ms between two progress reports of a task; 100 or less stores 100.
    int ProgressInterval() const { return progressInterval_; }
    void SetProgressInterval(int value);
    TThreadPriority ThreadPriority() const { return threadPriority_; }
    void SetThreadPriority(TThreadPriority value) { threadPriority_ = value; }
    bool TriggerEventInMainThread() const { return triggerEventInMainThread_; }
    void SetTriggerEventInMainThread(bool value) { triggerEventInMainThread_ = value; }
    std::string Version() const { return "3.3"; }

    TCustomHookEvent OnCustomHook;
    TPreviewBitmapEvent OnPreviewBitmap;
    TProgressEvent OnProgress;
    TTerminateEvent OnTerminate;

    // ---- operations ----
    // Checks the converter library set; false leaves the reason in LastErrMsg.
    bool LoadAVLib(const std::string& libraryFolder);
    // A task with one input; its index, or -1 with the reason in LastErrMsg.
    int AddTask(const std::string& fileName, const TInputOptions* inputOptions);
    // Adds one output to a task; false with the reason in LastErrMsg.
    bool SetOutputFile(int taskIndex, const std::string& fileName, const TOutputOptions* outputOptions);
    void StartTask(int parallelCount);
    void Pause();
    void Resume();
    void Stop(bool wait);
    void ClearTasks();
    void RemoveTask(int taskIndex);
    int TasksCount() const { return tasks_.Count(); }
    // The probe of an input of a task, created on first request.
    TAVProbe* AVProbe(int taskIndex, int inputIndex);
    const std::string& LastErrMsg() const { return lastErrMsg_; }
    // The task at an index (for the application's own bookkeeping and for tests).
    TFFmpeg* Task(int taskIndex) const { return tasks_.Items(taskIndex); }

protected:
    // Notifications a task raises on its worker thread.
    virtual void DoCustomHook(TCustomFFmpeg* task, Bitmap24& bitmap, int frameNumber, int64_t pts,
                              bool& update, bool& stopHook);
    virtual void DoPreviewBitmap(TCustomFFmpeg* task, const Bitmap24& bitmap, int frameNumber, int64_t pts);
    virtual void DoProgress(TCustomFFmpeg* task, int fileIndex, int frameNumber, int fps, float quality,
                            float bitRate, int64_t currentSize, int64_t currentTime, int64_t totalDuration);
    // task null: the end of the run.
    virtual void DoTerminate(TCustomFFmpeg* task);

    void StartNext();
    // Run-cycle helpers: a termination record to OnTerminate (on a thread of its own in a
    // threaded run), the end-of-run notification, and waiting for the delivery threads.
    void DeliverTermination(const TTerminateInfo& info);
    void EndOfRun();
    void JoinDeliveries();
    TEngineRunState RunState;
    // Raises "Cannot %s while working." once StartTask ran, until ClearTasks.
    void CheckNotWorking(const char* operation) const;
    // Applies ExtOptions lines (codec names only when allowed, i.e. for an input).
    static void ApplyExtOptions(TCustomFFmpeg& task, const std::string& text, bool codecNamesAllowed);

    TFFmpegList tasks_;
    std::string lastErrMsg_;
    int verbosity_ = 1;
    bool preview_ = false;
    bool previewBitmap_ = false;
    int progressInterval_ = 500;
    TThreadPriority threadPriority_ = TThreadPriority::tpNormal;
    bool triggerEventInMainThread_ = true;

    // Run state shared with the run cycle: set by StartTask, cleared by ClearTasks.
    std::atomic<bool> working_{false};
    // Every task of the run has been terminated and the end of the run delivered.
    std::atomic<bool> allTerminated_{false};

    // One record and one lock per notification kind.
    TProgressInfo progressInfo_;
    TTerminateInfo terminateInfo_;
    THookInfo hookInfo_;
    TPreviewInfo previewInfo_;
};

} // namespace kavlo
