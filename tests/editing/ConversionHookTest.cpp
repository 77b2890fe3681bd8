#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "EditingTestUtil.h"
#include "editing/ConversionHook.h"

using namespace kavlo;
using namespace kavlo::test;

TEST(HookEnabledFor, OnlyRealEffectsRequestTheHook) {
    struct Case {
        const char* what;
        void (*change)(TlvFilesRecord&);
        bool enabled;
    } cases[] = {
        {"untouched record", [](TlvFilesRecord&) {}, false},
        {"contrast 10", [](TlvFilesRecord& r) { r.Contrast = 10; }, true},
        {"brightness 300", [](TlvFilesRecord& r) { r.Brightness = 300; }, true},
        {"brightness 256 (identity, still not the stored neutral)",
         [](TlvFilesRecord& r) { r.Brightness = 256; }, true},
        {"saturation 0", [](TlvFilesRecord& r) { r.Saturation = 0; }, true},
        {"exposure -1", [](TlvFilesRecord& r) { r.Exposure = -1; }, true},
        {"text", [](TlvFilesRecord& r) { r.WatermarkText = "x"; }, true},
        {"image", [](TlvFilesRecord& r) { r.WatermarkImageFile = "mark.bmp"; }, true},
        {"ProcessText only", [](TlvFilesRecord& r) { r.ProcessText = true; }, false},
        {"ProcessImage only", [](TlvFilesRecord& r) { r.ProcessImage = true; }, false},
        {"positions, alpha, style and font only",
         [](TlvFilesRecord& r) {
             r.TextX = 5;
             r.ImageY = 7;
             r.ImageAlpha = 0;
             r.ImageBlendStyle = 2;
             r.WatermarkFont.Bold = true;
         },
         false},
    };
    for (const Case& c : cases) {
        TlvFilesRecord r;
        c.change(r);
        EXPECT_EQ(HookEnabledFor(r), c.enabled) << c.what;
    }
}

TEST(ApplyTaskEffects, FindsTheRecordThroughTheTaskRows) {
    // Three rows, the middle one unchecked: tasks 0 and 1 run rows 0 and 2.
    std::vector<TlvFilesRecord> rows(3);
    rows[0].Exposure = 100;
    rows[1].Brightness = 0;
    rows[2].Saturation = 0;
    const std::vector<int> taskRows = {0, 2};
    const RecordOfRow recordOf = [&](int row) -> const TlvFilesRecord* {
        return row >= 0 && row < static_cast<int>(rows.size()) ? &rows[row] : nullptr;
    };
    Bitmap24 frame = Solid(4, 2, {10, 200, 30});
    ApplyTaskEffects(1, frame, taskRows, recordOf);
    EXPECT_EQ(PixelAt(frame, 3, 1), (Bgr{79, 79, 79})); // row 2's saturation 0 (with brightness 255)

    frame = Solid(1, 1, {128, 128, 128});
    ApplyTaskEffects(0, frame, taskRows, recordOf);
    EXPECT_EQ(PixelAt(frame, 0, 0), (Bgr{196, 196, 196})); // row 0's exposure 100
}

TEST(ApplyTaskEffects, UnknownTaskOrRowIsAnErrorAndTheFrameStays) {
    std::vector<TlvFilesRecord> rows(1);
    rows[0].Saturation = 0;
    const RecordOfRow recordOf = [&](int row) -> const TlvFilesRecord* {
        return row == 0 ? &rows[0] : nullptr;
    };
    const Bitmap24 source = Noise(5, 3);
    for (auto [task, taskRows] : {std::pair{-1, std::vector<int>{0}}, std::pair{1, std::vector<int>{0}},
                                  std::pair{0, std::vector<int>{}}, std::pair{0, std::vector<int>{4}}}) {
        Bitmap24 frame = source;
        EXPECT_THROW(ApplyTaskEffects(task, frame, taskRows, recordOf), std::runtime_error) << task;
        EXPECT_TRUE(SamePixels(frame, source));
    }
    Bitmap24 frame = source;
    EXPECT_THROW(ApplyTaskEffects(0, frame, {0}, RecordOfRow{}), std::runtime_error);
}
