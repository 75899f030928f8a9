#pragma once

#include "BVApi/Content/BVContentItem.h"

// A file in a listing.
class BVFileItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    std::string description() const override;

    std::string name;  // NFD
    int64_t size = 0;
    int64_t requireCompression = 0;
    double dateModified = 0;
};

// A file in a listing of shared content.
class BVSharedFileItem : public BVFileItem {
    BV_ITEM_CLASS()
  public:
    nlohmann::json shareMode;
};

// Full information on one file.
class BVFileInfoItem : public BVFileItem {
    BV_ITEM_CLASS()
  public:
    std::string path;
    std::string link;
    std::string downloadLink;
    std::string streamingLink;
    std::string fileDescription;
    nlohmann::json price;
    nlohmann::json access;
};

// The thumbnail image bytes of a file (identifier: the file's).
class BVFileThumbnailItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    bv::Data data;
};
