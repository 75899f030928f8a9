#pragma once

#include <string_view>

#include "BVApi/Content/BVContentItem.h"

// One user a folder is shared with.
class BVSharingUserItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    std::string name;
    nlohmann::json mode;  // text or number, as sent
};

// All users a folder is shared with.
class BVSharingUsersItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    // The first user whose name equals name exactly, or nullptr.
    std::shared_ptr<BVSharingUserItem> itemNamed(std::string_view name) const;

    std::vector<std::shared_ptr<BVSharingUserItem>> users;
};
