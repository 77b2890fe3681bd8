#include "editing/ConversionHook.h"

#include <stdexcept>
#include <string>

#include "editing/FrameEffects.h"

namespace kavlo {

bool HookEnabledFor(const TlvFilesRecord& record) {
    return record.Brightness != 255 || record.Contrast != 0 || record.Saturation != 255 ||
           record.Exposure != 0 || !record.WatermarkText.empty() || !record.WatermarkImageFile.empty();
}

void ApplyTaskEffects(int taskIndex, Bitmap24& frame, const std::vector<int>& taskRows,
                      const RecordOfRow& recordOfRow) {
    if (taskIndex < 0 || static_cast<size_t>(taskIndex) >= taskRows.size())
        throw std::runtime_error("No file list row for conversion task " + std::to_string(taskIndex));
    const int row = taskRows[static_cast<size_t>(taskIndex)];
    const TlvFilesRecord* record = recordOfRow ? recordOfRow(row) : nullptr;
    if (!record)
        throw std::runtime_error("File list row " + std::to_string(row) + " of conversion task " +
                                 std::to_string(taskIndex) + " has no record");
    ApplyFileEffects(frame, *record);
}

} // namespace kavlo
