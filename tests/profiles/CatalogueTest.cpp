#include <gtest/gtest.h>

#include <set>

#include "core/IniFile.h"
#include "core/Settings.h"
#include "core/TempDir.h"
#include "profiles/ProfileNames.h"
#include "profiles/TProfileCatalogue.h"

namespace kavlo {
namespace {

class CatalogueTest : public ::testing::Test {
protected:
    test::TempDir dir;
    IniFile settings{dir.Path("settings.ini")};
    TProfileCatalogue list;

    int RowOf(const std::string& text) const {
        for (int i = 0; i < list.RowCount(); ++i)
            if (list.Rows()[static_cast<size_t>(i)].Text == text)
                return i;
        return -1;
    }
};

TEST(ProfileNamesTest, CatalogueHoldsEveryCategoryAndCode) {
    const auto& cats = CatalogueCategories();
    ASSERT_EQ(cats.size(), static_cast<size_t>(kCategoryCount));
    std::set<int> codes;
    size_t profiles = 0;
    for (size_t i = 0; i < cats.size(); ++i) {
        EXPECT_EQ(cats[i].Number, static_cast<int>(i));
        EXPECT_FALSE(cats[i].Profiles.empty()) << cats[i].Caption;
        profiles += cats[i].Profiles.size();
    }
    for (int code : AllProfileCodes()) {
        EXPECT_TRUE(codes.insert(code).second) << code;
        EXPECT_FALSE(CatalogueProfileName(code).empty()) << code;
    }
    EXPECT_EQ(profiles, 121u);
    EXPECT_EQ(codes.size(), profiles);
    // Spot checks of the texts the settings file stores and matches on.
    EXPECT_EQ(cats[4].Caption, "Sony PSP");
    EXPECT_EQ(CatalogueProfileName(404), "PSP Video (480P) (*.mp4)");
    EXPECT_EQ(CatalogueProfileName(0), "iPod Video MPEG-4 (*.mp4)");
    EXPECT_EQ(CatalogueProfileName(1009), "iRiver PMP-120/140/IMP-1000/1100 Video (*.avi)");
    EXPECT_EQ(CatalogueProfileName(2706), "AC-3 Audio Codec (*.ac3)");
    EXPECT_EQ(cats[27].Caption, "General Audio formates");
    EXPECT_EQ(CatalogueProfileName(2707), "");
    EXPECT_EQ(CatalogueProfileName(-1), "");
    EXPECT_EQ(CatalogueProfileName(9999), "");
    EXPECT_EQ(FormatSectionName(403), "formatInfo403");
    EXPECT_EQ(LegacyFormatNames().front(), "iPod Video MPEG-4 (*.mp4)");
    EXPECT_EQ(LegacyFormatNames().back(), "OGG Vorbis Audio Codec (*.ogg)");
}

TEST_F(CatalogueTest, FirstRunShowsAllCategoriesCollapsed) {
    list.FillCatalogue(settings);
    ASSERT_EQ(list.RowCount(), 28);
    for (int i = 0; i < 28; ++i) {
        const auto& info = list.Rows()[static_cast<size_t>(i)].Info;
        EXPECT_TRUE(info.IsCategory);
        EXPECT_FALSE(info.IsProfile);
        EXPECT_TRUE(info.Collapsed);
        EXPECT_EQ(info.Code, i);
        EXPECT_EQ(info.Caption, CatalogueCategories()[static_cast<size_t>(i)].Caption);
    }
    // 28 x 20 = 560 rows of pixels: capped after building and after a click.
    EXPECT_EQ(list.BuildHeight(), 362);
    EXPECT_EQ(list.ClickHeight(), 386);
    EXPECT_EQ(TProfileCatalogue::BuildListTop(400, 362), 433);
    // The default name matches no row: the box still shows it.
    EXPECT_EQ(list.BoxText(), settings::kFormatNameDefault);
    EXPECT_EQ(list.Selected(), -1);
    EXPECT_EQ(list.Names().Name(4, 4), "PSP Video (480P) (*.mp4)");
}

TEST_F(CatalogueTest, ExpandSelectAndCollapseSonyPsp) {
    list.FillCatalogue(settings);
    const int psp = RowOf("Sony PSP");
    ASSERT_EQ(psp, 4);
    // A press right of the glyph does nothing; on the glyph it expands.
    list.MouseDown(psp, 25);
    EXPECT_EQ(list.RowCount(), 28);
    EXPECT_FALSE(list.MouseDown(psp, 5));
    ASSERT_EQ(list.RowCount(), 33);
    EXPECT_FALSE(list.Rows()[4].Info.Collapsed);
    for (int slot = 0; slot < 5; ++slot) {
        const auto& row = list.Rows()[static_cast<size_t>(psp + 1 + slot)];
        EXPECT_TRUE(row.Info.IsProfile);
        EXPECT_EQ(row.Info.Code, 400 + slot);
        EXPECT_EQ(row.Text, CatalogueProfileName(400 + slot));
    }
    EXPECT_EQ(list.Rows()[10].Text, "Sony PS3");
    // Heights follow the row count: 33 x 20 = 660.
    EXPECT_EQ(list.BuildHeight(), 362);
    EXPECT_EQ(TProfileCatalogue::ClickListHeight(5), 120);
    EXPECT_EQ(TProfileCatalogue::BuildListHeight(5), 120);
    EXPECT_EQ(TProfileCatalogue::DialogListHeight(28), 247);

    const int row = RowOf("PSP Video (480P) (*.mp4)");
    list.SetListVisible(true);
    ASSERT_TRUE(list.MouseDown(row, 100));
    ASSERT_TRUE(list.SelectProfile(row, &settings));
    EXPECT_EQ(settings.ReadString("settings", "FormatCode", ""), "404");
    EXPECT_EQ(settings.ReadString("settings", "FormatName", ""), "PSP Video (480P) (*.mp4)");
    EXPECT_EQ(list.FormatCode(), "404");
    EXPECT_EQ(list.BoxText(), "PSP Video (480P) (*.mp4)");
    EXPECT_FALSE(list.ListVisible());
    // A category row cannot be picked as a profile.
    EXPECT_FALSE(list.SelectProfile(psp, &settings));

    // Collapse another category first, then PSP: only PSP's own rows go.
    list.DoubleClick(RowOf("Apple TV"));
    const int withTv = list.RowCount();
    EXPECT_EQ(withTv, 39);
    list.DoubleClick(RowOf("PSP Video (480P) (*.mp4)")); // a profile row: nothing
    EXPECT_EQ(list.RowCount(), withTv);
    ASSERT_TRUE(list.Collapse(RowOf("Sony PSP")));
    EXPECT_EQ(list.RowCount(), withTv - 5);
    EXPECT_EQ(list.Rows()[static_cast<size_t>(RowOf("Sony PSP") + 1)].Text, "Sony PS3");
    EXPECT_EQ(RowOf("Apple TV (640 x 480) MPEG-4 Excellent (*.mp4)"), RowOf("Apple TV") + 1);
    EXPECT_FALSE(list.Collapse(RowOf("Sony PSP")));
}

TEST_F(CatalogueTest, CollapsedStateAndChoiceSurviveRebuild) {
    list.FillCatalogue(settings);
    list.Expand(RowOf("VCD Video"));
    list.Expand(RowOf("Sony PSP"));
    list.SelectProfile(RowOf("VCD - PAL MPEG-1 Moive (*.mpg)"), &settings);
    list.SaveCatalogueState(settings);
    EXPECT_FALSE(settings.ReadBool("lstformat", "24", true));
    EXPECT_TRUE(settings.ReadBool("lstformat", "0", false));

    TProfileCatalogue again;
    again.FillCatalogue(settings);
    EXPECT_EQ(again.RowCount(), 28 + 2 + 5);
    const int selected = again.Selected();
    ASSERT_GE(selected, 0);
    EXPECT_EQ(again.Rows()[static_cast<size_t>(selected)].Info.Code, 2401);
    EXPECT_EQ(again.BoxText(), "VCD - PAL MPEG-1 Moive (*.mpg)");

    // The settings dialog picks without writing.
    const int other = [&] {
        for (int i = 0; i < again.RowCount(); ++i)
            if (again.Rows()[static_cast<size_t>(i)].Info.Code == 402)
                return i;
        return -1;
    }();
    ASSERT_TRUE(again.SelectProfile(other, nullptr));
    EXPECT_EQ(again.FormatCode(), "402");
    EXPECT_EQ(settings.ReadString("settings", "FormatCode", ""), "2401");
}

} // namespace
} // namespace kavlo
