#include "engine/ffmpeg/TFFmpegLoader.h"

#include "core/TextUtils.h"
#include "engine/ffmpeg/TFFLogger.h"

#include <cstdint>
#include <dlfcn.h>
#include <gnu/lib-names.h>
#include <stdexcept>
#include <sys/stat.h>

extern "C" {
#include <libavcodec/version.h>
#include <libavfilter/version.h>
#include <libavformat/version.h>
#include <libavutil/version.h>
#include <libswresample/version.h>
#include <libswscale/version.h>
}

namespace kavlo {

const TLibraries kConverterLibraries = {libAVCodec, libAVFilter,   libAVFormat, libAVUtil,
                                        libSWScale, libSWResample, libMSVCRT};
const TLibraries kPlayerLibraries = {libAVCodec, libAVFilter,   libAVFormat, libAVUtil,
                                     libSWScale, libSWResample, libMSVCRT,   libSDL};

namespace {

enum class TVersionKind {
    FFmpeg, // unsigned xxx_version(void), AV_VERSION_INT layout
    Sdl,    // void SDL_GetVersion(SDL_version*)
    None    // presence only
};

struct TLibraryItem {
    TLibraryId id;
    std::string fileName;
    const char* versionEntry; // the entry point every load binds and calls
    TVersionKind versionKind;
    int builtMajor;
    bool linked; // linked into the program: the opened module must be that very copy
};

std::string SoName(const char* base, int major) {
    return "lib" + std::string(base) + ".so." + std::to_string(major);
}

// Never destroyed: the loader singleton walks it in its own destructor at program exit, and a
// function-local table built after the singleton would be gone by then.
const std::vector<TLibraryItem>& LibraryTable() {
    static const std::vector<TLibraryItem>* table = new const std::vector<TLibraryItem>{
        {libAVCodec, SoName("avcodec", LIBAVCODEC_VERSION_MAJOR), "avcodec_version", TVersionKind::FFmpeg,
         LIBAVCODEC_VERSION_MAJOR, true},
        // avdevice is not linked; its major moves in step with avcodec's.
        {libAVDevice, SoName("avdevice", LIBAVCODEC_VERSION_MAJOR), "avdevice_version", TVersionKind::FFmpeg,
         LIBAVCODEC_VERSION_MAJOR, false},
        {libAVFilter, SoName("avfilter", LIBAVFILTER_VERSION_MAJOR), "avfilter_version", TVersionKind::FFmpeg,
         LIBAVFILTER_VERSION_MAJOR, true},
        {libAVFormat, SoName("avformat", LIBAVFORMAT_VERSION_MAJOR), "avformat_version", TVersionKind::FFmpeg,
         LIBAVFORMAT_VERSION_MAJOR, true},
        {libAVUtil, SoName("avutil", LIBAVUTIL_VERSION_MAJOR), "avutil_version", TVersionKind::FFmpeg,
         LIBAVUTIL_VERSION_MAJOR, true},
        {libSWScale, SoName("swscale", LIBSWSCALE_VERSION_MAJOR), "swscale_version", TVersionKind::FFmpeg,
         LIBSWSCALE_VERSION_MAJOR, true},
        {libSWResample, SoName("swresample", LIBSWRESAMPLE_VERSION_MAJOR), "swresample_version",
         TVersionKind::FFmpeg, LIBSWRESAMPLE_VERSION_MAJOR, true},
        {libMSVCRT, LIBC_SO, "gnu_get_libc_version", TVersionKind::None, -1, true},
        {libSDL, "libSDL2-2.0.so.0", "SDL_GetVersion", TVersionKind::Sdl, 2, false},
    };
    return *table;
}

const TLibraryItem& Item(TLibraryId id) {
    for (const TLibraryItem& item : LibraryTable())
        if (item.id == id)
            return item;
    throw std::invalid_argument("unknown library id " + std::to_string(static_cast<int>(id)));
}

std::mutex gSdlCheckLock;
TFFmpegLoader::SdlCheckFn gSdlCheck;

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string DlError() {
    const char* e = ::dlerror();
    return e ? std::string(e) : std::string("unknown error");
}

void RequireNonEmpty(const TLibraries& libraries) {
    if (libraries.empty())
        throw std::invalid_argument("empty library set");
}

} // namespace

void TFFmpegLoader::SetSdlCheck(SdlCheckFn check) {
    std::lock_guard<std::mutex> lock(gSdlCheckLock);
    gSdlCheck = std::move(check);
}

TFFmpegLoader::~TFFmpegLoader() {
    std::lock_guard<std::mutex> lock(lock_);
    for (const TLibraryItem& item : LibraryTable())
        UnloadLibraryLocked(item.id);
}

void TFFmpegLoader::SetLibraryPath(const std::string& folder) {
    std::lock_guard<std::mutex> lock(lock_);
    libraryPath_ = folder;
}

std::string TFFmpegLoader::LibraryPath() const {
    std::lock_guard<std::mutex> lock(lock_);
    return libraryPath_;
}

std::string TFFmpegLoader::LibraryFileName(TLibraryId id) {
    return Item(id).fileName;
}

std::string TFFmpegLoader::LastErrMsg() const {
    std::lock_guard<std::mutex> lock(lock_);
    return lastErrMsg_;
}

void TFFmpegLoader::AddRequiredEntryPoint(TLibraryId id, const std::string& name) {
    std::lock_guard<std::mutex> lock(lock_);
    extraEntryPoints_[id].push_back(name);
}

void TFFmpegLoader::ClearRequiredEntryPoints() {
    std::lock_guard<std::mutex> lock(lock_);
    extraEntryPoints_.clear();
}

bool TFFmpegLoader::Bind(TLibraryId id, const std::string& fileName, void* handle) {
    const TLibraryItem& item = Item(id);
    std::vector<std::string> entries{item.versionEntry};
    if (auto it = extraEntryPoints_.find(id); it != extraEntryPoints_.end())
        entries.insert(entries.end(), it->second.begin(), it->second.end());

    void* versionEntry = nullptr;
    for (const std::string& name : entries) {
        ::dlerror();
        void* p = ::dlsym(handle, name.c_str());
        if (!p) {
            lastErrMsg_ = Format("Load function %s@%s error: %s", name.c_str(), item.fileName.c_str(),
                                 DlError().c_str());
            return false;
        }
        if (!versionEntry)
            versionEntry = p;
    }

    if (item.linked) {
        // The program calls the copy it was linked with; a same-named copy from another folder
        // would be checked in its place and then never used.
        void* linkedCopy = ::dlopen(item.fileName.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (linkedCopy)
            ::dlclose(linkedCopy);
        if (linkedCopy != handle) {
            lastErrMsg_ = Format("Load library %s error: %s", fileName.c_str(),
                                 "another copy of this library is already in use by the program");
            return false;
        }
    }

    switch (item.versionKind) {
    case TVersionKind::FFmpeg: {
        const unsigned version = reinterpret_cast<unsigned (*)()>(versionEntry)();
        const int major = static_cast<int>(version >> 16);
        if (major != item.builtMajor) {
            lastErrMsg_ =
                Format("Load library %s error: version %d.%u.%u found, %d expected", fileName.c_str(), major,
                       (version >> 8) & 0xFF, version & 0xFF, item.builtMajor);
            return false;
        }
        break;
    }
    case TVersionKind::Sdl: {
        struct {
            uint8_t major, minor, patch;
        } v{};
        reinterpret_cast<void (*)(void*)>(versionEntry)(&v);
        if (v.major != item.builtMajor) {
            lastErrMsg_ = Format("Load library %s error: version %u.%u.%u found, %d expected",
                                 fileName.c_str(), v.major, v.minor, v.patch, item.builtMajor);
            return false;
        }
        SdlCheckFn check;
        {
            std::lock_guard<std::mutex> lock(gSdlCheckLock);
            check = gSdlCheck;
        }
        std::string reason;
        if (!check)
            reason = "SDL support is not part of this program";
        else if (!check(reason) && reason.empty())
            reason = "audio subsystem unavailable";
        if (!reason.empty()) {
            lastErrMsg_ = Format("Load library %s error: %s", fileName.c_str(), reason.c_str());
            return false;
        }
        break;
    }
    case TVersionKind::None:
        break;
    }
    return true;
}

bool TFFmpegLoader::LoadLibraryLocked(TLibraryId id) {
    const TLibraryItem& item = Item(id);
    TLibraryStatus& st = status_[id];
    std::string path = item.fileName;
    if (!st.handle) {
        if (!libraryPath_.empty()) {
            std::string folder = libraryPath_;
            if (folder.back() != '/')
                folder += '/';
            if (IsRegularFile(folder + item.fileName))
                path = folder + item.fileName;
        }
        ::dlerror();
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            lastErrMsg_ = Format("Load library %s error: %s", path.c_str(), DlError().c_str());
            return false;
        }
        st.handle = handle;
    }
    if (!st.loaded)
        st.loaded = Bind(id, path, st.handle);
    if (!st.loaded) {
        ::dlclose(st.handle);
        st.handle = nullptr;
    }
    return st.loaded;
}

bool TFFmpegLoader::LoadLibrary(TLibraryId id) {
    bool ok;
    {
        std::lock_guard<std::mutex> lock(lock_);
        ok = LoadLibraryLocked(id);
    }
    if (ok && id == libAVUtil)
        FFLogger().InstallLogCallback();
    return ok;
}

bool TFFmpegLoader::Load(const TLibraries& libraries) {
    RequireNonEmpty(libraries);
    for (TLibraryId id : libraries) {
        if (!LoadLibrary(id)) {
            Unload(libraries);
            return false;
        }
    }
    return true;
}

bool TFFmpegLoader::IsLoaded(TLibraryId id) const {
    std::lock_guard<std::mutex> lock(lock_);
    auto it = status_.find(id);
    return it != status_.end() && it->second.handle && it->second.loaded;
}

bool TFFmpegLoader::Loaded(const TLibraries& libraries) const {
    RequireNonEmpty(libraries);
    for (TLibraryId id : libraries)
        if (!IsLoaded(id))
            return false;
    return true;
}

void TFFmpegLoader::UnloadLibraryLocked(TLibraryId id) {
    auto it = status_.find(id);
    if (it == status_.end())
        return;
    it->second.loaded = false;
    if (it->second.handle) {
        ::dlclose(it->second.handle);
        it->second.handle = nullptr;
    }
}

void TFFmpegLoader::UnloadLibrary(TLibraryId id) {
    std::lock_guard<std::mutex> lock(lock_);
    UnloadLibraryLocked(id);
}

void TFFmpegLoader::Unload(const TLibraries& libraries) {
    RequireNonEmpty(libraries);
    for (TLibraryId id : libraries)
        UnloadLibrary(id);
}

TFFmpegLoader& FFmpegLoader() {
    static TFFmpegLoader loader;
    return loader;
}

} // namespace kavlo
