// The run half of a task: start, the body its worker runs, stop, pause and the termination.
#include "core/Dispatcher.h"
#include "engine/TCustomFFmpeg.h"
#include "engine/TTranscoder.h"
#include "engine/ffmpeg/FrameHook.h"
#include "engine/ffmpeg/TFFLogger.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kavlo {

namespace {

// Waits for a signal; on the main thread the wait keeps running queued main-thread calls, so
// that a worker blocked in a synchronised event can finish.
void WaitServicing(TSignal& signal) {
    Dispatcher& d = CurrentDispatcher();
    const bool main = d.IsMainThread();
    while (!signal.IsSet()) {
        if (main) {
            d.ProcessPending();
            if (signal.WaitFor(std::chrono::milliseconds(1)))
                break;
            d.WaitAndProcess(std::chrono::milliseconds(19));
        } else {
            signal.WaitFor(std::chrono::milliseconds(20));
        }
    }
}

void JoinUnlessSelf(std::thread& t) {
    if (!t.joinable())
        return;
    if (t.get_id() == std::this_thread::get_id())
        t.detach();
    else
        t.join();
}

} // namespace

void TCustomFFmpeg::Start(bool inThread, TThreadPriority priority) {
    {
        std::lock_guard<std::mutex> lock(Run.StartLock);
        if (Run.Running || Run.Terminated || Run.Claimed)
            return;
        Run.Claimed = true;
    }
    const char* refusal = nullptr;
    if (outputFiles.empty())
        refusal = "At least one output file must be specified";
    else if (inputFiles.empty())
        refusal = "At least one input file must be specified";
    if (refusal) {
        try {
            Cleanup();
        } catch (const std::exception& e) {
            FFLogger().Log(this, llQuiet, e.what());
        }
        FFLogger().Log(this, llQuiet, refusal);
        Run.ErrorMessage = refusal;
        Run.Failed = true;
        DoTerminateStep();
        return;
    }
    Run.Running = true;
    Run.Break = false;
    Run.Finished = false;
    Run.Terminated = false;
    Run.Failed = false;
    Run.ErrorMessage.clear();
    if (inThread) {
        // Cleared before the thread exists, so a Stop right after the start waits for it.
        Run.WorkerIdle.Reset();
        Run.InThread = true;
        std::lock_guard<std::mutex> lock(Run.StartLock);
        Run.Worker = std::thread([this, priority] {
            ApplyThreadPriority(priority);
            Execute();
        });
    } else {
        Execute();
    }
}

void TCustomFFmpeg::Execute() {
    Run.WorkerIdle.Reset();
    Run.BodyThread = std::this_thread::get_id();
    Run.Finished = false;
    auto guarded = [this](const std::function<void()>& step) {
        try {
            step();
        } catch (const std::exception& e) {
            FFLogger().Log(this, llQuiet, e.what());
            Run.ErrorMessage = e.what();
            Run.Failed = true;
        } catch (...) {
            FFLogger().Log(this, llQuiet, "Unknown error");
            Run.ErrorMessage = "Unknown error";
            Run.Failed = true;
        }
    };
    // The transcoder closes its decoders however it ends; the encoders belong to the task and
    // go with Cleanup.
    guarded([this] { Transcode(); });
    guarded([this] { Cleanup(); });
    guarded([this] { DoTerminateStep(); });
    Run.BodyThread = std::thread::id();
    Run.WorkerIdle.Set();
}

void TCustomFFmpeg::DoTerminateStep() {
    Run.Running = false;
    Run.Terminated = true;
    if (terminateTarget)
        terminateTarget(this);
}

