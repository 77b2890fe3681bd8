#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <QFontDatabase>
#include <gtest/gtest.h>

#include "EditingTestUtil.h"
#include "core/TempDir.h"
#include "editing/FrameEffects.h"
#include "editing/GuiApplication.h"
#include "editing/WatermarkImageCache.h"

using namespace kavlo;
using namespace kavlo::test;

namespace {

class ApplyFileEffectsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureGuiApplication(); }
    TempDir dir;
};

// Pure red text and a pure blue overlay on a coloured frame that the adjustment (saturation 0)
// turns grey: whatever went through the adjustment is grey afterwards.
TlvFilesRecord GreyingRecord(const std::string& imagePath) {
    TlvFilesRecord r;
    r.Brightness = 256;
    r.Contrast = 0;
    r.Saturation = 0;
    r.WatermarkText = "M";
    r.WatermarkFont.Name = "DejaVu Sans";
    r.WatermarkFont.Size = 20;
    r.WatermarkFont.Color = MakeBgrColor(255, 0, 0);
    r.TextX = 2;
    r.TextY = 2;
    r.WatermarkImageFile = imagePath;
    r.ImageX = 80;
    r.ImageY = 10;
    r.ImageAlpha = 255;
    r.ImageBlendStyle = 1;
    return r;
}

bool AnyPixel(const Bitmap24& bmp, int x0, int x1, Bgr value) {
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = x0; x < x1; ++x)
            if (PixelAt(bmp, x, y) == value)
                return true;
    return false;
}

bool AllGrey(const Bitmap24& bmp, int x0, int x1) {
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = x0; x < x1; ++x) {
            const Bgr p = PixelAt(bmp, x, y);
            if (p[0] != p[1] || p[1] != p[2])
                return false;
        }
    return true;
}

} // namespace

TEST_F(ApplyFileEffectsTest, OrderFollowsTheProcessFlags) {
    if (!QFontDatabase::hasFamily("DejaVu Sans"))
        GTEST_SKIP() << "DejaVu Sans is not installed";
    const std::string image = dir.Path("blue.bmp");
    WriteBmp24(image, Solid(20, 20, {255, 0, 0}));
    struct Case {
        bool processText, processImage;
        bool textGrey, imageGrey;
    } cases[] = {{false, false, false, false},
                 {true, false, true, false},
                 {false, true, false, true},
                 {true, true, true, true}};
    for (const Case& c : cases) {
        TlvFilesRecord r = GreyingRecord(image);
        r.ProcessText = c.processText;
        r.ProcessImage = c.processImage;
        Bitmap24 frame = Solid(120, 40, {10, 200, 30});
        ApplyFileEffects(frame, r);
        SCOPED_TRACE(testing::Message()
                     << "ProcessText " << c.processText << " ProcessImage " << c.processImage);
        EXPECT_EQ(PixelAt(frame, 60, 35), (Bgr{80, 80, 80})) << "background always adjusted";
        // Text: pure red comes out as grey 85 when adjusted.
        if (c.textGrey) {
            EXPECT_TRUE(AllGrey(frame, 0, 60));
            EXPECT_TRUE(AnyPixel(frame, 0, 60, {85, 85, 85}));
        } else {
            EXPECT_TRUE(AnyPixel(frame, 0, 60, {0, 0, 255}));
        }
        // Image: the opaque blue overlay is (254, 0, 0); adjusted it is grey 84.
        EXPECT_EQ(PixelAt(frame, 90, 20), c.imageGrey ? (Bgr{84, 84, 84}) : (Bgr{254, 0, 0}));
    }
}

TEST_F(ApplyFileEffectsTest, NeutralRecordLeavesTheFrameAlone) {
    // The stored neutral 255/0/255 would darken grey 77 to 76 if the colour routine ran.
    TlvFilesRecord r;
    r.ProcessText = true;
    r.ProcessImage = true;
    Bitmap24 frame = Solid(8, 4, {77, 77, 77});
    const Bitmap24 before = frame;
    ApplyFileEffects(frame, r);
    EXPECT_TRUE(SamePixels(frame, before));

    r.Exposure = 100; // exposure alone must not pull in the colour routine
    ApplyFileEffects(frame, r);
    EXPECT_EQ(PixelAt(frame, 0, 0), (Bgr{143, 143, 143}));
}

TEST_F(ApplyFileEffectsTest, AdjustStepIsColoursThenExposure) {
    const int settings[][4] = {
        {256, 0, 0, 100}, {512, 50, 300, -100}, {0, -100, 512, 512}, {300, 99, 7, -255}};
    const Bitmap24 source = Noise(41, 13);
    for (const auto& st : settings) {
        TlvFilesRecord r;
        r.Brightness = st[0];
        r.Contrast = st[1];
        r.Saturation = st[2];
        r.Exposure = st[3];
        Bitmap24 chained = source, separate = source;
        MarkPadding(chained);
        ApplyFileEffects(chained, r);
        AdjustColors(separate, st[0], st[1], st[2]);
        AdjustExposure(separate, static_cast<float>(st[3]));
        EXPECT_TRUE(SamePixels(chained, separate)) << st[0] << "," << st[1] << "," << st[2] << "," << st[3];
        EXPECT_TRUE(PaddingIntact(chained));
    }
}

