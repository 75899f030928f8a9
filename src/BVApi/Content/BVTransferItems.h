#pragma once

#include <atomic>

#include "BVApi/Content/BVContentItem.h"
#include "platform/Error.h"

// How much of a file's content is in the local cache. The two counters may be read by
// waiting threads while the download thread advances them.
class BVBinaryDataDescriptorItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    std::string description() const override;

    bool isCompleted() const { return completedBytes.load() == totalBytes.load(); }
    // Whether length bytes can be read: that many are held, or the whole (non-empty) file is.
    bool isBytesReady(int64_t length) const;

    bool encrypted = false;
    std::atomic<int64_t> completedBytes{0};
    std::atomic<int64_t> totalBytes{0};
    std::string path;
    bv::Error error;  // of a failed download; not archived
};

// An open upload of one file.
class BVUploadFileHandle : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    std::string description() const override;

    std::string tempLocation;
    nlohmann::json requireHash;      // as sent
    nlohmann::json requireHashOnly;  // as sent
    std::string path;
    int64_t isUploading = 0;
    int64_t size = 0;  // not archived
};

// The answer to one uploaded chunk.
class BVChunkUploadResult : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    std::string description() const override;

    nlohmann::json bytesWritten;  // as sent
};
