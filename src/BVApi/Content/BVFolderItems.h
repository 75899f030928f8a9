#pragma once

#include "BVApi/Content/BVContentItem.h"

// A folder in a listing.
class BVFolderItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    std::string description() const override;
    bool isEncrypted() const { return encrypted != 0; }

    std::string name;  // NFD
    int64_t encrypted = 0;
    double dateCreated = 0;
    double dateModified = 0;
};

// A folder shared with the user.
class BVSharedFolderItem : public BVFolderItem {
    BV_ITEM_CLASS()
  public:
    nlohmann::json shareMode;
};

// Full information on one folder.
class BVFolderInfoItem : public BVFolderItem {
    BV_ITEM_CLASS()
  public:
    std::string path;
    std::string link;
    std::string folderDescription;
    nlohmann::json access;
};