TEST_F(ApplyFileEffectsTest, UnloadableImageThrowsAndLeavesTheFrameUntouched) {
    const std::string missing = dir.Path("gone.bmp");
    const std::string notBmp = dir.Path("text.bmp");
    std::ofstream(notBmp) << "this is not a picture";
    const std::string folder = dir.Path("folder.bmp");
    std::filesystem::create_directory(folder);
    for (const std::string& path : {missing, notBmp, folder}) {
        for (bool processImage : {false, true}) {
            TlvFilesRecord r;
            r.Saturation = 0;
            r.Exposure = 50;
            r.WatermarkImageFile = path;
            r.ProcessImage = processImage;
            Bitmap24 frame = Noise(16, 8);
            const Bitmap24 before = frame;
            try {
                ApplyFileEffects(frame, r);
                ADD_FAILURE() << "no error for " << path;
            } catch (const std::runtime_error& e) {
                EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
            }
            EXPECT_TRUE(SamePixels(frame, before)) << path;
        }
    }
}

TEST_F(ApplyFileEffectsTest, ImageCacheReusesUntilTheFileChanges) {
    const std::string path = dir.Path("mark.bmp");
    Bitmap24 first(3, 2);
    SetPixel(first, 0, 0, {1, 2, 3});
    SetPixel(first, 2, 1, {7, 8, 9});
    WriteBmp24(path, first);

    WatermarkImageCache cache;
    const auto a = cache.Load(path);
    const auto b = cache.Load(path);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(cache.DecodeCount(), 1u);
    ASSERT_EQ(a->Width(), 3);
    ASSERT_EQ(a->Height(), 2);
    EXPECT_EQ(PixelAt(*a, 0, 0), (Bgr{1, 2, 3})); // rows come out top first
    EXPECT_EQ(PixelAt(*a, 2, 1), (Bgr{7, 8, 9}));

    // Rewritten with the same size: only the modification time tells.
    const auto stamp = std::filesystem::last_write_time(path);
    WriteBmp24(path, Solid(3, 2, {40, 50, 60}));
    std::filesystem::last_write_time(path, stamp + std::chrono::seconds(2));
    const auto c = cache.Load(path);
    EXPECT_EQ(cache.DecodeCount(), 2u);
    EXPECT_EQ(PixelAt(*c, 0, 0), (Bgr{40, 50, 60}));
    EXPECT_EQ(PixelAt(*a, 0, 0), (Bgr{1, 2, 3})) << "an image in use is never changed under its user";

    std::filesystem::remove(path);
    EXPECT_THROW(cache.Load(path), std::runtime_error) << "a deleted file is an error even when cached";
}

TEST_F(ApplyFileEffectsTest, CacheKeepsOnlyTheMostRecentFiles) {
    WatermarkImageCache cache(2);
    for (int i = 0; i < 3; ++i)
        WriteBmp24(dir.Path(std::to_string(i) + ".bmp"), Solid(2, 2, {i, i, i}));
    cache.Load(dir.Path("0.bmp"));
    cache.Load(dir.Path("1.bmp"));
    cache.Load(dir.Path("0.bmp")); // 0 is now the most recent
    cache.Load(dir.Path("2.bmp")); // pushes 1 out
    EXPECT_EQ(cache.DecodeCount(), 3u);
    cache.Load(dir.Path("0.bmp"));
    EXPECT_EQ(cache.DecodeCount(), 3u);
    cache.Load(dir.Path("1.bmp"));
    EXPECT_EQ(cache.DecodeCount(), 4u);
}

TEST_F(ApplyFileEffectsTest, ConcurrentTasksGetTheSameResultAsOne) {
    if (!QFontDatabase::hasFamily("DejaVu Sans"))
        GTEST_SKIP() << "DejaVu Sans is not installed";
    const std::string image = dir.Path("overlay.bmp");
    WriteBmp24(image, Noise(30, 12, 99));
    // Two kinds of record on alternating threads, so cached tables switch between them.
    TlvFilesRecord r1 = GreyingRecord(image);
    r1.Saturation = 300;
    r1.Contrast = 40;
    r1.Exposure = -30;
    r1.ProcessText = true;
    TlvFilesRecord r2 = r1;
    r2.Brightness = 400;
    r2.Exposure = 70;
    r2.ImageBlendStyle = 2;
    r2.ProcessImage = true;
    const Bitmap24 source = Noise(160, 48, 7);
    Bitmap24 expected1 = source, expected2 = source;
    ApplyFileEffects(expected1, r1);
    ApplyFileEffects(expected2, r2);

    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const bool first = (t + i) % 2 == 0;
                Bitmap24 frame = source;
                ApplyFileEffects(frame, first ? r1 : r2);
                if (!SamePixels(frame, first ? expected1 : expected2))
                    ++mismatches[t];
            }
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}
