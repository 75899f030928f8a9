#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "BVApi/Cache/BVCacheContentItem.h"
#include "BVApi/Cache/BVCacheFilter.h"
#include "BVApi/Content/BVContentItem.h"
#include "platform/Data.h"

class BVCacheController;

// Result of validating an index entry.
enum BVCacheIndexMetaValidation : int64_t {
    BVCacheIndexMetaInvalid = 1,
    BVCacheIndexMetaNotFound = 2,
    BVCacheIndexMetaValid = 3,
};

// The keys of one item class and the metadata entry of each. The index is also the lock of
// its class: the controller holds lock() around sequences of index operations that must not
// interleave with other writers of the class, and never across file I/O. Each operation
// below takes the lock itself as well, so single calls are safe from any thread. Entries are
// immutable once made; a change replaces the entry, so a snapshot taken under the lock can
// be read after the lock is released.
class BVCacheIndex {
  public:
    static constexpr const char* kControllerVersion = "1.0";

    BVCacheIndex() = default;
    BVCacheIndex(const BVCacheIndex&) = delete;
    BVCacheIndex& operator=(const BVCacheIndex&) = delete;

    // The re-entrant lock of this index's class.
    std::recursive_mutex& lock() const { return lock_; }

    // One metadata entry as it was when looked up.
    struct Entry {
        // The entry of a listing indexed by the item's reference lacks "files" and "folders"
        // here (nothing that validates reads them); metaFor(), the queries and the archive
        // answer them.
        nlohmann::json meta;
        // What every validation reads of meta, taken whenever meta is set or changed.
        BVCacheMetaFacts facts;
    };
    using Snapshot = std::shared_ptr<const Entry>;
    // The entry of key, or null. Two snapshots of a key are the same pointer while the entry
    // has not changed.
    Snapshot snapshotFor(const std::string& key) const;
    // The validity of an entry looked up before (validateMetaFor without the lookup).
    static BVCacheIndexMetaValidation validate(const Snapshot& entry,
                                               BVCacheController& controller);
    // Removes the entry of key when it still is the one snapshotted; answers whether it did.
    bool purgeIndexFor(const std::string& key, const Snapshot& ifStill);

    // Files the item under its cache key, replacing any previous entry of the key: its
    // cacheIndexMeta plus "vhash", "runtimeid", "controller_version", "lastindex" (now),
    // "invalidated" (false) and "key".
    void index(const BVContentItem& item, double now, const std::string& runtimeIdentifier);
    // The same, except that a listing's names are taken from it only when the entry is first
    // archived or answered whole: a change of a folder of n entries then costs no copy of its
    // n names, only each flush does. The listing must not change once indexed (listings are
    // changed as copies), and is held until then.
    void index(const std::shared_ptr<const BVContentItem>& item, double now,
               const std::string& runtimeIdentifier);
    void purgeIndexFor(const std::string& key);
    // The entries that match, in key order.
    std::vector<nlohmann::json> queryUsingPredicate(const BVCacheFilter& filter) const;
    // The keys of those entries, in the same order.
    std::vector<std::string> queryKeysUsingPredicate(const BVCacheFilter& filter) const;
    // How many entries have a "path" whose folded form (BVCacheFilter::folded) is folded,
    // and, when there is exactly one, its key.
    size_t keysWithFoldedPath(const std::string& folded, std::string* soleKey) const;
    bool haveIndexFor(const std::string& key) const;
    // Marks the entry invalid; nothing when there is none.
    void invalidateMetaFor(const std::string& key);
    BVCacheIndexMetaValidation validateMetaFor(const std::string& key,
                                               BVCacheController& controller) const;
    std::optional<nlohmann::json> metaFor(const std::string& key) const;
    void setMeta(nlohmann::json meta, const std::string& key);

    size_t count() const;
    std::vector<std::string> keys() const;
    double lastUpdateTime() const { return lastUpdateTime_; }

    // The keyed archive of the index ("$class" "BVCacheIndex", "lastUpdateTime", "index",
    // "meta"). Entries keep their encoded form between calls, so writing an index of n entries
    // after one change costs one entry's encoding and n copies.
    bv::Data archivedData();
    // Whether the index changed since it was last archived through archiveIfChanged().
    bool changed() const;
    // The archive and the entry count when the index changed since then, else nothing; the
    // index then counts as unchanged until the next change or markChanged().
    std::optional<std::pair<bv::Data, size_t>> archiveIfChanged();
    // After an archive could not be written.
    void markChanged();
    // The index held in an archive, or nothing when it is damaged. Never throws.
    static std::unique_ptr<BVCacheIndex> unarchive(const bv::Data& data);

  private:
    struct Slot {
        Snapshot entry;
        std::string encodedKey;   // CBOR of the key; empty while the entry is stale
        std::string encodedMeta;  // CBOR of the whole meta; empty while the entry is stale
        // entry->meta lacks the listing's "files" and "folders": they are in names until the
        // entry is encoded, in encodedMeta afterwards.
        bool namesApart = false;
        std::shared_ptr<const BVContentItem> names;
    };

    static Snapshot entryFor(nlohmann::json meta);
    static nlohmann::json commonMeta(const BVContentItem& item, nlohmann::json meta, double now,
                                     const std::string& runtimeIdentifier);
    // The entry's meta with every key, the names included.
    static nlohmann::json wholeMetaLocked(const Slot& slot);

    void insertLocked(const std::string& key, nlohmann::json meta,
                      std::shared_ptr<const BVContentItem> names = nullptr);
    void eraseLocked(const std::string& key);
    void forgetPathLocked(const std::string& key, const nlohmann::json& meta);
    void rememberPathLocked(const std::string& key, const nlohmann::json& meta);
    void markStaleLocked(const std::string& key, Slot& slot);

    mutable std::recursive_mutex lock_;  // guards everything below
    double lastUpdateTime_ = 0;
    bool changed_ = false;
    std::map<std::string, Slot> entries_;  // the key set ("index") and "meta"
    std::set<std::string> stale_;          // keys whose encodings must be made again
    // Sizes over the entries not stale: 2 * encodedKey + encodedMeta, and encodedKey alone.
    size_t encodedBytes_ = 0;
    size_t encodedKeyBytes_ = 0;
    // Folded "path" of each entry -> keys, so a path filter need not fold every entry.
    std::unordered_map<std::string, std::set<std::string>> keysByFoldedPath_;
};
