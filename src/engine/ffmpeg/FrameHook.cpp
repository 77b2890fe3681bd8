#include "engine/ffmpeg/FrameHook.h"

#include <dlfcn.h>
#include <map>
#include <mutex>
#include <new>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace kavlo {

namespace {

// Modules by the name they were added with. They stay loaded until the program ends: a task's
// chain may still point into them while another task adds the same module.
struct TModuleCache {
    std::mutex lock;
    std::map<std::string, void*> modules;
};

TModuleCache& ModuleCache() {
    static TModuleCache cache;
    return cache;
}

// The module's handle, or nullptr with the loader's reason in error.
void* ModuleHandle(const std::string& name, std::string& error) {
    TModuleCache& cache = ModuleCache();
    std::lock_guard<std::mutex> lock(cache.lock);
    auto it = cache.modules.find(name);
    if (it != cache.modules.end())
        return it->second;
    ::dlerror();
    // A name with a folder part is opened from there; the module's own dependencies are found
    // through its run path, so neither the current folder nor any search variable is changed.
    void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* e = ::dlerror();
        error = e ? e : "cannot load module";
        return nullptr;
    }
    cache.modules.emplace(name, handle);
    return handle;
}

template <typename Fn> Fn Entry(void* module, const char* name) {
    return reinterpret_cast<Fn>(::dlsym(module, name));
}

} // namespace

TFrameHookList::~TFrameHookList() {
    FrameHookRelease(*this);
}

int FrameHookAdd(TFrameHookList& list, int argc, char* argv[]) {
    if (argc <= 0 || !argv || !argv[0])
        return AVERROR(ENOENT);
    const char* name = argv[0];

    std::string error;
    void* module = ModuleHandle(name, error);
    if (!module) {
        av_log(nullptr, AV_LOG_ERROR, "%s\n", error.c_str());
        return -1;
    }

    try {
        list.Entries.reserve(list.Entries.size() + 1);
    } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
    }

    TFrameHookEntry entry;
    entry.Configure = Entry<FrameHookConfigureFn>(module, "Configure");
    entry.Process = Entry<FrameHookProcessFn>(module, "Process");
    entry.Release = Entry<FrameHookReleaseFn>(module, "Release");

    if (!entry.Process) {
        av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n", name);
        return AVERROR(ENOENT);
    }
    if (!entry.Configure && argc > 1) {
        av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n", name);
        return AVERROR(ENOENT);
    }
    if (entry.Configure && entry.Configure(&entry.Ctx, argc, argv) != 0) {
        av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", name);
        return AVERROR(EINVAL);
    }
    list.Entries.push_back(entry); // capacity reserved above: cannot throw
    return 0;
}

int FrameHookAdd(TFrameHookList& list, const std::vector<std::string>& args) {
    std::vector<std::string> copies(args);
    std::vector<char*> argv;
    for (std::string& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return FrameHookAdd(list, static_cast<int>(copies.size()), argv.data());
}

void FrameHookProcess(TFrameHookList& list, TFrameHookPicture* picture, int pixFmt, int width, int height,
                      int64_t pts) {
    for (TFrameHookEntry& e : list.Entries)
        e.Process(e.Ctx, picture, pixFmt, width, height, pts);
}

void FrameHookRelease(TFrameHookList& list) {
    for (TFrameHookEntry& e : list.Entries)
        if (e.Release)
            e.Release(e.Ctx);
    list.Entries.clear();
}

TFrameHookPicture FrameHookPictureOf(const AVFrame* frame) {
    TFrameHookPicture p{};
    for (int i = 0; i < 8 && i < AV_NUM_DATA_POINTERS; ++i) {
        p.data[i] = frame->data[i];
        p.linesize[i] = frame->linesize[i];
    }
    return p;
}

} // namespace kavlo
