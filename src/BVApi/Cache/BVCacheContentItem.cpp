#include "BVApi/Cache/BVCacheContentItem.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <unordered_map>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUnicodeNames.h"
#include "BVApi/Content/BVUserItems.h"
#include "app/BVLogging.h"
#include "app/Utilities.h"

using json = nlohmann::json;

namespace {

constexpr double kSharedListingLifetime = 120;
constexpr double kStubListingLifetime = 2;
constexpr double kUploadHandleLifetime = 120;
// A file changed on the service this long after its content was cached makes the content stale.
constexpr double kModificationTolerance = 1.5;

bool isKind(const BVItemClass& cls, const BVItemClass& base) {
    return cls.isSubclassOf(base);
}

bool isListing(const BVItemClass& cls) {
    return isKind(cls, BVFolderListItem::itemClass());
}

bool isPathMapping(const BVItemClass& cls) {
    return isKind(cls, BVFSIdItem::itemClass());
}

std::vector<std::string> namesOf(const auto& entries) {
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const auto& e : entries) {
        if (e)
            names.push_back(e->name);
    }
    return names;
}

std::string hashOf(const BVItemClass& cls) {
    std::string text;
    for (const auto& name : cls.encodeArray())
        text += name + ":";
    return Utilities::md5HexDigest(text);
}

bool descriptorContentIsCurrent(const json& meta, BVCacheController& controller) {
    auto key = meta.find("key");
    auto path = meta.find("path");
    auto lastIndex = meta.find("lastindex");
    if (key == meta.end() || !key->is_string() || lastIndex == meta.end() ||
        !lastIndex->is_number())
        return false;
    std::string pathText =
        (path != meta.end() && path->is_string()) ? path->get<std::string>() : "";
    auto file = controller.fetchFileItem(key->get<std::string>(), pathText);
    if (!file)
        return false;
    double d = file->dateModified - lastIndex->get<double>();
    if (d > kModificationTolerance) {
        char seconds[64];
        std::snprintf(seconds, sizeof seconds, "%f", d);
        BVLog("invalidated because file %@ was updated (%@)", file->name, std::string(seconds));
        return false;
    }
    return controller.backend().validateBinaryDataOf(*file);
}

}  // namespace

const BVItemClass* BVCacheContentItem::classNamed(const std::string& name) {
    static const std::unordered_map<std::string, const BVItemClass*> byName = [] {
        std::unordered_map<std::string, const BVItemClass*> map;
        for (const BVItemClass* c : BVItemClass::allClasses())
            map.emplace(c->name(), c);
        return map;
    }();
    auto it = byName.find(name);
    return it == byName.end() ? nullptr : it->second;
}

std::string BVCacheContentItem::cacheIndexKey(const BVContentItem& item) {
    if (isPathMapping(item.cls()))
        return BVUnicodeNames::lowercased(static_cast<const BVFSIdItem&>(item).path);
    return item.identifier;
}

const BVItemClass& BVCacheContentItem::cacheIndexClass(const BVContentItem& item) {
    if (isListing(item.cls()))
        return BVFolderListItem::itemClass();
    if (isPathMapping(item.cls()))
        return BVFSIdItem::itemClass();
    return item.cls();
}

json BVCacheContentItem::cacheIndexMeta(const BVContentItem& item) {
    json meta = json::object();
    const BVItemClass& cls = item.cls();
    if (isListing(cls)) {
        const auto& listing = static_cast<const BVFolderListItem&>(item);
        meta["path"] = listing.path;
        meta["files"] = namesOf(listing.files);
        meta["folders"] = namesOf(listing.folders);
        meta["encrypted"] = listing.encrypted;
    } else if (isPathMapping(cls)) {
        const auto& mapping = static_cast<const BVFSIdItem&>(item);
        meta["path"] = BVUnicodeNames::lowercased(mapping.path);
        // Lets the entries of one folder identifier be found again when the folder goes.
        meta["identifier"] = mapping.identifier;
    } else if (isKind(cls, BVBinaryDataDescriptorItem::itemClass())) {
        meta["path"] = static_cast<const BVBinaryDataDescriptorItem&>(item).path;
    }
    meta["orig_class"] = cls.name();
    return meta;
}

const std::string& BVCacheContentItem::cacheIndexVersioningHash(const BVItemClass& cls) {
    static const std::unordered_map<const BVItemClass*, std::string> hashes = [] {
        std::unordered_map<const BVItemClass*, std::string> map;
        for (const BVItemClass* c : BVItemClass::allClasses())
            map.emplace(c, hashOf(*c));
        return map;
    }();
    static const std::string none;
    auto it = hashes.find(&cls);
    return it == hashes.end() ? none : it->second;
}

double BVCacheContentItem::validateCacheMetaInterval(const BVItemClass& cls) {
    if (isKind(cls, BVStubFolderListItem::itemClass()))
        return kStubListingLifetime;
    if (isKind(cls, BVSharedFolderListItem::itemClass()))
        return kSharedListingLifetime;
    if (isKind(cls, BVUploadFileHandle::itemClass()))
        return kUploadHandleLifetime;
    return std::numeric_limits<double>::quiet_NaN();
}

bool BVCacheContentItem::validateCacheMetaUponAppClose(const BVItemClass& cls) {
    return isKind(cls, BVUserLinksItem::itemClass());
}

bool BVCacheContentItem::validateCacheMetaUponAppClose(const BVItemClass& cls, const json& meta) {
    if (!isListing(cls))
        return false;
    auto it = meta.find("encrypted");
    bool plain = it != meta.end() && it->is_number() && it->get<double>() == 0;
    return !plain;
}

bool BVCacheContentItem::validateCacheMeta(const BVItemClass& cls, const json& meta,
                                           BVCacheController& controller) {
    auto vhash = meta.find("vhash");
    if (vhash == meta.end() || !vhash->is_string() ||
        vhash->get_ref<const std::string&>() != cacheIndexVersioningHash(cls))
        return false;
    bool valid;
    double interval = validateCacheMetaInterval(cls);
    if (std::isnan(interval)) {
        if (!validateCacheMetaUponAppClose(cls) && !validateCacheMetaUponAppClose(cls, meta)) {
            valid = true;
        } else {
            auto run = meta.find("runtimeid");
            valid = run != meta.end() && run->is_string() &&
                    run->get_ref<const std::string&>() == controller.runtimeIdentifier();
        }
    } else {
        auto last = meta.find("lastindex");
        valid = last != meta.end() && last->is_number() &&
                interval > controller.now() - last->get<double>();
    }
    if (valid && isKind(cls, BVBinaryDataDescriptorItem::itemClass()))
        valid = descriptorContentIsCurrent(meta, controller);
    return valid;
}
