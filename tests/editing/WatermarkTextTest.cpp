#include <algorithm>
#include <climits>
#include <string>

#include <QFontDatabase>
#include <gtest/gtest.h>

#include "EditingTestUtil.h"
#include "editing/GuiApplication.h"
#include "editing/WatermarkText.h"

using namespace kavlo;
using namespace kavlo::test;

namespace {

struct Box {
    int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1; // inclusive; right < 0 = empty
    bool Empty() const { return right < 0; }
    int Height() const { return bottom - top + 1; }
};

// Pixels that differ from `background`.
Box ChangedBox(const Bitmap24& bmp, Bgr background) {
    Box b;
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x)
            if (PixelAt(bmp, x, y) != background) {
                b.left = std::min(b.left, x);
                b.top = std::min(b.top, y);
                b.right = std::max(b.right, x);
                b.bottom = std::max(b.bottom, y);
            }
    return b;
}

WatermarkFont Font(int size, BgrColor color = MakeBgrColor(255, 0, 0)) {
    WatermarkFont f;
    f.Name = "DejaVu Sans";
    f.Size = size;
    f.Color = color;
    return f;
}

class WatermarkText : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureGuiApplication(); }
    void SetUp() override {
        if (!QFontDatabase::hasFamily("DejaVu Sans"))
            GTEST_SKIP() << "DejaVu Sans is not installed (scripts/install-deps.sh installs it)";
    }
};

} // namespace

TEST_F(WatermarkText, DrawsInTheFontColourFromTheTopLeftCorner) {
    Bitmap24 frame = Solid(200, 60, {0, 0, 0});
    DrawWatermarkText(frame, "Kavlo", Font(20), 30, 10);
    const Box box = ChangedBox(frame, {0, 0, 0});
    ASSERT_FALSE(box.Empty());
    EXPECT_GE(box.left, 29);
    EXPECT_LE(box.left, 34);
    EXPECT_GE(box.top, 10);
    EXPECT_LE(box.top, 16); // cap height sits a few pixels below the top of the text cell
    bool fullRed = false;
    for (int y = 0; y < frame.Height(); ++y)
        for (int x = 0; x < frame.Width(); ++x) {
            const Bgr p = PixelAt(frame, x, y);
            ASSERT_EQ(p[0], 0) << "blue must stay 0 for red text on black";
            ASSERT_EQ(p[1], 0) << "green must stay 0 for red text on black";
            fullRed = fullRed || p[2] == 255;
        }
    EXPECT_TRUE(fullRed);
}

TEST_F(WatermarkText, PointSizeBecomesPixelsAt96PerInch) {
    EXPECT_EQ(WatermarkFontPixelSize(8), 11);
    EXPECT_EQ(WatermarkFontPixelSize(36), 48);
    EXPECT_EQ(WatermarkFontPixelSize(70), 93);
    EXPECT_EQ(WatermarkFontPixelSize(0), 11); // no size: the default 8 points
    // DejaVu Sans capitals are 0.73 em high: 35 pixels at 48 pixels per em.
    Bitmap24 frame = Solid(120, 100, {0, 0, 0});
    DrawWatermarkText(frame, "H", Font(36), 5, 5);
    const Box box = ChangedBox(frame, {0, 0, 0});
    ASSERT_FALSE(box.Empty());
    EXPECT_GE(box.Height(), 33);
    EXPECT_LE(box.Height(), 37);
}

TEST_F(WatermarkText, EveryStyleAttributeChangesTheRendering) {
    auto render = [](WatermarkFont f) {
        Bitmap24 frame = Solid(200, 50, {0, 0, 0});
        DrawWatermarkText(frame, "Watermark", f, 4, 4); // no descenders
        return frame;
    };
    const WatermarkFont plain = Font(18);
    WatermarkFont bold = plain, italic = plain, underline = plain, strike = plain;
    bold.Bold = true;
    italic.Italic = true;
    underline.Underline = true;
    strike.StrikeOut = true;
    const Bitmap24 images[] = {render(plain), render(bold), render(italic), render(underline),
                               render(strike)};
    for (size_t i = 0; i < std::size(images); ++i)
        for (size_t j = i + 1; j < std::size(images); ++j)
            EXPECT_FALSE(SamePixels(images[i], images[j])) << "styles " << i << " and " << j;
    // The underline lies below everything the plain text covers.
    EXPECT_GT(ChangedBox(images[3], {0, 0, 0}).bottom, ChangedBox(images[0], {0, 0, 0}).bottom);
}

TEST_F(WatermarkText, MissingFamilyFallsBackToTheDefaultSansSerif) {
    WatermarkFont missing = Font(14);
    missing.Name = "MS Sans Serif"; // the record's default, not installed here
    ASSERT_FALSE(QFontDatabase::hasFamily("MS Sans Serif"));
    WatermarkFont fallback = Font(14);
    fallback.Name = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family().toStdString();
    Bitmap24 a = Solid(120, 40, {0, 0, 0}), b = a;
    DrawWatermarkText(a, "Fallback", missing, 2, 2);
    DrawWatermarkText(b, "Fallback", fallback, 2, 2);
    EXPECT_FALSE(ChangedBox(a, {0, 0, 0}).Empty());
    EXPECT_TRUE(SamePixels(a, b));
}

TEST_F(WatermarkText, ClippedAtTheEdgesAndNothingPastThem) {
    struct Case {
        int x, y;
        bool drawsSomething;
    } cases[] = {{50, 20, true},    {-20, -5, true},   {64, 0, false},      {0, 32, false},
                 {-5000, 0, false}, {0, -5000, false}, {INT_MAX, 5, false}, {INT_MIN, INT_MIN, false}};
    for (const Case& c : cases) {
        Bitmap24 frame = Solid(63, 32, {9, 9, 9}); // rows padded
        MarkPadding(frame);
        DrawWatermarkText(frame, "Clipped text", Font(16, MakeBgrColor(255, 255, 255)), c.x, c.y);
        const Box box = ChangedBox(frame, {9, 9, 9});
        EXPECT_EQ(!box.Empty(), c.drawsSomething) << c.x << "," << c.y;
        if (!box.Empty()) {
            EXPECT_GE(box.left, std::max(0, c.x - 1));
            EXPECT_GE(box.top, std::max(0, c.y));
        }
        EXPECT_TRUE(PaddingIntact(frame)) << c.x << "," << c.y;
    }
}

TEST_F(WatermarkText, LineBreaksStayOnOneLine) {
    Bitmap24 oneLine = Solid(200, 60, {0, 0, 0}), twoLines = oneLine;
    DrawWatermarkText(oneLine, "ab cd", Font(12), 2, 2);
    DrawWatermarkText(twoLines, "ab\ncd", Font(12), 2, 2);
    EXPECT_TRUE(SamePixels(oneLine, twoLines));
}

TEST_F(WatermarkText, EmptyTextDrawsNothing) {
    Bitmap24 frame = Noise(20, 10);
    const Bitmap24 before = frame;
    DrawWatermarkText(frame, "", Font(12), 0, 0);
    EXPECT_TRUE(SamePixels(frame, before));
}
