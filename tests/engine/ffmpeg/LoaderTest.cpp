#include "LogCapture.h"

#include "core/TempDir.h"
#include "engine/ffmpeg/TFFmpegLoader.h"

#include <dlfcn.h>
#include <filesystem>
#include <fstream>

extern "C" {
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace kavlo {
namespace {

using LoaderTest = test::LogCapture;

// Leaves no SDL check behind for the next test.
struct SdlCheckGuard {
    explicit SdlCheckGuard(TFFmpegLoader::SdlCheckFn fn) { TFFmpegLoader::SetSdlCheck(std::move(fn)); }
    ~SdlCheckGuard() { TFFmpegLoader::SetSdlCheck(nullptr); }
};

void ExpectNoneLoaded(const TFFmpegLoader& loader, const TLibraries& set) {
    for (TLibraryId id : set)
        EXPECT_FALSE(loader.IsLoaded(id)) << TFFmpegLoader::LibraryFileName(id);
}

TEST(LoaderNames, LinuxFileNames) {
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(libAVCodec), "libavcodec.so.59");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(libAVDevice), "libavdevice.so.59");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(libAVFilter), "libavfilter.so.8");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(libAVFormat), "libavformat.so.59");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(libAVUtil), "libavutil.so.57");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(libSWScale), "libswscale.so.6");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(libSWResample), "libswresample.so.4");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(libMSVCRT), "libc.so.6");
    EXPECT_EQ(TFFmpegLoader::LibraryFileName(libSDL), "libSDL2-2.0.so.0");
    EXPECT_FALSE(kConverterLibraries.count(libAVDevice));
    EXPECT_FALSE(kConverterLibraries.count(libSDL));
    EXPECT_TRUE(kConverterLibraries.count(libSWResample));
    EXPECT_TRUE(kPlayerLibraries.count(libSDL));
}

TEST_F(LoaderTest, ConverterSetLoadsAndInstallsTheLogCallback) {
    av_log_set_callback(av_log_default_callback);
    TFFmpegLoader loader;
    EXPECT_FALSE(loader.Loaded(kConverterLibraries));
    ASSERT_TRUE(loader.Load(kConverterLibraries)) << loader.LastErrMsg();
    EXPECT_TRUE(loader.Loaded(kConverterLibraries));
    EXPECT_FALSE(loader.IsLoaded(libSDL));
    ASSERT_TRUE(loader.Load(kConverterLibraries)) << "loading again is harmless";

    av_log(nullptr, AV_LOG_ERROR, "through the logger\n");
    EXPECT_EQ(Messages(), std::vector<std::string>{"through the logger"});

    loader.Unload(kConverterLibraries);
    ExpectNoneLoaded(loader, kConverterLibraries);
    EXPECT_EQ(&FFmpegLoader(), &FFmpegLoader());
}

TEST(Loader, EmptySetIsRefused) {
    TFFmpegLoader loader;
    EXPECT_THROW(loader.Load({}), std::invalid_argument);
    EXPECT_THROW(loader.Loaded({}), std::invalid_argument);
    EXPECT_THROW(loader.Unload({}), std::invalid_argument);
}

TEST(Loader, MissingEntryPointFailsAndUnloadsTheWholeSet) {
    TFFmpegLoader loader;
    ASSERT_TRUE(loader.Load(kConverterLibraries)) << loader.LastErrMsg();
    loader.AddRequiredEntryPoint(libSWScale, "kavlo_missing_entry");
    loader.UnloadLibrary(libSWScale);

    EXPECT_FALSE(loader.Load(kConverterLibraries));
    const std::string msg = loader.LastErrMsg();
    EXPECT_EQ(msg.rfind("Load function kavlo_missing_entry@libswscale.so.6 error: ", 0), 0u) << msg;
    EXPECT_NE(msg.find("undefined symbol: kavlo_missing_entry"), std::string::npos) << msg;
    // Members loaded by the earlier call go too.
    ExpectNoneLoaded(loader, kConverterLibraries);

    loader.ClearRequiredEntryPoints();
    EXPECT_TRUE(loader.Load(kConverterLibraries)) << loader.LastErrMsg();
}