void TCustomFFmpeg::Transcode() {
    TTranscodeJob job;
    job.Sender = this;
    size_t codecIndex = 0;
    for (size_t i = 0; i < inputFiles.size(); ++i) {
        TTranscodeInputFile in;
        in.Context = inputFiles[i].Context;
        in.TsOffset = inputFiles[i].TsOffset;
        const unsigned streams = in.Context ? in.Context->nb_streams : 0;
        for (unsigned s = 0; s < streams; ++s) {
            in.TsScale.push_back(i < kMaxFiles && s < kMaxStreams ? opt.inputTsScale[i][s] : 0.0);
            in.ForcedDecoders.push_back(codecIndex < inputCodecs.size() ? inputCodecs[codecIndex] : nullptr);
            ++codecIndex;
        }
        job.Inputs.push_back(std::move(in));
    }
    for (const auto& of : outputFiles) {
        TTranscodeOutputFile out;
        out.Context = of.Context;
        job.Outputs.push_back(std::move(out));
    }
    for (const auto& os : outputStreams) {
        if (os.FileIndex < 0 || os.FileIndex >= static_cast<int>(job.Outputs.size()))
            continue;
        auto& streams = job.Outputs[os.FileIndex].Streams;
        if (static_cast<int>(streams.size()) <= os.Index)
            streams.resize(os.Index + 1);
        TTranscodeOutputStream& s = streams[os.Index];
        s.Encoder = os.Encoder;
        s.ForcedEncoder = os.Codec;
        s.Copy = os.StreamCopy;
        s.BitstreamFilters = os.BitstreamFilters;
    }
    job.StreamMaps = opt.streamMaps;
    job.MetaDataMaps = opt.metaDataMaps;

    TTranscodeOptions& o = job.Options;
    o.RecordingTime = opt.recordingTime;
    o.StartTime = opt.startTime;
    o.VideoSync = opt.videoSyncMethod;
    o.AudioSync = opt.audioSyncMethod;
    o.AudioDriftThreshold = opt.audioDriftThreshold;
    o.CopyTimestamps = opt.copyTs;
    o.Shortest = opt.shortest;
    o.DtsDeltaThreshold = opt.dtsDeltaThreshold;
    o.ProgramId = opt.programId;
    o.CopyInitialNonKeyFrames = opt.copyInitialNonKeyFrames;
    o.RateEmulation = opt.rateEmulation;
    o.AudioVolume = opt.audioVolume;
    o.ExitOnError = opt.exitOnError;
    o.Verbosity = opt.verbosity;
    o.InputSync = opt.inputSync;
    o.FileSizeLimit = opt.limitFileSize;
    for (int i = 0; i < 4; ++i)
        o.FrameLimits[i] = opt.maxFrames[i];
    o.Dump = opt.dumpPackets;
    o.Hex = opt.hexDump;
    o.Deinterlace = opt.deinterlace;
    o.TopFieldFirst = opt.topFieldFirst;
    o.MeThreshold = opt.meThreshold;
    o.SameQuality = opt.sameQuality;
    o.QpHistogram = opt.qpHist;
    o.CropTop = opt.cropTop;
    o.CropBottom = opt.cropBottom;
    o.CropLeft = opt.cropLeft;
    o.CropRight = opt.cropRight;
    o.VideoFilters = opt.videoFilters;
    o.StatsFileName = opt.vstatsFileName;
    o.PassLogFilePrefix = opt.passLogFile;
    o.ScalerFlags = ScalerFlags();
    o.HookModulesActive = opt.usingVhook && !hookModules.Empty();
    o.PreviewFlags = PreviewFlags();
    o.ProgressInterval = Run.ProgressInterval;
    o.TotalDuration = opt.totalDuration;

    TTranscodeCallbacks& cb = job.Callbacks;
    if (hookTarget)
        cb.CustomHook = [this](Bitmap24& bitmap, int frameNumber, int64_t pts, bool& update, bool& stopHook) {
            hookTarget(this, bitmap, frameNumber, pts, update, stopHook);
        };
    if (previewBitmapTarget)
        cb.PreviewBitmap = [this](const Bitmap24& bitmap, int frameNumber, int64_t pts) {
            previewBitmapTarget(this, bitmap, frameNumber, pts);
        };
    if (progressTarget)
        cb.Progress = [this](int fileIndex, int frameNumber, int fps, float quality, float bitRate,
                             int64_t size, int64_t currentTime, int64_t totalDuration) {
            progressTarget(this, fileIndex, frameNumber, fps, quality, bitRate, size, currentTime,
                           totalDuration);
        };
    if (o.HookModulesActive)
        cb.FrameHookProcess = [this](AVFrame* picture, int64_t pts) {
            TFrameHookPicture pict = FrameHookPictureOf(picture);
            FrameHookProcess(hookModules, &pict, picture->format, picture->width, picture->height, pts);
        };
    cb.PreviewFlags = [this] {
        std::lock_guard<std::mutex> lock(PreviewLock());
        return PreviewFlags();
    };
    cb.DropPreviewFlags = [this](int bits) { SetPreviewFlags(PreviewFlags() & ~bits); };
    cb.CopyCodecOptions = [this](AVCodecContext* ctx, int flags) {
        CopyGenericCodecOptions(ctx, ctx->codec_type, flags);
    };
    job.Break = &Run.Break;
    job.Gate = &Run.Gate;

    struct CounterCopy {
        TTaskRunState& run;
        TTranscodeJob& job;
        ~CounterCopy() { run.HookFrameCounter = job.DecodedVideoFrames; }
    } counterCopy{Run, job};
    TTranscoder transcoder(job);
    transcoder.Run();
    for (size_t i = 0; i < inputFiles.size() && i < job.Inputs.size(); ++i)
        inputFiles[i].TsOffset = job.Inputs[i].TsOffset;
    Run.Finished = job.Finished;
}

