#include "cli/BatchConverter.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <unistd.h>

#include "cli/CliMessages.h"
#include "cli/InterruptSignal.h"
#include "cli/JsonText.h"
#include "cli/OutputNaming.h"
#include "cli/ProgressLine.h"
#include "cli/QtMessages.h"
#include "cli/RunChoices.h"
#include "core/Dispatcher.h"
#include "core/IniFile.h"
#include "core/Paths.h"
#include "core/Settings.h"
#include "core/TGlobalObject.h"
#include "core/TextUtils.h"
#include "editing/GuiApplication.h"
#include "editing/WatermarkImageCache.h"
#include "engine/TFFmpegEngine.h"
#include "engine/ffmpeg/FFUtils.h"
#include "engine/ffmpeg/TFFLogger.h"
#include "probe/TAVProbe.h"
#include "probe/TFileStreamInfo.h"
#include "profiles/ProfileNames.h"
#include "queue/TBatchRun.h"

namespace kavlo::cli {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kProgram = "kavlo-convert";

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines)
        out += (out.empty() ? "" : "\n") + l;
    return out;
}

double SecondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// One file of the command line and what became of it.
struct TFileState {
    TBatchFileResult Setup;
    TFileProgress Progress;
    Clock::time_point Started{};
    bool Running = false;
    bool Done = false;
};

class TConverter {
public:
    explicit TConverter(const TCliOptions& o)
        : o_(o), display_(stderr, ::isatty(::fileno(stderr)) != 0, !o.Quiet),
          messages_(o.NoDefaultSize, [this](const std::string& t) { Warn(t); }) {}

    int Run();

private:
    void Warn(const std::string& text) {
        display_.Print(stderr, std::string(kProgram) + ": warning: " + text);
    }
    void Error(const std::string& text) { display_.Print(stderr, std::string(kProgram) + ": " + text); }
    std::string Label(int row) const;
    void OnProgress(const TProgressInfo& info);
    void OnTerminated(const TTerminateInfo& info);
    void Report(int row, const std::string& status, const std::string& error);
    void WaitForRun(TFFmpegEngine& engine);

    const TCliOptions& o_;
    TProgressDisplay display_;
    TCliMessages messages_;
    std::vector<TlvFilesRecord> records_;
    std::vector<TFileState> files_;
    TBatchRun* batch_ = nullptr;
    int tasks_ = 0;
    int nextToStart_ = 0;
    int converted_ = 0;

    std::mutex terminatedLock_;
    std::deque<TTerminateInfo> terminated_;
};

std::string TConverter::Label(int row) const {
    return "[" + std::to_string(row + 1) + "/" + std::to_string(files_.size()) + "] " +
           fs::path(records_[static_cast<size_t>(row)].SourceFile).filename().string();
}

void TConverter::Report(int row, const std::string& status, const std::string& error) {
    TFileState& f = files_[static_cast<size_t>(row)];
    f.Done = true;
    f.Running = false;
    TFileReport r;
    r.Source = records_[static_cast<size_t>(row)].SourceFile;
    r.Output = f.Setup.OutputFile;
    r.Status = status;
    r.Error = error;
    r.Duration = static_cast<double>(f.Progress.CurrentUs) / 1e6;
    r.Size = r.Output.empty() ? -1 : FileSizeOf(r.Output);
    if (r.Size > 0) {
        // What the file holds, as a player will see it.
        TAVProbe probe;
        TFileStreamInfo info;
        if (probe.LoadFile(r.Output) && probe.GetFileStreamInfo(info) && info.Duration >= 0)
            r.Duration = static_cast<double>(info.Duration) / 1e6;
    }
    r.Seconds = f.Started == Clock::time_point{} ? 0.0 : SecondsSince(f.Started);
    // An output that never got a byte is removed with its task: do not point at it.
    if (status != "converted" && r.Size <= 0) {
        r.Output.clear();
        r.Size = -1;
    }
    if (status == "converted")
        ++converted_;

    if (o_.Json)
        display_.Print(stdout, FileReportJson(r));
    if (status == "failed") {
        // The libraries' texts usually name the file already.
        Error(error.find(r.Source) != std::string::npos ? error : r.Source + ": " + error);
    } else if (status == "stopped") {
        if (!o_.Quiet)
            Error(r.Source + ": stopped" +
                  (r.Output.empty() ? std::string()
                                    : " (" + r.Output + " holds the first " +
                                          FormatTimestamp(static_cast<int64_t>(r.Duration * 1e6)) + ")"));
    } else if (!o_.Json && !o_.Quiet) {
        char tail[128];
        std::snprintf(tail, sizeof(tail), "  (%s, %.1f s of media in %.1f s)", FormatFileSize(r.Size).c_str(),
                      r.Duration, r.Seconds);
        display_.Print(stdout, r.Source + " -> " + r.Output + tail);
    }
}

