#pragma once
#include <string>
#include <vector>

namespace kavlo {

// What a drop-down box shows, without the widget: its items, the selected item, the text (an
// editable box may hold text that is no item), and whether it can be used.
struct TComboState {
    std::vector<std::string> Items;
    int ItemIndex = -1;
    std::string Text;
    bool Editable = false;
    bool Enabled = true;
    bool GreyText = false; // drawn with the system's grey text colour
    int DropDownCount = 8;

    int IndexOf(const std::string& text) const {
        for (size_t i = 0; i < Items.size(); ++i)
            if (Items[i] == text)
                return static_cast<int>(i);
        return -1;
    }
    // Selects an item; an index outside the list clears the selection and the text.
    void Select(int index) {
        if (index >= 0 && index < static_cast<int>(Items.size())) {
            ItemIndex = index;
            Text = Items[static_cast<size_t>(index)];
        } else {
            ItemIndex = -1;
            Text.clear();
        }
    }
    // An editable box takes any text (selecting the item it names, if any); a fixed box can only
    // select the item with that text.
    void SetText(const std::string& text) {
        const int i = IndexOf(text);
        if (Editable) {
            Text = text;
            ItemIndex = i;
        } else {
            Select(i);
        }
    }
    void Clear() {
        Items.clear();
        ItemIndex = -1;
        Text.clear();
    }
};

} // namespace kavlo
