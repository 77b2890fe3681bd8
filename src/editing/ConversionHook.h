#pragma once
#include <functional>
#include <vector>

#include "core/Bitmap24.h"
#include "core/TlvFilesRecord.h"

namespace kavlo {

// Whether a file's conversion needs the per-frame hook: some adjustment differs from its neutral
// value (brightness 255, contrast 0, saturation 255, exposure 0) or there is a text or image
// watermark. The process flags alone do not count.
bool HookEnabledFor(const TlvFilesRecord& record);

// Gives the record of a list row, or nullptr when the row has none.
using RecordOfRow = std::function<const TlvFilesRecord*(int row)>;

// The work of the main window's custom-hook handler, free of any engine or window type: the
// conversion task `taskIndex` runs the file of list row taskRows[taskIndex]; that row's record
// is applied to the frame with ApplyFileEffects. Runs on the conversion's worker thread and only
// reads the record. Throws std::runtime_error when the task has no row or the row no record
// (the engine then logs the message and keeps the frame as decoded), and whatever
// ApplyFileEffects throws.
void ApplyTaskEffects(int taskIndex, Bitmap24& frame, const std::vector<int>& taskRows,
                      const RecordOfRow& recordOfRow);

} // namespace kavlo
