#pragma once

#include "BVApi/Content/BVContentItem.h"

// The service identifier of the file at a path.
class BVFSIdItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    std::string description() const override;

    std::string path;  // the path that was asked for
};

// The service identifier of the folder at a path.
class BVFolderFSIdItem : public BVFSIdItem {
    BV_ITEM_CLASS()
};
