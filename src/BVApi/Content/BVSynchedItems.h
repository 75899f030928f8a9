#pragma once

#include "BVApi/Content/BVContentItem.h"

// An item kept as a file in the cloud and synchronised by modification date.
class BVSynchedItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    double dateModified = 0;
};

// The extended attributes of the files of the drive, by path (identifier "default").
class BVSharedXAttrs : public BVSynchedItem {
    BV_ITEM_CLASS()
  public:
    BVSharedXAttrs() { identifier = "default"; }

    BVXattrMap xattrsByPath;
};
