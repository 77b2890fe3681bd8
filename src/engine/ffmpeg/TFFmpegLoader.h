#pragma once
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace kavlo {

// The libraries the loader knows, in load order.
enum TLibraryId {
    libAVCodec,
    libAVDevice,
    libAVFilter,
    libAVFormat,
    libAVUtil,
    libSWScale,
    libSWResample,
    libMSVCRT, // the C run-time library (glibc here)
    libSDL
};

// A set of libraries; iterates in load order.
using TLibraries = std::set<TLibraryId>;

// What the engine and the probe need.
extern const TLibraries kConverterLibraries;
// The converter set plus SDL, for the player.
extern const TLibraries kPlayerLibraries;

// Makes sure the codec libraries (and SDL for the player) a component needs are present and are
// the generation the program was built for. The FFmpeg libraries are linked in; loading one
// opens it by its file name (from LibraryPath when that folder holds it, else through the
// system's search order), binds its entry points and compares its major version with the one
// the program was built against. Failures leave "Load library %s error: %s" or
// "Load function %s@%s error: %s" in LastErrMsg.
class TFFmpegLoader {
public:
    // SDL's audio subsystem check of the player set. The player library registers it, so that
    // the loader itself never links SDL; on false errorText says why. Without a registered check
    // the player set cannot load.
    using SdlCheckFn = std::function<bool(std::string& errorText)>;
    static void SetSdlCheck(SdlCheckFn check);

    TFFmpegLoader() = default;
    ~TFFmpegLoader();
    TFFmpegLoader(const TFFmpegLoader&) = delete;
    TFFmpegLoader& operator=(const TFFmpegLoader&) = delete;

    void SetLibraryPath(const std::string& folder);
    std::string LibraryPath() const;

    // "libavcodec.so.59", ..., "libc.so.6", "libSDL2-2.0.so.0".
    static std::string LibraryFileName(TLibraryId id);

    // Loads one library; an already loaded one is left as it is.
    bool LoadLibrary(TLibraryId id);
    // Loads every member in order; on the first failure unloads the whole set and returns false.
    // An empty set throws std::invalid_argument.
    bool Load(const TLibraries& libraries);
    bool IsLoaded(TLibraryId id) const;
    bool Loaded(const TLibraries& libraries) const;
    void UnloadLibrary(TLibraryId id);
    void Unload(const TLibraries& libraries);
    std::string LastErrMsg() const;

    // An entry point a component needs beyond the ones the loader binds itself; looked up on the
    // next load of that library (a missing one fails that load like any other entry point).
    void AddRequiredEntryPoint(TLibraryId id, const std::string& name);
    void ClearRequiredEntryPoints();

private:
    struct TLibraryStatus {
        void* handle = nullptr;
        bool loaded = false;
    };

    bool LoadLibraryLocked(TLibraryId id);
    void UnloadLibraryLocked(TLibraryId id);
    bool Bind(TLibraryId id, const std::string& fileName, void* handle);

    mutable std::mutex lock_;
    std::string libraryPath_;
    std::string lastErrMsg_;
    std::map<TLibraryId, TLibraryStatus> status_;
    std::map<TLibraryId, std::vector<std::string>> extraEntryPoints_;
};

// The process loader, created on first use.
TFFmpegLoader& FFmpegLoader();

} // namespace kavlo
