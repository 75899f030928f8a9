#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "BVApi/Cache/BVCacheContentStream.h"
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
class BVCacheWriter;

// The cache of one signed-in user: content items filed under a key in one index per index
// class, validated on every fetch, and file content beside them.
//
// Stores, purges and invalidations change memory only; index and item files are written
// by the controller's writer thread soon after (BVCacheWriter), each changed file once per
// flush, items before the indexes that name them, so a crash loses at most the changes of
// the last moments and never leaves an index naming an item file older than its entry.
// flush() writes everything at once; the destructor does so as well.
//
// Locks, in the order they are taken:
//   flushLock_ - held by one flush at a time, across its file I/O; nothing else waits on it;
//   each BVCacheIndex::lock() - the lock of its class, held only around memory changes and
//     lookups; no file I/O, no validation and no logging happens under it;
//   indexCreationLock_ - held while an index is read from disk on first use of its class;
//   streamsLock_, indexesLock_, the backend's memory-cache lock and each content stream's
//     lock are leaves.
// No lock is held across network I/O (the cache does none).
class BVCacheController {
  public:
    // The error of a read whose cached content failed its checks and was dropped.
    static constexpr int64_t kErrorContentDamaged = -980;

    struct Options {
        // The clock of every validity age; the system clock when null.
        std::shared_ptr<bv::Clock> clock;
        // This run's identifier; bv::processRunIdentifier() when empty.
        std::string runtimeIdentifier;
        // How long after a change the writer flushes, gathering the changes that follow.
        std::chrono::milliseconds writeDelay{500};
    };

    // A new controller on the folder (created when missing, not its parents), which becomes
    // the shared controller. Raises BVCacheException "Failed to create cache directory at %@"
    // when the folder cannot be created.
    static std::shared_ptr<BVCacheController> cacheControllerAt(const std::filesystem::path& root,
                                                                Options options);
    static std::shared_ptr<BVCacheController> cacheControllerAt(const std::filesystem::path& root);
    // The controller created last, or null before the first one.
    static std::shared_ptr<BVCacheController> sharedController();
    // Forgets the shared controller (sign-out in tests).
    static void resetSharedController();

    BVCacheController(const std::filesystem::path& root, Options options);
    // Stops the writer after writing everything that changed.
    ~BVCacheController();
    BVCacheController(const BVCacheController&) = delete;
    BVCacheController& operator=(const BVCacheController&) = delete;

    const std::filesystem::path& rootPath() const { return rootPath_; }
    BVCacheFileBackend& backend() { return *backend_; }
    double now() const { return clock_->now(); }
    const std::string& runtimeIdentifier() const { return runtimeIdentifier_; }

    // Writes every change made so far (the descriptors of open contents,
    // item files, indexes) before it returns.
    void flush();
    // flush(), then stops the writer; later changes are written by the next flush() or the
    // destructor. Idempotent.
    void shutdown();

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
    // Content that fails its checks is never answered: it is logged and dropped (descriptor
    // and content) so the next download fetches it again, and the damage is raised
    // (BVCacheDamagedException).
    // The same for callers that must not see exceptions (file-system callbacks, transfer
    // threads): nothing and an error (-1000 without a descriptor, -995 when the content
    // cannot be read: -1, kErrorContentDamaged when it was dropped as damaged), logged as a
    // caught exception.
    std::optional<bv::Data> fetchBinaryDataOf(const std::string& identifier, uint64_t offset,
                                              uint64_t size, bv::Error* error) noexcept;
    // Whether every byte the file's descriptor claims passes its checks, for callers that
    // take the content file as it is (a copy of it); damaged content is dropped as above.
    bool verifyBinaryDataOf(const std::string& identifier) noexcept;
    // Appends a piece of the file's content and records the progress in its descriptor,
    // through the file's content stream. Without a valid descriptor nothing happens; a piece
    // that is not at the content's current end is refused and the descriptor is left as it
    // was. A piece that reaches a known total (total > 0) finishes the stream. Answers whether
    // the piece was stored.
    bool storeBinaryData(const bv::Data& data, int64_t offset, int64_t total,
                         const std::string& identifier);
    // The file's content is whole at total bytes (an upload's mirror once the service has the
    // file): its open stream is finished, so the descriptor it persists claims every byte and
    // the content file is closed at the next flush. False, and nothing changes, when no stream
    // of the file is open or the stream holds another length.
    bool finishBinaryDataOf(const std::string& identifier, uint64_t total);
    // The content stream of the file: the open one, else a new one on the content file when
    // the file has a valid descriptor (null without one). A download appends through it and
    // ends it with finish() or fail(); readers wait on it for bytes. It stays the file's
    // stream until it ends or its content or descriptor is purged.
    std::shared_ptr<BVCacheContentStream> contentStreamFor(const std::string& identifier);
    // The open content stream of the file, or null; never opens one.
    std::shared_ptr<BVCacheContentStream> openContentStream(const std::string& identifier);
    // Empties the stored content (the file stays, empty); an open stream of it is abandoned.
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
    struct IndexSlot {
        std::unique_ptr<BVCacheIndex> index;
        const BVItemClass* cls;
        // False when an unreadable index file could not be moved aside: it is never replaced.
        bool writable;
    };

    void finishedInit() {}
    void dropDamagedContent(const BVItemRef& descriptor, const std::string& problem);
    // The valid item and the entry it was validated against (null when there is none).
    BVItemRef fetchValidated(const std::string& key, const BVItemClass& cls,
                             BVCacheIndex::Snapshot* entry);
    // Indexes the item and defers its file; when ifStill is given, only while the entry of
    // the key is still that one. reindex false writes the file only, keeping the entry.
    bool storeEntry(const BVItemRef& item, BVCacheIndex& index, bool reindex,
                    const BVCacheIndex::Snapshot* ifStill);
    // The archive to write for a descriptor whose content stream is open: it claims only
    // the durable bytes. Nothing for other items.
    std::optional<bv::Data> durableArchiveOf(const BVItemRef& item);
    void persistStream(const std::shared_ptr<BVCacheContentStream>& stream,
                       const BVCacheContentStream::Durable& durable);
    void abandonStream(const std::string& identifier, const BVItemRef& unlessFor = nullptr);
    void flushLocked(bool everything);
    void changed();
    void purgeCacheForFolderContents(const std::string& folderIdentifier,
                                     std::unordered_map<std::string, bool>& visited);
    // Removes the entry from the cached parent listing (a copy) and answers the new listing,
    // with the entry the listing was fetched under.
    std::shared_ptr<BVFolderListItem> listingWithout(const std::string& identifier,
                                                     const std::string& parentFolder,
                                                     BVCacheIndex::Snapshot* entry);
    void updateListingWithout(const std::string& identifier, const std::string& parentFolder,
                              bool reindex);

    std::filesystem::path rootPath_;
    std::shared_ptr<bv::Clock> clock_;
    std::string runtimeIdentifier_;
    // Shared with the content streams, which may outlive the controller in a reader's hands.
    std::shared_ptr<BVCacheFileBackend> backend_;

    std::mutex indexCreationLock_;           // held while an index is read from disk
    mutable std::shared_mutex indexesLock_;  // guards indexes_
    std::unordered_map<std::string, IndexSlot> indexes_;

    std::mutex streamsLock_;  // guards streams_
    std::unordered_map<std::string, std::shared_ptr<BVCacheContentStream>> streams_;

    std::mutex flushLock_;                   // one flush at a time
    std::shared_ptr<BVCacheWriter> writer_;  // last member: started when the rest exists
};
