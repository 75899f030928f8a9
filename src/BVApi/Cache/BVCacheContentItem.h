#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "BVApi/Content/BVContentItem.h"

class BVCacheController;

// The fields of a metadata entry that validation reads, taken from the entry once so that
// an entry checked on every fetch is not searched field by field each time. A field that is
// missing or of the wrong type is absent here.
struct BVCacheMetaFacts {
    bool invalidated = false;                // "invalidated" is true
    bool currentVersion = false;             // "controller_version" is "1.0"
    const BVItemClass* origClass = nullptr;  // the class "orig_class" names, if known
    std::optional<std::string> vhash;
    std::optional<std::string> runtimeId;
    std::optional<double> lastIndex;
    std::optional<double> encrypted;

    static BVCacheMetaFacts of(const nlohmann::json& meta);
};

// The cache protocol of items: under which key and class an item is filed, what its
// metadata entry holds, and how long a stored copy stays valid. The rules belong to the item
// classes; they are kept here, beside the cache, and chosen by class (a subclass follows its
// nearest listed base).
class BVCacheContentItem {
  public:
    // The item's identifier; the lower-cased path for path-to-identifier items.
    static std::string cacheIndexKey(const BVContentItem& item);
    // The class whose index files the item: BVFolderListItem for every listing, BVFSIdItem
    // for both path-to-identifier classes, else the item's own class.
    static const BVItemClass& cacheIndexClass(const BVContentItem& item);
    // {"orig_class": class name} plus the class's own keys: "path", "files", "folders" and
    // "encrypted" for listings; "path" and "identifier" for path-to-identifier items; "path"
    // for content descriptors.
    static nlohmann::json cacheIndexMeta(const BVContentItem& item);
    // cacheIndexMeta without a listing's "files" and "folders", which addListedNames() adds:
    // the entry of a large folder can then be made without a copy of every name.
    static nlohmann::json cacheIndexMetaWithoutNames(const BVContentItem& item);
    // Whether the item's entry holds "files" and "folders" (it is a listing).
    static bool cacheIndexMetaListsNames(const BVContentItem& item);
    // Sets "files" and "folders" of meta to the names of the listing's entries.
    static void addListedNames(nlohmann::json& meta, const BVContentItem& listing);

    // MD5 hex of each encoded property name followed by ":".
    static const std::string& cacheIndexVersioningHash(const BVItemClass& cls);
    // Seconds a stored copy lives, NaN when it does not expire by age.
    static double validateCacheMetaInterval(const BVItemClass& cls);
    static bool validateCacheMetaUponAppClose(const BVItemClass& cls);
    static bool validateCacheMetaUponAppClose(const BVItemClass& cls, const nlohmann::json& meta);
    // The validity rule of cls for a metadata entry.
    static bool validateCacheMeta(const BVItemClass& cls, const nlohmann::json& meta,
                                  BVCacheController& controller);
    // The same with the entry's facts already taken (facts must be those of meta).
    static bool validateCacheMeta(const BVItemClass& cls, const BVCacheMetaFacts& facts,
                                  const nlohmann::json& meta, BVCacheController& controller);

    // The class named in an entry's "orig_class", or nullptr (cached lookup).
    static const BVItemClass* classNamed(const std::string& name);
};
