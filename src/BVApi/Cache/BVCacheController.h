#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "BVApi/Cache/BVCacheFileBackend.h"
#include "BVApi/Cache/BVCacheFilter.h"
#include "BVApi/Cache/BVCacheIndex.h"
#include "BVApi/Content/BVContentItem.h"
#include "platform/Clock.h"
#include "platform/Error.h"

class BVUserSessionItem;
class BVFolderListItem;
class BVFileItem;
class BVBinaryDataDescriptorItem;
class BVUploadFileHandle;

// The cache of one signed-in user: content items filed under a key in one index per index
// class, validated on every fetch, and file content beside them.
//
// Locks, in the order they are taken:
//   contentLock_ (the controller's lock) - serialises every content store;
//   each BVCacheIndex::lock() - the lock of its class; a descriptor's index may be held
//     while a file item's and then a listing's are taken (descriptor validation), never
//     the other way round;
//   indexCreationLock_, indexesLock_, and the backend's memory-cache lock are leaves.
// No lock is held across network I/O (the cache does none); index and item files are
// written under the lock of their class, as the design requires.
class BVCacheController {
  public:
    struct Options {
        // The clock of every validity age; the system clock when null.
        std::shared_ptr<bv::Clock> clock;
        // This run's identifier; bv::processRunIdentifier() when empty.
        std::string runtimeIdentifier;
    };

    // A new controller on the folder (created when missing, not its parents), which becomes
    // the shared controller. Raises BVCacheException "Failed to create cache directory at %@"
    // when the folder cannot be created.
    static std::shared_ptr<BVCacheController> cacheControllerAt(const std::filesystem::path& root,
                                                                Options options = {});
    // The controller created last, or null before the first one.
    static std::shared_ptr<BVCacheController> sharedController();
    // Forgets the shared controller (sign-out in tests).
    static void resetSharedController();

    BVCacheController(const std::filesystem::path& root, Options options);
    BVCacheController(const BVCacheController&) = delete;
    BVCacheController& operator=(const BVCacheController&) = delete;

    const std::filesystem::path& rootPath() const { return rootPath_; }
    BVCacheFileBackend& backend() { return *backend_; }
    double now() const { return clock_->now(); }
    const std::string& runtimeIdentifier() const { return runtimeIdentifier_; }

    // ---- Items ----
    // Indexes and persists the item. Never raises: failures are logged, and the store has
    // then not happened or happened in part (indexed in memory, files not written).
    void storeItem(const BVItemRef& item);
    // The valid item, or null (invalid, missing, unreadable).
    BVItemRef fetchItemWithKey(const std::string& key, const BVItemClass& cls);
    template <class T>
    std::shared_ptr<T> fetch(const std::string& key, const BVItemClass& cls = T::itemClass()) {
        BVItemRef item = fetchItemWithKey(key, cls);
        return item && item->isKindOf(T::itemClass()) ? std::static_pointer_cast<T>(item) : nullptr;
    }
    // Every valid item whose metadata matches, in key order.
    BVItemArray fetchItemsUsing(const BVCacheFilter& filter, const BVItemClass& cls);
    // At most one match allowed: raises "fetch item with predicate query resulted in more
    // than 1 row (%ld)." otherwise.
    BVItemRef fetchItemWithPredicate(const BVCacheFilter& filter, const BVItemClass& cls);
    // The metadata entry, not validated. fetchMetaOfItem raises for a null item or one
    // without a key.
    std::optional<nlohmann::json> fetchMetaOfItem(const BVItemRef& item);
    std::optional<nlohmann::json> fetchMetaOfItemWithKey(const std::string& key,
                                                         const BVItemClass& cls);
    // Stores the valid item again (refreshing "lastindex" and "runtimeid"); nothing when it
    // is invalid or missing.
    void touchItemForcedWithKey(const std::string& key, const BVItemClass& cls);
    // Removes entry and file. The item variants raise for a null item or one without a key.
    void purgeItem(const BVItemRef& item);
    void purgeItemWithKey(const std::string& key, const BVItemClass& cls);
    // The same, only when the key is indexed.
    void purgeItemForced(const BVItemRef& item);
    void purgeItemForcedWithKey(const std::string& key, const BVItemClass& cls);
    // Marks the entry invalid and persists the index; the item file stays.
    void invalidateItem(const BVItemRef& item);
    void invalidateItemWithKey(const std::string& key, const BVItemClass& cls);

