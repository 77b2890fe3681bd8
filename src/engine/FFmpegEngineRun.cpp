// The run half of the engine component: starting tasks, pause, resume, stop, and the delivery
// of the four notifications.
#include "core/Dispatcher.h"
#include "engine/TCustomFFmpegEngine.h"
#include "engine/ffmpeg/TFFLogger.h"

#include <chrono>

namespace kavlo {

void TCustomFFmpegEngine::StartTask(int parallelCount) {
    CheckNotWorking("StartTask");
    {
        std::lock_guard<std::recursive_mutex> lock(RunState.TerminateLock);
        RunState.FinishedCount = 0;
        RunState.NextIndex = 0;
        RunState.StillToStart = tasks_.Count();
        RunState.Threaded = parallelCount > 0;
        RunState.ParallelCount = parallelCount;
        RunState.EndDelivered = false;
    }
    allTerminated_ = false;
    working_ = true;
    int started = 0;
    while (true) {
        {
            std::lock_guard<std::recursive_mutex> lock(RunState.TerminateLock);
            if (RunState.StillToStart <= 0)
                break;
            if (RunState.Threaded && started >= RunState.ParallelCount)
                break;
        }
        StartNext();
        ++started;
    }
}

void TCustomFFmpegEngine::StartNext() {
    TFFmpeg* task = nullptr;
    bool threaded = false;
    {
        std::lock_guard<std::recursive_mutex> lock(RunState.TerminateLock);
        if (RunState.StillToStart <= 0 || RunState.NextIndex >= tasks_.Count())
            return;
        --RunState.StillToStart;
        task = tasks_.Items(RunState.NextIndex++);
        threaded = RunState.Threaded;
    }
    task->Run.ProgressInterval = static_cast<int64_t>(progressInterval_) * 1000;
    // Started outside the lock: a synchronous run converts the whole file inside Start.
    task->Start(threaded, threadPriority_);
}

void TCustomFFmpegEngine::Pause() {
    for (int i = 0; i < tasks_.Count(); ++i)
        tasks_.Items(i)->PauseTask();
}

void TCustomFFmpegEngine::Resume() {
    for (int i = 0; i < tasks_.Count(); ++i)
        tasks_.Items(i)->ResumeTask();
}

void TCustomFFmpegEngine::Stop(bool wait) {
    {
        std::lock_guard<std::recursive_mutex> lock(RunState.TerminateLock);
        RunState.StillToStart = 0;
    }
    for (int i = 0; i < tasks_.Count(); ++i)
        tasks_.Items(i)->StopTask(wait);
    if (wait)
        JoinDeliveries();
}

void TCustomFFmpegEngine::JoinDeliveries() {
    std::vector<TEngineRunState::Delivery> list;
    {
        std::lock_guard<std::mutex> lock(RunState.DeliveryLock);
        // A handler that stops the engine from its own delivery thread cannot wait for the
        // deliveries queued behind it.
        for (const auto& d : RunState.Deliveries)
            if (d.Thread.get_id() == std::this_thread::get_id())
                return;
        list.swap(RunState.Deliveries);
    }
    Dispatcher& dispatcher = CurrentDispatcher();
    const bool main = dispatcher.IsMainThread();
    for (auto& d : list) {
        while (d.Done.wait_for(std::chrono::milliseconds(main ? 1 : 20)) != std::future_status::ready) {
            if (main)
                dispatcher.WaitAndProcess(std::chrono::milliseconds(19));
        }
        d.Thread.join();
    }
}

void TCustomFFmpegEngine::DeliverTermination(const TTerminateInfo& info) {
    if (!OnTerminate)
        return;
    if (RunState.Threaded) {
        // Called under the terminate lock, so the delivery threads queue up in the order the
        // terminations happened; each waits for the one before it.
        std::promise<void> done;
        std::shared_future<void> doneFuture = done.get_future().share();
        std::shared_future<void> previous = RunState.LastDelivery;
        TTerminateEvent handler = OnTerminate;
        std::thread t([this, handler, info, previous, done = std::move(done)]() mutable {
            if (previous.valid())
                previous.wait();
            try {
                handler(this, info);
            } catch (const std::exception& e) {
                FFLogger().Log(this, llError, e.what());
            }
            done.set_value();
        });
        RunState.LastDelivery = doneFuture;
        std::lock_guard<std::mutex> lock(RunState.DeliveryLock);
        RunState.Deliveries.push_back({std::move(t), doneFuture});
    } else {
        terminateInfo_ = info;
        OnTerminate(this, terminateInfo_);
    }
}

void TCustomFFmpegEngine::DoTerminate(TCustomFFmpeg* task) {
    bool startNext = false;
    bool endOfRun = false;
    TTerminateInfo info;
    bool threaded;
    {
        std::lock_guard<std::recursive_mutex> lock(RunState.TerminateLock);
        threaded = RunState.Threaded;
        if (task) {
            info.TaskIndex = tasks_.IndexOf(task);
            info.Finished = task->Run.Finished;
            info.Failed = task->Run.Failed;
            info.ErrorMessage = info.Failed ? task->Run.ErrorMessage : std::string();
            if (threaded)
                DeliverTermination(info);
        }
    }
    // A synchronous delivery runs outside the lock: its handler may stop the engine, whose
    // never-started tasks terminate on threads of their own and need the lock.
    if (task && !threaded)
        DeliverTermination(info);
    {
        std::lock_guard<std::recursive_mutex> lock(RunState.TerminateLock);
        if (task)
            RunState.FinishedCount++;
        if (RunState.StillToStart <= 0) {
            if (RunState.FinishedCount >= tasks_.Count() && !RunState.EndDelivered) {
                RunState.EndDelivered = true;
                endOfRun = true;
                if (threaded)
                    EndOfRun();
            }
        } else if (threaded) {
            startNext = true;
        }
    }
    if (endOfRun && !threaded)
        EndOfRun();
    if (startNext)
        StartNext();
}

void TCustomFFmpegEngine::EndOfRun() {
    TTerminateInfo info;
    info.TaskIndex = -1;
    info.Finished = true;
    info.Failed = false;
    DeliverTermination(info);
    allTerminated_ = true;
}

void TCustomFFmpegEngine::DoProgress(TCustomFFmpeg* task, int fileIndex, int frameNumber, int fps,
                                     float quality, float bitRate, int64_t currentSize, int64_t currentTime,
                                     int64_t totalDuration) {
    std::lock_guard<std::mutex> lock(RunState.ProgressLock);
    progressInfo_.TaskIndex = tasks_.IndexOf(task);
    progressInfo_.FileIndex = fileIndex;
    progressInfo_.FrameNumber = frameNumber;
    progressInfo_.FPS = fps;
    progressInfo_.Quality = quality;
    progressInfo_.BitRate = bitRate;
    progressInfo_.CurrentSize = currentSize;
    progressInfo_.CurrentDuration = currentTime;
    progressInfo_.TotalDuration = totalDuration;
    TProgressEvent handler = OnProgress;
    if (!handler)
        return;
    if (triggerEventInMainThread_)
        SyncCall([&] { handler(this, &progressInfo_); });
    else
        handler(this, &progressInfo_);
}

void TCustomFFmpegEngine::DoPreviewBitmap(TCustomFFmpeg* task, const Bitmap24& bitmap, int frameNumber,
                                          int64_t pts) {
    std::lock_guard<std::mutex> lock(RunState.PreviewLock);
    previewInfo_.TaskIndex = tasks_.IndexOf(task);
    previewInfo_.Bitmap = &bitmap;
    previewInfo_.FrameNumber = frameNumber;
    previewInfo_.PTS = pts;
    TPreviewBitmapEvent handler = OnPreviewBitmap;
    if (handler) {
        if (triggerEventInMainThread_)
            SyncCall([&] { handler(this, previewInfo_); });
        else
            handler(this, previewInfo_);
    }
    previewInfo_.Bitmap = nullptr;
}

void TCustomFFmpegEngine::DoCustomHook(TCustomFFmpeg* task, Bitmap24& bitmap, int frameNumber, int64_t pts,
                                       bool& update, bool& stopHook) {
    std::lock_guard<std::mutex> lock(RunState.HookLock);
    hookInfo_.TaskIndex = tasks_.IndexOf(task);
    hookInfo_.Bitmap = &bitmap;
    hookInfo_.FrameNumber = frameNumber;
    hookInfo_.PTS = pts;
    hookInfo_.Update = update;
    hookInfo_.StopHook = stopHook;
    TCustomHookEvent handler = OnCustomHook;
    if (handler) {
        struct Restore {
            THookInfo& info;
            ~Restore() { info.Bitmap = nullptr; }
        } restore{hookInfo_};
        handler(this, &hookInfo_);
    }
    update = hookInfo_.Update;
    stopHook = hookInfo_.StopHook;
}

} // namespace kavlo
