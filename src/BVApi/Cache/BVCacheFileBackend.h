#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "BVApi/Cache/BVCacheBackend.h"

// The cache in one flat folder: "<Class>.index" per index class, "<Class>.<md5(key)>.cache"
// per item, "<md5(identifier)>.binary" per file content. The folder is owner-only (0700),
// its files 0600; index and item files are replaced atomically (temporary file, fsync,
// rename), so a crash or a full disk leaves the previous version readable. The 100 most
// recently used items are kept decoded in memory. Creating a backend trims the item and
// content files, oldest first, to cacheSizeLimit.
class BVCacheFileBackend : public BVCacheBackend {
  public:
    static constexpr uint64_t kCacheSizeLimit = 134217728;
    static constexpr int64_t kMemcacheLimit = 100;

    // Creates the folder (not its parents) when nothing exists at rootPath; raises
    // BVCacheException "BVCacheFileBackend" "Failed to create cache directory at %@" when it
    // cannot, or when the path holds a NUL.
    explicit BVCacheFileBackend(std::filesystem::path rootPath);

    void storeIndex(BVCacheIndex& index, const BVItemClass& cls) override;
    std::unique_ptr<BVCacheIndex> restoreIndex(const BVItemClass& cls) override;
    void storeItem(const BVItemRef& item) override;
    BVItemRef restoreItem(const std::string& key, const BVItemClass& cls) override;
    void purgeItemWithKey(const std::string& key, const BVItemClass& cls) override;
    bool validateBinaryDataOf(const BVContentItem& item) override;
    bool storeBinaryData(const bv::Data& data, const std::string& key, uint64_t offset) override;
    bv::Data restoreBinaryDataOf(const BVContentItem& descriptor, uint64_t offset,
                                 uint64_t size) override;
    void purgeBinaryData(const std::string& key) override;
    std::string pathForBinaryItemWithKey(const std::string& key) const override;

    std::string pathForIndexOfClass(const BVItemClass& cls) const;
    std::string pathForItemWithKey(const std::string& key, const BVItemClass& cls) const;

    // Deletes item and content files, least recently used first, until their combined size
    // is at most limit. Index files are never counted or deleted.
    void cleanupCacheUpToSize(uint64_t limit);
    uint64_t totalCacheSize() const;
    // Item and content files, oldest modification date first.
    std::vector<std::string> sortedFilesForCleanup() const;
    static uint64_t combinedSize(const std::vector<std::string>& paths);

    bool memcacheEnabled() const { return true; }
    uint64_t cacheSizeLimit() const { return cacheSizeLimit_; }
    const std::filesystem::path& rootPath() const { return rootPath_; }
    int64_t memcacheLimit() const { return kMemcacheLimit; }
    // The item-file paths held in memory, least recently used first.
    std::vector<std::string> memcacheKeys() const;
    // Drops every decoded copy (the next reads decode from disk).
    void clearMemcache();

    // For tests: when the function answers true for a file about to be written, the write
    // fails part-way as on a full disk (ENOSPC).
    using WriteFault = std::function<bool(const std::string& path)>;
    void setWriteFault(WriteFault fault);

  private:
    // One decoded item in memory. It stands for the item file at path; it is found by class
    // and key, which name that file one to one, so a read from memory needs no file name.
    struct MemcacheSlot {
        const BVItemClass* cls;
        std::string key;
        std::string path;
    };
    struct MemcacheEntry {
        BVItemRef item;
        std::list<MemcacheSlot>::iterator position;
    };
    using MemcacheOfClass = std::unordered_map<std::string, MemcacheEntry>;

    // Temporary file, fsync, rename; false (errno set) when any step fails.
    bool writeFileAtomically(const std::string& path, const bv::Data& bytes);
    // The entry of the item file of key and class, or null.
    MemcacheEntry* findLocked(const BVItemClass& cls, const std::string& key);
    void rememberLocked(const BVItemClass& cls, const std::string& key, const std::string& path,
                        BVItemRef item, bool moveToBack);
    void forgetLocked(const BVItemClass& cls, const std::string& key);
    void evictLocked(bool logged);
    void removeTemporaryLeftovers();

    std::filesystem::path rootPath_;
    uint64_t cacheSizeLimit_ = kCacheSizeLimit;

    mutable std::mutex memcacheLock_;  // guards memcache_, memcacheCount_ and memcacheKeys_
    std::unordered_map<const BVItemClass*, MemcacheOfClass> memcache_;
    size_t memcacheCount_ = 0;              // entries over all classes
    std::list<MemcacheSlot> memcacheKeys_;  // use order, least recently used first

    std::mutex writeFaultLock_;  // guards writeFault_
    WriteFault writeFault_;
};