TEST(Loader, LibraryPathIsUsedWhenItHoldsTheFile) {
    test::TempDir dir;
    TFFmpegLoader loader;
    // A folder without the files: the system's search order finds them.
    loader.SetLibraryPath(dir.Root());
    EXPECT_TRUE(loader.Load(kConverterLibraries)) << loader.LastErrMsg();
    loader.Unload(kConverterLibraries);

    std::ofstream(dir.Path("libavfilter.so.8"), std::ios::binary) << std::string(256, 'g');
    for (const std::string& folder : {dir.Root(), dir.Root() + "/"}) {
        loader.SetLibraryPath(folder);
        EXPECT_FALSE(loader.Load(kConverterLibraries));
        const std::string expected = "Load library " + dir.Path("libavfilter.so.8") + " error: ";
        EXPECT_EQ(loader.LastErrMsg().rfind(expected, 0), 0u) << loader.LastErrMsg();
        ExpectNoneLoaded(loader, kConverterLibraries);
    }
}

TEST(Loader, AnotherCopyOfALinkedLibraryIsRefused) {
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&swscale_version), &info), 0);
    ASSERT_NE(info.dli_fname, nullptr);
    test::TempDir dir;
    std::filesystem::copy_file(info.dli_fname, dir.Path("libswscale.so.6"));

    TFFmpegLoader loader;
    loader.SetLibraryPath(dir.Root());
    EXPECT_FALSE(loader.LoadLibrary(libSWScale));
    EXPECT_EQ(loader.LastErrMsg(),
              "Load library " + dir.Path("libswscale.so.6") +
                  " error: another copy of this library is already in use by the program");
    EXPECT_FALSE(loader.IsLoaded(libSWScale));
}

TEST(Loader, LibraryThatCannotBeFoundReportsTheSystemsReason) {
    TFFmpegLoader loader;
    if (loader.LoadLibrary(libAVDevice))
        GTEST_SKIP() << "libavdevice is installed here";
    const std::string msg = loader.LastErrMsg();
    EXPECT_EQ(msg.rfind("Load library libavdevice.so.59 error: ", 0), 0u) << msg;
    EXPECT_NE(msg.find("cannot open shared object file"), std::string::npos) << msg;
}

TEST(Loader, PlayerSetNeedsTheRegisteredSdlCheck) {
    TFFmpegLoader loader;
    {
        SdlCheckGuard none(nullptr);
        EXPECT_FALSE(loader.Load(kPlayerLibraries));
        EXPECT_EQ(loader.LastErrMsg(),
                  "Load library libSDL2-2.0.so.0 error: SDL support is not part of this program");
        ExpectNoneLoaded(loader, kPlayerLibraries);
    }
    {
        SdlCheckGuard failing([](std::string& why) {
            why = "no audio device";
            return false;
        });
        EXPECT_FALSE(loader.Load(kPlayerLibraries));
        EXPECT_EQ(loader.LastErrMsg(), "Load library libSDL2-2.0.so.0 error: no audio device");
    }
    {
        int checks = 0;
        SdlCheckGuard passing([&](std::string&) {
            ++checks;
            return true;
        });
        ASSERT_TRUE(loader.Load(kConverterLibraries));
        EXPECT_FALSE(loader.IsLoaded(libSDL));
        ASSERT_TRUE(loader.Load(kPlayerLibraries)) << loader.LastErrMsg();
        EXPECT_TRUE(loader.Loaded(kPlayerLibraries));
        EXPECT_EQ(checks, 1);
        // Both sets share the libraries: dropping SDL leaves the converter set loaded.
        loader.UnloadLibrary(libSDL);
        EXPECT_TRUE(loader.Loaded(kConverterLibraries));
        EXPECT_FALSE(loader.Loaded(kPlayerLibraries));
    }
}

} // namespace
} // namespace kavlo
