#include "profiles/TProfileCatalogue.h"

#include "core/Settings.h"
#include "core/TextUtils.h"

namespace kavlo {

namespace {
// The caption of a profile row is never shown; the row's text is.
constexpr const char* kProfileRowCaption = "profile";
} // namespace

void TProfileCatalogue::FillCatalogue(const IniFile& settings) {
    names_.Clear();
    rows_.clear();
    selected_ = -1;
    listVisible_ = false;
    for (const auto& category : CatalogueCategories()) {
        Row row;
        row.Text = category.Caption;
        row.Info.IsCategory = true;
        row.Info.Caption = category.Caption;
        row.Info.Code = category.Number;
        row.Info.Collapsed =
            settings.ReadBool(settings::kCatalogueSection, std::to_string(category.Number), true);
        rows_.push_back(row);
        names_.StoreCategory(category);
        if (!row.Info.Collapsed)
            InsertProfiles(RowCount() - 1, kBuildSlots);
    }
    boxText_ = settings.ReadString(settings::kSection, settings::kFormatName, settings::kFormatNameDefault);
    SelectByText(boxText_);
}

void TProfileCatalogue::SaveCatalogueState(const IniFile& settings) const {
    std::vector<std::pair<std::string, std::string>> values;
    for (const auto& row : rows_)
        if (row.Info.IsCategory)
            values.emplace_back(std::to_string(row.Info.Code), row.Info.Collapsed ? "1" : "0");
    settings.WriteValues(settings::kCatalogueSection, values);
}

bool TProfileCatalogue::IsCategoryRow(int row) const {
    return row >= 0 && row < RowCount() && rows_[static_cast<size_t>(row)].Info.IsCategory;
}

void TProfileCatalogue::InsertProfiles(int categoryRow, int slots) {
    const int number = rows_[static_cast<size_t>(categoryRow)].Info.Code;
    // Rows go in one after another below the category, so a gap among the slots never leaves
    // a profile under the wrong category.
    int at = categoryRow + 1;
    for (int slot = 0; slot < slots; ++slot) {
        const std::string& name = names_.Name(number, slot);
        if (name.empty())
            continue;
        Row row;
        row.Text = name;
        row.Info.IsProfile = true;
        row.Info.Caption = kProfileRowCaption;
        row.Info.Collapsed = false;
        row.Info.Code = number * 100 + slot;
        rows_.insert(rows_.begin() + at, row);
        if (selected_ >= at)
            ++selected_;
        ++at;
    }
    rows_[static_cast<size_t>(categoryRow)].Info.Collapsed = false;
}

bool TProfileCatalogue::Expand(int row) {
    if (!IsCategoryRow(row) || !rows_[static_cast<size_t>(row)].Info.Collapsed)
        return false;
    InsertProfiles(row, kExpandSlots);
    return true;
}

bool TProfileCatalogue::Collapse(int row) {
    if (!IsCategoryRow(row) || rows_[static_cast<size_t>(row)].Info.Collapsed)
        return false;
    const int first = row + 1;
    int last = first;
    while (last < RowCount() && rows_[static_cast<size_t>(last)].Info.IsProfile)
        ++last;
    if (selected_ >= first && selected_ < last)
        selected_ = row;
    else if (selected_ >= last)
        selected_ -= last - first;
    rows_.erase(rows_.begin() + first, rows_.begin() + last);
    rows_[static_cast<size_t>(row)].Info.Collapsed = true;
    return true;
}

bool TProfileCatalogue::Toggle(int row) {
    if (!IsCategoryRow(row))
        return false;
    return rows_[static_cast<size_t>(row)].Info.Collapsed ? Expand(row) : Collapse(row);
}

bool TProfileCatalogue::MouseDown(int row, int x) {
    if (row < 0 || row >= RowCount())
        return false;
    if (rows_[static_cast<size_t>(row)].Info.IsCategory) {
        if (x < kGlyphWidth)
            Toggle(row);
        return false;
    }
    return true;
}

void TProfileCatalogue::DoubleClick(int row) {
    if (IsCategoryRow(row))
        Toggle(row);
}

bool TProfileCatalogue::SelectProfile(int row, const IniFile* settings) {
    if (row < 0 || row >= RowCount() || !rows_[static_cast<size_t>(row)].Info.IsProfile)
        return false;
    const Row& r = rows_[static_cast<size_t>(row)];
    const std::string code = std::to_string(r.Info.Code);
    if (settings)
        settings->WriteValues(settings::kSection,
                              {{settings::kFormatName, r.Text}, {settings::kFormatCode, code}});
    formatName_ = r.Text;
    formatCode_ = code;
    boxText_ = r.Text;
    selected_ = row;
    listVisible_ = false;
    return true;
}

void TProfileCatalogue::SetSelected(int row) {
    selected_ = (row >= 0 && row < RowCount()) ? row : -1;
}

void TProfileCatalogue::SelectByText(const std::string& text) {
    const std::string wanted = Trim(text);
    selected_ = -1;
    for (int i = 0; i < RowCount(); ++i)
        if (rows_[static_cast<size_t>(i)].Text == wanted) {
            selected_ = i;
            return;
        }
}

void TProfileCatalogue::ReloadFormatName(const IniFile& settings) {
    boxText_ = settings.ReadString(settings::kSection, settings::kFormatName, settings::kFormatNameDefault);
    SelectByText(boxText_);
}

int TProfileCatalogue::BuildListHeight(int rows) {
    return rows * kRowHeight < 363 ? (rows + 1) * kRowHeight : 362;
}

int TProfileCatalogue::ClickListHeight(int rows) {
    return rows * kRowHeight > 386 ? 386 : rows * kRowHeight + kRowHeight;
}

int TProfileCatalogue::DialogListHeight(int rows) {
    return rows * kRowHeight > 247 ? 247 : rows * kRowHeight + kRowHeight;
}

} // namespace kavlo
