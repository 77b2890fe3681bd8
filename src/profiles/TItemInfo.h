#pragma once
#include <string>

namespace kavlo {

// One row of the profile pick list: a category (with its collapsed state) or a profile.
struct TItemInfo {
    bool IsProfile = false;
    bool IsCategory = false;
    std::string Caption; // the category caption; profile rows carry a constant, unused text
    bool Collapsed = false;
    int Code = 0; // category number, or profile code (category * 100 + slot)

    bool operator==(const TItemInfo&) const = default;
};

} // namespace kavlo
