#include "queue/TBatchRun.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "editing/ConversionHook.h"
#include "engine/TCustomFFmpegEngine.h"
#include "engine/TInputOptions.h"
#include "engine/TOutputOptions.h"
#include "probe/TFileStreamInfo.h"
#include "profiles/ProfileNames.h"

namespace kavlo {

namespace {

void AppendLines(std::string& options, const std::string& extra) {
    if (extra.empty())
        return;
    if (!options.empty())
        options += "\n";
    options += extra;
}

} // namespace

TBatchRun::TBatchRun(RecordOfRow records) : records_(std::move(records)) {}

int TBatchRun::RowOfTask(int taskIndex) const {
    if (taskIndex < 0 || taskIndex >= static_cast<int>(taskRows_.size()))
        return -1;
    return taskRows_[static_cast<size_t>(taskIndex)];
}

std::vector<TBatchFileResult> TBatchRun::Build(TCustomFFmpegEngine& engine,
                                               const std::vector<int>& checkedRows,
                                               const TBatchProfile& profile) {
    if (!profile.FormatFile || !profile.Choices || !profile.Messages || !profile.OutputName)
        throw std::invalid_argument("TBatchRun::Build: incomplete profile");
    taskRows_.clear();
    taskRows_.reserve(checkedRows.size());
    engine.ClearTasks();
    std::vector<TBatchFileResult> results;
    results.reserve(checkedRows.size());
    for (int row : checkedRows)
        results.push_back(BuildOne(engine, row, profile));
    return results;
}

TBatchFileResult TBatchRun::BuildOne(TCustomFFmpegEngine& engine, int row, const TBatchProfile& profile) {
    TBatchFileResult result;
    result.Row = row;
    TlvFilesRecord* record = records_(row);
    if (!record) {
        result.Error = "No file in row " + std::to_string(row);
        return result;
    }

    TInputOptions input;
    input.FileName = record->SourceFile;

    // A file that can no longer be opened fails here; it must not run with another file's facts.
    if (!probe_.LoadFile(record->SourceFile)) {
        result.Error = probe_.LastErrMsg();
        if (result.Error.empty())
            result.Error = "Cannot open " + record->SourceFile;
        return result;
    }
    struct CloseProbe {
        TAVProbe& probe;
        ~CloseProbe() { probe.CloseFile(); }
    } closeProbe{probe_};

    TFileStreamInfo fileInfo;
    if (probe_.GetFileStreamInfo(fileInfo) && fileInfo.Duration > 0)
        result.SourceDuration = fileInfo.Duration;

    input.FileFormat = probe_.FormatName();
    if (record->TrimStart >= 0)
        input.StartTime = record->TrimStart;

    const std::string section = FormatSectionName(profile.Code);
    int task = -1;
    bool mapped = false;
    try {
        const std::string ext = profile.FormatFile->ReadString(section, "FileExt", "mp4");
        result.OutputFile = profile.OutputName(probe_.FileName(), "." + ext);

        record->ZoomMode = profile.Choices->ReadString("parazoom", "lbox");

        TOutputOptions output;
        output.FileName = result.OutputFile;
        BuildJobOptions(*record, profile.Code, output, SourceVideoOf(probe_), input, *profile.FormatFile,
                        *profile.Choices, *profile.Messages);
        if (record->TrimLength > 0)
            output.RecordingTime = record->TrimLength;
        AppendLines(input.ExtOptions, profile.ExtraInputOptions);
        AppendLines(output.ExtOptions, profile.ExtraOutputOptions);

        const int64_t start = std::max<int64_t>(record->TrimStart, 0);
        if (result.SourceDuration > 0)
            result.ExpectedDuration = std::max<int64_t>(result.SourceDuration - start, 0);
        if (record->TrimLength > 0)
            result.ExpectedDuration = result.ExpectedDuration < 0
                                          ? record->TrimLength
                                          : std::min(result.ExpectedDuration, record->TrimLength);

        task = engine.AddTask(record->SourceFile, &input);
        if (task < 0) {
            result.Error = engine.LastErrMsg();
            return result;
        }
        // The engine appends; anything else would break the task-to-row table.
        if (task != static_cast<int>(taskRows_.size()))
            throw std::logic_error("engine task " + std::to_string(task) + " does not follow task " +
                                   std::to_string(taskRows_.size() - 1));
        taskRows_.push_back(row);
        mapped = true;

        output.HookEnabled = HookEnabledFor(*record);
        if (!engine.SetOutputFile(task, result.OutputFile, &output)) {
            // A task without its output would only fail later with a message about the missing
            // output; drop it now and report the real reason.
            result.Error = engine.LastErrMsg();
            engine.RemoveTask(task);
            taskRows_.pop_back();
            return result;
        }
        result.TaskIndex = task;
    } catch (const std::exception& e) {
        result.Error = e.what();
        if (task >= 0 && result.TaskIndex < 0) {
            engine.RemoveTask(task);
            if (mapped)
                taskRows_.pop_back();
        }
    }
    return result;
}

void TBatchRun::CustomHook(THookInfo* hookInfo) const {
    if (!hookInfo || !hookInfo->Bitmap)
        return;
    ApplyTaskEffects(hookInfo->TaskIndex, *hookInfo->Bitmap, taskRows_,
                     [this](int row) -> const TlvFilesRecord* { return records_(row); });
}

std::optional<TThreadPriority> ThreadPriorityOfSetting(int value) {
    switch (value) {
    case 0:
        return TThreadPriority::tpIdle;
    case 1:
        return TThreadPriority::tpNormal;
    case 2:
        return TThreadPriority::tpLower;
    case 3:
        return TThreadPriority::tpLowest;
    default:
        return std::nullopt;
    }
}

void ApplyPrioritySetting(TCustomFFmpegEngine& engine, int value) {
    if (auto p = ThreadPriorityOfSetting(value))
        engine.SetThreadPriority(*p);
}

int TaskProgressPercent(const TProgressInfo& info) {
    if (info.TotalDuration <= 0)
        return 0;
    const int64_t pct = std::max<int64_t>(info.CurrentDuration, 0) * 100 / info.TotalDuration;
    return static_cast<int>(std::min<int64_t>(pct, 100));
}

} // namespace kavlo
