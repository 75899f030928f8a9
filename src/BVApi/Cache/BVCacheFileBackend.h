#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "BVApi/Cache/BVCacheBackend.h"
#include "platform/UniqueFd.h"

// The cache in one flat folder: "<Class>.index" per index class, "<Class>.<md5(key)>.cache"
// per item, "<md5(identifier)>.binary" per file content with the checksums of its blocks in
// "<md5(identifier)>.crc", or in an attribute of the content file while it is shorter than a
// block (BVCacheChecksums). The folder is owner-only (0700),
// its files 0600; index and item files are replaced by rename of a temporary file, so a
// failed write or a full disk leaves the previous version readable. Only index files are
// synced before the rename: an item file that a power loss leaves missing, cut or old
// cannot be decoded (or is merely stale), is dropped and fetched again, and content is
// checked against its checksums at every read; the cache holds nothing that exists
// nowhere else, and a sync per item would cost one per file written. The 100 most
// recently used items are kept decoded in memory. Creating a backend trims the item and
// content files, oldest first, to cacheSizeLimit.
//
// Besides the immediate operations of BVCacheBackend, item files can be written and removed
// later: the deferred operations only change memory, and writeDeferredItems(), run by the
// controller's writer, puts them on disk. Until then reads answer the deferred state. An index
// or item file that cannot be read is never taken for an empty or missing one: an unreadable
// index is moved aside (kept under a suffixed name) before a new one may replace it.
class BVCacheFileBackend : public BVCacheBackend {
  public:
    static constexpr uint64_t kCacheSizeLimit = 134217728;
    static constexpr int64_t kMemcacheLimit = 100;
    // Seconds within which a content file's date counts as its last use: a read touches the
    // date only when it is older.
    static constexpr int64_t kUseDateResolution = 60;

    // Creates the folder (not its parents) when nothing exists at rootPath; raises
    // BVCacheException "BVCacheFileBackend" "Failed to create cache directory at %@" when it
    // cannot, or when the path holds a NUL.
    explicit BVCacheFileBackend(std::filesystem::path rootPath);

    void storeIndex(BVCacheIndex& index, const BVItemClass& cls) override;
    // Nothing for a missing file; a file that cannot be read or decoded is moved aside first.
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
    // The checksum file of the content file of key (content shorter than a block keeps its
    // checksums in an attribute of the content file where the file system allows).
    std::string pathForChecksumsWithKey(const std::string& key) const;

    // Suffix of an index file that could not be read, kept beside the live one.
    // ".unreadable", then ".unreadable-2" and so on up to kUnreadableCopies.
    static constexpr const char* kUnreadableSuffix = ".unreadable";
    static constexpr int kUnreadableCopies = 10;

    // The index of the class as restoreIndex answers it, and whether the index file may be
    // replaced: false when an unreadable file could not be moved aside (it is then kept as
    // it is, and the index lives in memory only).
    struct RestoredIndex {
        std::unique_ptr<BVCacheIndex> index;
        bool writable = true;
    };
    RestoredIndex restoreIndexKeepingUnreadable(const BVItemClass& cls);
    // Replaces the index file of the class with an archive; raises as storeIndex does
    // (entries is the count shown in the reason).
    void storeIndexData(const bv::Data& archive, size_t entries, const BVItemClass& cls);

    // ---- Deferred item files ----
    // Keeps the item in memory and marks its file to be written: archive when given (a
    // snapshot taken by the caller), else the item's own archive at write time. Nothing is
    // logged; answers the number of memory copies evicted, for logStoredItem().
    size_t storeItemDeferred(const BVItemRef& item, std::optional<bv::Data> archive = {});
    // The store's log records ("BVCacheBackend.storeItem. ..."), written after the caller
    // released its locks.
    void logStoredItem(size_t evicted) const;
    // Forgets the memory copy and marks the item file to be deleted.
    void purgeItemDeferred(const std::string& key, const BVItemClass& cls);
    // Writes or deletes every marked item file; answers how many files changed. Failures are
    // logged as the immediate operations log them.
    size_t writeDeferredItems();
    bool hasDeferredItems() const;
    // Creates the empty content file of a descriptor when it is missing.
    void createContentFileIfMissing(const std::string& identifier);
    // Makes the renames and removals in the folder durable.
    void syncFolder();