void TConverter::OnProgress(const TProgressInfo& info) {
    const int row = batch_->RowOfTask(info.TaskIndex);
    if (row < 0)
        return;
    TFileState& f = files_[static_cast<size_t>(row)];
    if (f.Done)
        return;
    if (!f.Running) {
        f.Running = true;
        if (f.Started == Clock::time_point{})
            f.Started = Clock::now();
    }
    f.Progress.CurrentUs = info.CurrentDuration;
    f.Progress.Bytes = info.CurrentSize;
    f.Progress.ElapsedSec = SecondsSince(f.Started);
    if (f.Progress.ExpectedUs <= 0 && info.TotalDuration > 0)
        f.Progress.ExpectedUs = info.TotalDuration;
    if (info.FileIndex >= 0)
        display_.Update(info.TaskIndex, Label(row), f.Progress);
}

void TConverter::OnTerminated(const TTerminateInfo& info) {
    const int row = batch_->RowOfTask(info.TaskIndex);
    if (row < 0)
        return;
    display_.Remove(info.TaskIndex);
    // The engine starts the next waiting task as this one ends.
    if (nextToStart_ < tasks_) {
        const int next = batch_->RowOfTask(nextToStart_++);
        if (next >= 0)
            files_[static_cast<size_t>(next)].Started = Clock::now();
    }
    if (info.Finished && !info.Failed)
        Report(row, "converted", "");
    else if (info.Failed)
        Report(row, "failed", info.ErrorMessage.empty() ? "conversion failed" : info.ErrorMessage);
    else
        Report(row, "stopped", "");
}

void TConverter::WaitForRun(TFFmpegEngine& engine) {
    bool stopping = false;
    for (bool ended = false; !ended;) {
        CurrentDispatcher().WaitAndProcess(std::chrono::milliseconds(50));
        std::deque<TTerminateInfo> batch;
        {
            std::lock_guard<std::mutex> lock(terminatedLock_);
            batch.swap(terminated_);
        }
        for (const TTerminateInfo& t : batch) {
            if (t.TaskIndex < 0)
                ended = true;
            else
                OnTerminated(t);
        }
        if (!stopping && InterruptSignal::Caught()) {
            stopping = true;
            if (!o_.Quiet)
                Error("stopping: the files being written are closed properly");
            // Waits for the workers while serving their calls to this thread.
            engine.Stop(true);
        }
    }
}

