#pragma once
#include "engine/TFFmpeg.h"

#include <memory>
#include <vector>

namespace kavlo {

// The component's ordered task list; owns its tasks (deleting or clearing frees them).
class TFFmpegList {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    TFFmpeg* Items(int index) const { return items_.at(index).get(); }
    int Add(std::unique_ptr<TFFmpeg> task);
    void Delete(int index);
    void Clear();
    // Position of a task in the list; -1 when it is not there.
    int IndexOf(const TCustomFFmpeg* task) const;

private:
    std::vector<std::unique_ptr<TFFmpeg>> items_;
};

} // namespace kavlo
