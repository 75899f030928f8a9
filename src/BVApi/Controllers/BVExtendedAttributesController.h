#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BVApi/Content/BVSynchedItems.h"
#include "platform/Data.h"
#include "platform/Error.h"

class BVCacheController;

// The extended attributes of items of the mounted volume. The service keeps none, so the
// two the file browser needs are kept on the client, in one BVSharedXAttrs record for the
// whole account ("default"), stored in the user's cache after each change so that tags
// survive restarts. Every other name is refused silently: setting it succeeds and stores
// nothing.
//
// Names. The record holds the suite's two names, "com.apple.metadata:_kMDItemUserTags"
// (tags) and "com.apple.FinderInfo". Linux hands a file system only namespaced names, so
// these arrive as well and are filed under the same two:
//   "user.xdg.tags" (the desktop's tags, as Dolphin and others write them) and
//   "user.com.apple.metadata:_kMDItemUserTags"        -> tags;
//   "user.com.apple.FinderInfo"                        -> "com.apple.FinderInfo".
// Values are kept byte for byte as written (no conversion between the desktop's
// comma-separated tags and other encodings). A listing answers the names a Linux caller can
// ask for again: "user.xdg.tags" and "user.com.apple.FinderInfo". Everything else, including
// "user.xdg.comment", is refused.
//
// Paths are volume paths. Removing and moving work on the path and everything below it
// (entries whose path begins with the path followed by "/"), never on siblings that merely
// share a prefix (/A does not reach /AB). Every change is stored, moves included, so a
// rename followed by a restart keeps the tags.
//
// Thread-safe: file-system worker threads call it at once. The record is replaced, never
// changed in place, so a store writes a consistent copy while others read.
class BVExtendedAttributesController {
  public:
    static constexpr const char* kTagsName = "com.apple.metadata:_kMDItemUserTags";
    static constexpr const char* kFinderInfoName = "com.apple.FinderInfo";
    static constexpr const char* kLinuxTagsName = "user.xdg.tags";
    static constexpr const char* kLinuxFinderInfoName = "user.com.apple.FinderInfo";

    // Loads the record from the cache (a fresh one when it holds none). A null cache keeps
    // the record in memory only.
    explicit BVExtendedAttributesController(std::shared_ptr<BVCacheController> cache);
    BVExtendedAttributesController(const BVExtendedAttributesController&) = delete;
    BVExtendedAttributesController& operator=(const BVExtendedAttributesController&) = delete;

    // The instance of the shared cache controller, made again when the shared cache changes
    // (another user signed in). Never null.
    static std::shared_ptr<BVExtendedAttributesController> sharedController();
    static void resetSharedController();

    // The record's accepted name for a name as a caller gives it, or nothing.
    static std::optional<std::string> storedNameFor(const std::string& name);
    // The name a listing answers for a stored name.
    static std::string listedNameFor(const std::string& storedName);

    // The names stored for the path (empty when none).
    std::vector<std::string> extendedAttributesOfItemAtPath(const std::string& path,
                                                            bv::Error* error) const;
    // The stored value from position to its end (empty past the end); nothing when the
    // attribute is not stored.
    std::optional<bv::Data> valueOfExtendedAttribute(const std::string& name,
                                                     const std::string& path, uint64_t position,
                                                     bv::Error* error) const;
    // Keeps the first position bytes of the stored value (all when shorter) and appends
    // value. options are accepted and ignored. Always true.
    bool setExtendedAttribute(const std::string& name, const std::string& path,
                              const bv::Data& value, uint64_t position, int options,
                              bv::Error* error);
    // Always true.
    bool removeExtendedAttribute(const std::string& name, const std::string& path,
                                 bv::Error* error);
    // Forgets the path's own attributes.
    void removeExtendedAttributesAt(const std::string& path);
    // The attributes of the path and of everything below it move to the new path, replacing
    // what the new path and its descendants had. Nothing happens when the old path and its
    // descendants have none.
    void moveExtendedAttributesFrom(const std::string& oldPath, const std::string& newPath);
    // Forgets the attributes of the path and of everything below it.
    void removeExtendedAttributesRecursivelyAt(const std::string& path);

    // A copy of the current record.
    std::shared_ptr<BVSharedXAttrs> sharedXAttrs() const;

  private:
    // Makes the next record from a copy of the current one; store when changed.
    template <typename Change>
    void update(Change change);
    // Writes the latest record to the cache.
    void store();

    std::shared_ptr<BVCacheController> cache_;
    mutable std::mutex recordLock_;           // guards record_ (the pointer)
    std::shared_ptr<BVSharedXAttrs> record_;  // never changed once published
    // Serialises stores, so the cache always ends with the latest record. Taken before
    // recordLock_, never while holding it.
    std::mutex storeLock_;
};
