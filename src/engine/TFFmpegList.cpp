#include "engine/TFFmpegList.h"

namespace kavlo {

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> task) {
    items_.push_back(std::move(task));
    return Count() - 1;
}

void TFFmpegList::Delete(int index) {
    // The task leaves the list before it is freed, so that a lookup during its destruction does
    // not find it.
    std::unique_ptr<TFFmpeg> task = std::move(items_.at(index));
    items_.erase(items_.begin() + index);
    task.reset();
}

void TFFmpegList::Clear() {
    std::vector<std::unique_ptr<TFFmpeg>> items;
    items.swap(items_);
    items.clear();
}

int TFFmpegList::IndexOf(const TCustomFFmpeg* task) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i].get() == task)
            return static_cast<int>(i);
    return -1;
}

} // namespace kavlo