    // ---- Content files held open ----
    // The content file of key opened for appending (created when missing) and its length.
    struct OpenContent {
        bv::UniqueFd fd;
        uint64_t length = 0;
    };
    // Bytes of an existing file that its checksums do not cover (a crash between the two, a
    // cache from before checksums) are dropped first: the file is then emptied.
    std::optional<OpenContent> openContentForAppend(const std::string& key);
    // Writes data at offset of an open content file and records its checksums; on a failure
    // the file is cut back to offset, so it never holds a torn or unrecorded piece.
    bool appendContent(int fd, const std::string& key, const bv::Data& data, uint64_t offset);
    // Empties an open content file and drops its checksums.
    bool emptyContent(int fd, const std::string& key);

    // Writes the content's dirty pages out and waits for them (an fdatasync); false and a
    // log record when that fails.
    bool writeOutContent(int fd, const std::string& key);

    // Every fsync and fdatasync the backend made (files and folder).
    uint64_t fsyncCount() const { return fsyncCount_.load(); }

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
    // For tests: called before each read and write of a file's bytes, on the thread doing it.
    // It may block (a slow disk); an answer other than 0 makes the operation fail part-way
    // with that errno. Replaces a write fault.
    enum class Io { Read, Write };
    using IoFault = std::function<int(Io io, const std::string& path)>;
    void setIoFault(IoFault fault);

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

    // An item file to be written (archive or the item's own) or deleted (remove).
    struct DeferredItem {
        BVItemRef item;
        std::optional<bv::Data> archive;
        bool remove = false;
        uint64_t sequence = 0;
    };
    static constexpr size_t kStripes = 64;

    // Temporary file, fsync when durable, rename; false (errno set) when any step fails.
    bool writeFileAtomically(const std::string& path, const bv::Data& bytes, bool durable);
    // 0, or the errno the injected fault answers for the operation.
    int faultFor(Io io, const std::string& path);
    // The whole file; error 0, ENOENT when it is missing, another errno when it cannot be read
    // whole.
    struct FileRead {
        bv::Data data;
        int error = 0;
    };
    FileRead readFile(const std::string& path);
    bool fsyncCounted(int fd);
    // Stores and purges of an item file bump the generation of its stripe, so a read from
    // disk that raced with one does not put an older copy into memory.
    static size_t stripeOf(const std::string& path);
    // The entry of the item file of key and class, or null.
    MemcacheEntry* findLocked(const BVItemClass& cls, const std::string& key);
    void rememberLocked(const BVItemClass& cls, const std::string& key, const std::string& path,
                        BVItemRef item, bool moveToBack);
    void forgetLocked(const BVItemClass& cls, const std::string& key);
    // Trims the memory copies to the limit; answers how many went.
    size_t evictLocked();
    void removeTemporaryLeftovers();

    std::filesystem::path rootPath_;
    uint64_t cacheSizeLimit_ = kCacheSizeLimit;

    // guards memcache_, memcacheCount_, memcacheKeys_, deferred_, deferredSequence_ and
    // generations_; never held across file I/O or logging
    mutable std::mutex memcacheLock_;
    std::unordered_map<const BVItemClass*, MemcacheOfClass> memcache_;
    size_t memcacheCount_ = 0;              // entries over all classes
    std::list<MemcacheSlot> memcacheKeys_;  // use order, least recently used first
    std::unordered_map<std::string, DeferredItem> deferred_;  // by item-file path
    uint64_t deferredSequence_ = 0;
    std::array<uint64_t, kStripes> generations_{};

    std::atomic<uint64_t> fsyncCount_{0};
    std::mutex ioFaultLock_;  // guards ioFault_
    IoFault ioFault_;
};
