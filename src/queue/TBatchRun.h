#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/IniFile.h"
#include "core/TlvFilesRecord.h"
#include "engine/THookInfo.h"
#include "engine/TProgressInfo.h"
#include "engine/ThreadPriority.h"
#include "probe/TAVProbe.h"
#include "profiles/IUserMessages.h"
#include "profiles/JobOptionBuilder.h"
#include "profiles/TProfileSettings.h"
#include "profiles/TSourceVideo.h"

namespace kavlo {

class TCustomFFmpegEngine;

// The profile a batch converts with, and where its outputs go.
struct TBatchProfile {
    int Code = 1;
    const IniFile* FormatFile = nullptr;
    // The user's choices for the profile (the settings file's section, or values held in memory).
    const TProfileSettings* Choices = nullptr;
    // Questions and messages of the job option builder.
    IUserMessages* Messages = nullptr;
    // Names the output of a source; suffix is "." + the profile's "FileExt". Throws
    // std::runtime_error when no output can be named (the file then fails with its message).
    std::function<std::string(const std::string& source, const std::string& suffix)> OutputName;
    // Further engine options (name=value lines) appended to every job's input and output.
    std::string ExtraInputOptions;
    std::string ExtraOutputOptions;
};

// What became of one checked row when the batch was set up.
struct TBatchFileResult {
    int Row = -1;
    int TaskIndex = -1;            // the engine task converting it; -1 when the file failed at set-up
    std::string OutputFile;        // named output; empty when the file failed before it was named
    std::string Error;             // why the file failed at set-up
    int64_t SourceDuration = -1;   // µs, -1 when unknown
    int64_t ExpectedDuration = -1; // µs of output the job should produce, -1 when unknown
};

// The Start rules of the conversion list: one engine task per checked row, in list order, and
// the task-to-row table the hook and the progress handlers look rows up in. A row whose file
// cannot be opened, whose options the builder rejects, or whose task the engine refuses gets no
// task at all and reports why, so task k always converts the file of row TaskRows()[k].
class TBatchRun {
public:
    using RecordOfRow = std::function<TlvFilesRecord*(int row)>;

    explicit TBatchRun(RecordOfRow records);

    // Clears the engine's tasks and creates the batch's tasks for the checked rows (in list
    // order). The engine must have its libraries loaded and must not be working. One result per
    // row, in the same order.
    std::vector<TBatchFileResult> Build(TCustomFFmpegEngine& engine, const std::vector<int>& checkedRows,
                                        const TBatchProfile& profile);

    // The list row of each task of the current batch (task index k -> row).
    const std::vector<int>& TaskRows() const { return taskRows_; }
    // The row of a task, -1 for an index outside the batch.
    int RowOfTask(int taskIndex) const;
    void Clear() { taskRows_.clear(); }

    // The engine's custom-hook handler: applies the task's record to the frame (runs on the
    // conversion's worker thread).
    void CustomHook(THookInfo* hookInfo) const;

private:
    TBatchFileResult BuildOne(TCustomFFmpegEngine& engine, int row, const TBatchProfile& profile);

    RecordOfRow records_;
    std::vector<int> taskRows_;
    TAVProbe probe_;
};

// The worker priority of the "priority" setting: 0 idle, 1 normal, 2 lower, 3 lowest; nothing
// for any other value (the engine keeps its setting).
std::optional<TThreadPriority> ThreadPriorityOfSetting(int value);
// Sets the engine's ThreadPriority from the setting's value (other values leave it).
void ApplyPrioritySetting(TCustomFFmpegEngine& engine, int value);

// The row's progress in percent: CurrentDuration x 100 div TotalDuration, 0 when the total is
// not known, never above 100.
int TaskProgressPercent(const TProgressInfo& info);

} // namespace kavlo
