#pragma once
#include "engine/ffmpeg/FrameHookModule.h"

#include <string>
#include <vector>

struct AVFrame;

namespace kavlo {

// One configured module of a task's hook chain.
struct TFrameHookEntry {
    FrameHookConfigureFn Configure = nullptr;
    FrameHookProcessFn Process = nullptr;
    FrameHookReleaseFn Release = nullptr;
    void* Ctx = nullptr;
};

// The hook chain of one task, run in the order the modules were added. Releases its modules
// when it goes away.
class TFrameHookList {
public:
    TFrameHookList() = default;
    ~TFrameHookList();
    TFrameHookList(const TFrameHookList&) = delete;
    TFrameHookList& operator=(const TFrameHookList&) = delete;

    bool Empty() const { return Entries.empty(); }
    size_t Count() const { return Entries.size(); }

    std::vector<TFrameHookEntry> Entries;
};

// Adds the module argv[0] with its arguments to the chain. Modules are shared objects exporting
// "Configure", "Process" and "Release" (see FrameHookModule.h), loaded once per process and kept
// until the program ends. Returns 0, or -2 (no arguments, or an entry point missing), -1 (the
// module does not load), -12 (out of memory), -22 (Configure refused the arguments); the reason
// goes to the library log.
int FrameHookAdd(TFrameHookList& list, int argc, char* argv[]);
int FrameHookAdd(TFrameHookList& list, const std::vector<std::string>& args);
// Runs every module's Process on the picture, in list order.
void FrameHookProcess(TFrameHookList& list, TFrameHookPicture* picture, int pixFmt, int width, int height,
                      int64_t pts);
// Calls every module's Release and empties the list.
void FrameHookRelease(TFrameHookList& list);

// The planes of a frame as a hook picture (the pixels are shared, not copied).
TFrameHookPicture FrameHookPictureOf(const AVFrame* frame);

} // namespace kavlo