int TConverter::Run() {
    TGlobalObject global;
    global.InitDefaults();
    const IniFile settings(global.SettingsFile());
    const IniFile formatFile(global.FormatFile());
    std::error_code ec;
    if (!fs::is_regular_file(global.FormatFile(), ec)) {
        Error("the profile data file is missing: " + global.FormatFile());
        return kExitSomeFailed;
    }

    int code = settings.ReadInteger(settings::kSection, settings::kFormatCode, settings::kFormatCodeDefault);
    std::string problem;
    if (!o_.Profile.empty() && !ResolveProfile(o_.Profile, code, problem)) {
        Error(problem);
        return kExitUsage;
    }
    if (o_.Profile.empty() && CatalogueProfileName(code).empty())
        Warn("the stored profile code " + std::to_string(code) +
             " names no profile; its settings and the builder's defaults are used (see --profile)");

    TProfileValues values;
    std::vector<std::string> warnings;
    if (!BuildRunChoices(formatFile, settings, code, o_.Sets, o_.Zoom, messages_, values, warnings,
                         problem)) {
        Error(problem);
        return kExitUsage;
    }
    for (const std::string& w : warnings)
        Warn(w);
    const TProfileSettings choices(values);

    if (!o_.Record.WatermarkImageFile.empty()) {
        try {
            DecodeWatermarkImage(o_.Record.WatermarkImageFile);
        } catch (const std::exception& e) {
            Error(e.what());
            return kExitUsage;
        }
    }

    const std::string outputDir =
        o_.OutputDir ? *o_.OutputDir
                     : settings.ReadString(settings::kSection, settings::kOutPutDir, DefaultOutputDir());
    // A folder that cannot be made fails every file with the reason (see OutputName below).
    std::string outputDirError;
    EnsureOutputFolder(outputDir, outputDirError);

    TFFmpegEngine engine;
    if (!engine.LoadAVLib(ProgramFolder() + "LibAV")) {
        Error(engine.LastErrMsg());
        return kExitSomeFailed;
    }
    engine.SetTriggerEventInMainThread(true);
    ApplyPrioritySetting(engine, o_.Priority ? *o_.Priority
                                             : settings.ReadInteger(settings::kSection, settings::kPriority,
                                                                    settings::kPriorityDefault));
    if (!o_.LogLevel.empty()) {
        FFLogger().SetLogLevelByName(o_.LogLevel);
        FFLogger().SetOnLog([this](void*, uint32_t, TLogLevel, const std::string& msg) {
            std::string line = msg;
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.pop_back();
            if (!line.empty())
                display_.Print(stderr, line);
        });
    }

    records_.assign(o_.Files.size(), o_.Record);
    files_.assign(o_.Files.size(), TFileState{});
    bool anyText = false;
    for (size_t i = 0; i < o_.Files.size(); ++i) {
        records_[i].SourceFile = o_.Files[i];
        records_[i].BatchIndex = static_cast<int32_t>(i);
        anyText = anyText || !records_[i].WatermarkText.empty();
    }
    if (anyText) {
        QuietQtMessages(!o_.LogLevel.empty());
        EnsureGuiApplication();
    }

    TBatchRun batch([this](int row) -> TlvFilesRecord* {
        return row >= 0 && row < static_cast<int>(records_.size()) ? &records_[static_cast<size_t>(row)]
                                                                   : nullptr;
    });
    batch_ = &batch;
    TBatchProfile profile;
    profile.Code = code;
    profile.FormatFile = &formatFile;
    profile.Choices = &choices;
    profile.Messages = &messages_;
    profile.OutputName = [&](const std::string& source, const std::string& suffix) {
        if (!outputDirError.empty())
            throw std::runtime_error(outputDirError);
        return OutputFileNameIn(outputDir, source, suffix);
    };
    profile.ExtraInputOptions = JoinLines(o_.InputOptions);
    profile.ExtraOutputOptions = JoinLines(o_.OutputOptions);

    InterruptSignal signals;
    std::vector<int> rows(o_.Files.size());
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i] = static_cast<int>(i);
    const std::vector<TBatchFileResult> results = batch.Build(engine, rows, profile);
    for (const TBatchFileResult& r : results) {
        files_[static_cast<size_t>(r.Row)].Setup = r;
        files_[static_cast<size_t>(r.Row)].Progress.ExpectedUs = r.ExpectedDuration;
        if (r.TaskIndex < 0)
            Report(r.Row, "failed", r.Error);
    }

    tasks_ = engine.TasksCount();
    if (tasks_ > 0) {
        engine.OnProgress = [this](TCustomFFmpegEngine*, TProgressInfo* info) {
            if (info)
                OnProgress(*info);
        };
        engine.OnTerminate = [this](TCustomFFmpegEngine*, const TTerminateInfo& info) {
            std::lock_guard<std::mutex> lock(terminatedLock_);
            terminated_.push_back(info);
        };
        engine.OnCustomHook = [&batch](TCustomFFmpegEngine*, THookInfo* info) { batch.CustomHook(info); };

        const auto now = Clock::now();
        nextToStart_ = std::min(o_.Jobs, tasks_);
        for (int k = 0; k < nextToStart_; ++k)
            files_[static_cast<size_t>(batch.RowOfTask(k))].Started = now;
        engine.StartTask(o_.Jobs);
        WaitForRun(engine);
        engine.OnProgress = nullptr;
        engine.OnTerminate = nullptr;
        engine.OnCustomHook = nullptr;
    }
    batch_ = nullptr;
    if (!o_.LogLevel.empty())
        FFLogger().SetOnLog(nullptr);

    if (!o_.Quiet && !o_.Json && files_.size() > 1) {
        const int failed = static_cast<int>(files_.size()) - converted_;
        Error(std::to_string(converted_) + " of " + std::to_string(files_.size()) + " files converted" +
              (failed > 0 ? ", " + std::to_string(failed) + " not" : std::string()));
    }
    if (InterruptSignal::Caught())
        return InterruptSignal::ExitStatus();
    return converted_ == static_cast<int>(files_.size()) ? kExitConverted : kExitSomeFailed;
}

} // namespace

int RunConverter(const TCliOptions& options) {
    TConverter converter(options);
    return converter.Run();
}

} // namespace kavlo::cli