void TCustomFFmpeg::StopTask(bool wait) {
    bool terminateUnstarted = false;
    {
        std::lock_guard<std::mutex> lock(Run.StartLock);
        if (!Run.Claimed && !Run.Terminated) {
            Run.Claimed = true;
            terminateUnstarted = true;
        }
    }
    if (terminateUnstarted) {
        // Never started: its termination is delivered from a thread of its own.
        Run.TerminateIdle.Reset();
        JoinUnlessSelf(Run.TerminateThread);
        Run.TerminateThread = std::thread([this] {
            try {
                DoTerminateStep();
            } catch (const std::exception& e) {
                FFLogger().Log(this, llQuiet, e.what());
            }
            Run.TerminateIdle.Set();
        });
        if (wait) {
            WaitServicing(Run.TerminateIdle);
            JoinUnlessSelf(Run.TerminateThread);
        }
        return;
    }
    if (Run.Running)
        RequestStop(wait);
    if (wait) {
        if (Run.BodyThread.load() != std::this_thread::get_id())
            WaitServicing(Run.WorkerIdle);
        std::thread worker;
        {
            std::lock_guard<std::mutex> lock(Run.StartLock);
            worker = std::move(Run.Worker);
        }
        JoinUnlessSelf(worker);
        if (!Run.TerminateIdle.IsSet())
            WaitServicing(Run.TerminateIdle);
        JoinUnlessSelf(Run.TerminateThread);
    }
}

void TCustomFFmpeg::RequestStop(bool wait) {
    Run.Break = true;
    if (Run.Paused.exchange(false))
        Run.Gate.Resume();
    // A body running on this very thread (a synchronous run asked to stop from one of its own
    // events) cannot be waited for; it sees the request at its next packet.
    if (wait && Run.BodyThread.load() != std::this_thread::get_id())
        WaitServicing(Run.WorkerIdle);
}

void TCustomFFmpeg::PauseTask() {
    if (Run.Running && Run.InThread && !Run.Paused.exchange(true))
        Run.Gate.Pause();
}

void TCustomFFmpeg::ResumeTask() {
    if (Run.Paused.exchange(false))
        Run.Gate.Resume();
}

} // namespace kavlo