    // The index of a class, read from disk on first use (empty when missing or damaged).
    // Indexes live as long as the controller.
    BVCacheIndex& indexOf(const BVItemClass& cls);
    BVCacheIndex& indexWithKey(const std::string& className, const BVItemClass& cls);
    // Raises "cache controller received nil item!" or "cache controller received item
    // without .cacheIndexKey!".
    static void checkItem(const BVItemRef& item);

    // ---- File content ----
    // Bytes of the file's cached content in the range (fewer at its end). Raises "Binary
    // item with identifier %@ not found." without a valid descriptor, and the backend's read
    // failure.
    bv::Data fetchBinaryDataOf(const std::string& identifier, uint64_t offset, uint64_t size);
    // The same for callers that must not see exceptions (file-system callbacks, transfer
    // threads): nothing and an error (-1000 without a descriptor, -995 when the content
    // cannot be read: -1), logged as a caught exception.
    std::optional<bv::Data> fetchBinaryDataOf(const std::string& identifier, uint64_t offset,
                                              uint64_t size, bv::Error* error) noexcept;
    // Appends a piece of the file's content and records the progress in its descriptor.
    // Without a valid descriptor nothing happens; a piece that is not at the content's
    // current end is refused and the descriptor is left as it was. Answers whether the
    // piece was stored.
    bool storeBinaryData(const bv::Data& data, int64_t offset, int64_t total,
                         const std::string& identifier);
    // Empties the stored content (the file stays, empty).
    void purgeBinaryDataForcedOf(const std::string& identifier);
    std::string pathForBinaryItemWithKey(const std::string& identifier) const;

    // ---- Typed helpers ----
    std::shared_ptr<BVUserSessionItem> fetchUserSession(const std::string& key);
    std::shared_ptr<BVFolderListItem> fetchFolderList(const std::string& folderIdentifier);
    std::shared_ptr<BVBinaryDataDescriptorItem> fetchBinaryDataDescriptor(
        const std::string& fileIdentifier);
    std::shared_ptr<BVUploadFileHandle> fetchUploadHandle(const std::string& key);
    // The listing whose path equals path ignoring case and diacritics. When several match,
    // the one whose path is byte-for-byte equal wins, else the one stored last. Never raises.
    std::shared_ptr<BVFolderListItem> fetchFolderListAt(const std::string& path);
    // The file's BVFileInfoItem, else the file entry named like the path's last component in
    // the cached listing of its parent folder.
    std::shared_ptr<BVFileItem> fetchFileItem(const std::string& fileIdentifier,
                                              const std::string& path);
    // parentFolder empty means none. Listings are changed as copies, so readers holding the
    // cached listing never see it change.
    void removeItem(const std::string& identifier, const std::string& parentFolder);
    void purgeCacheForFile(const std::string& identifier, const std::string& parentFolder);
    void purgeCacheForFolder(const std::string& identifier, const std::string& parentFolder);
    // The listings below the folder (depth first) and its own; file entries and contents stay.
    void purgeCacheForFolderContents(const std::string& folderIdentifier);
    void purgeIdentifiersForcedAt(const std::string& path);
    // Every path-to-identifier entry that maps a path to this identifier.
    void purgeIdentifiersForcedOf(const std::string& identifier);

  private:
    void finishedInit() {}
    void storeIndexOf(const std::string& key, const BVItemClass& cls);
    void deleteItemFile(const std::string& key, const BVItemClass& cls);
    void purgeCacheForFolderContents(const std::string& folderIdentifier,
                                     std::unordered_map<std::string, bool>& visited);
    // Removes the entry from the cached parent listing (a copy) and answers the new listing.
    std::shared_ptr<BVFolderListItem> listingWithout(const std::string& identifier,
                                                     const std::string& parentFolder);

    std::filesystem::path rootPath_;
    std::shared_ptr<bv::Clock> clock_;
    std::string runtimeIdentifier_;
    std::unique_ptr<BVCacheFileBackend> backend_;

    std::recursive_mutex contentLock_;       // serialises storeBinaryData across all files
    std::mutex indexCreationLock_;           // held while an index is read from disk
    mutable std::shared_mutex indexesLock_;  // guards indexes_
    std::unordered_map<std::string, std::unique_ptr<BVCacheIndex>> indexes_;
};
