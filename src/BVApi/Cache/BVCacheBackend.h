#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "BVApi/Content/BVContentItem.h"
#include "platform/Data.h"

class BVCacheIndex;

// The storage under the cache controller. Operations documented as raising throw
// BVCacheException; the others fail soft (logged, answering nothing).
class BVCacheBackend {
  public:
    virtual ~BVCacheBackend() = default;

    // Raises "Failed to save index for %@ of %@!" when the file cannot be written; the
    // previous index file is then left as it was.
    virtual void storeIndex(BVCacheIndex& index, const BVItemClass& cls) = 0;
    // Nothing for a missing or damaged file; a damaged one must not be lost to the next
    // store (the file backend moves it aside).
    virtual std::unique_ptr<BVCacheIndex> restoreIndex(const BVItemClass& cls) = 0;
    virtual void storeItem(const BVItemRef& item) = 0;
    // Nothing for a missing or damaged file, or an item not of class cls.
    virtual BVItemRef restoreItem(const std::string& key, const BVItemClass& cls) = 0;
    // Raises "Failed removing cache file %@: %@", also when the file does not exist.
    virtual void purgeItemWithKey(const std::string& key, const BVItemClass& cls) = 0;
    // Whether the content file of the item's identifier exists.
    virtual bool validateBinaryDataOf(const BVContentItem& item) = 0;
    // Appends data to the content file of key when offset is its current length; answers
    // whether the data was appended. A refused or failed append leaves the file as it was.
    virtual bool storeBinaryData(const bv::Data& data, const std::string& key, uint64_t offset) = 0;
    // Up to size bytes from offset (fewer at the end, none past it). Raises "Failed to open
    // file %@ for reading." when the content file cannot be opened, and "Failed to read file
    // %@: %@" when it cannot be read. Raises BVCacheDamagedException when the bytes fail
    // their checks (the file backend's checksums, a file shorter than the descriptor claims).
    virtual bv::Data restoreBinaryDataOf(const BVContentItem& descriptor, uint64_t offset,
                                         uint64_t size) = 0;
    // Empties an existing content file; a missing one stays missing.
    virtual void purgeBinaryData(const std::string& key) = 0;
    virtual std::string pathForBinaryItemWithKey(const std::string& key) const = 0;
};
