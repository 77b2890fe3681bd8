#pragma once
#include <string>
#include <vector>

#include "core/IniFile.h"
#include "profiles/ProfileNames.h"
#include "profiles/TItemInfo.h"

namespace kavlo {

// The two-level pick list of output profiles without its widget: the rows (text + TItemInfo),
// expanding and collapsing categories, the selected row, picking a profile, remembering the
// collapsed state and the list's height rules. The window paints Rows() and forwards the mouse.
class TProfileCatalogue {
public:
    struct Row {
        std::string Text; // category caption or profile display name
        TItemInfo Info;
    };

    static constexpr int kRowHeight = 20;
    // Slots a category's profiles are looked for in when the list is built and when expanded.
    static constexpr int kBuildSlots = 31;
    static constexpr int kExpandSlots = 50;
    // Mouse-downs left of this x on a category row expand or collapse it.
    static constexpr int kGlyphWidth = 20;

    // Builds the rows from the catalogue, the collapsed state from section "lstformat" of the
    // settings, and selects the row named by "FormatName" (which becomes BoxText()).
    void FillCatalogue(const IniFile& settings);
    // Writes the collapsed state of every category row to "lstformat".
    void SaveCatalogueState(const IniFile& settings) const;

    const std::vector<Row>& Rows() const { return rows_; }
    int RowCount() const { return static_cast<int>(rows_.size()); }
    const ProfileNames& Names() const { return names_; }

    // Inserts the category's profile rows (slots 0..49) below it; false when the row is not a
    // collapsed category.
    bool Expand(int row);
    // Removes the profile rows directly below the category; false when the row is not an
    // expanded category.
    bool Collapse(int row);
    bool Toggle(int row);

    // Mouse-down with the left button at x on a row: the glyph area of a category row
    // toggles it, a profile row is picked. Returns true when a profile was picked.
    bool MouseDown(int row, int x);
    // Double click: toggles a category row; nothing on a profile row.
    void DoubleClick(int row);

    // Picks a profile row: the window's FormatName/FormatCode and the box text take its name and
    // code, the list hides. With settings (the main window) "FormatName" and "FormatCode" of
    // section "settings" are written too; without (the settings dialog) nothing is written.
    bool SelectProfile(int row, const IniFile* settings);

    // The selected row (hover and picking move it), -1 for none.
    int Selected() const { return selected_; }
    void SetSelected(int row);
    // Selects the row whose text equals the trimmed text; none when nothing matches.
    void SelectByText(const std::string& text);
    // Reloads "FormatName" into the box and selects its row (showing the list).
    void ReloadFormatName(const IniFile& settings);

    const std::string& BoxText() const { return boxText_; }
    void SetBoxText(const std::string& text) { boxText_ = text; }
    const std::string& FormatName() const { return formatName_; }
    const std::string& FormatCode() const { return formatCode_; }
    void SetFormat(const std::string& name, const std::string& code) {
        formatName_ = name;
        formatCode_ = code;
    }
    bool ListVisible() const { return listVisible_; }
    void SetListVisible(bool v) { listVisible_ = v; }

    // List geometry of the main window: after building, and after a click on the list.
    int BuildHeight() const { return BuildListHeight(RowCount()); }
    int ClickHeight() const { return ClickListHeight(RowCount()); }
    static int BuildListHeight(int rows);
    static int BuildListTop(int boxTop, int listHeight) { return boxTop - listHeight + 395; }
    static int ClickListHeight(int rows);
    static int ClickListTop(int boxTop, int listHeight) { return boxTop - listHeight + 431; }
    // The settings dialog's list opens below its profile box.
    static int DialogListHeight(int rows);
    static int DialogListTop(int boxTop, int boxHeight) { return boxTop + boxHeight - 1; }

private:
    bool IsCategoryRow(int row) const;
    void InsertProfiles(int categoryRow, int slots);

    std::vector<Row> rows_;
    ProfileNames names_;
    int selected_ = -1;
    std::string boxText_;
    std::string formatName_;
    std::string formatCode_;
    bool listVisible_ = false;
};

} // namespace kavlo
