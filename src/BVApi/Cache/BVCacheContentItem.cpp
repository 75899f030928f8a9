#include "BVApi/Cache/BVCacheContentItem.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <unordered_map>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVCacheIndex.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUnicodeNames.h"
#include "BVApi/Content/BVUserItems.h"
#include "app/Logging/BVLogging.h"
#include "platform/Digest.h"

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

json namesOf(const auto& entries) {
    json names = json::array();
    auto& array = names.get_ref<json::array_t&>();
    array.reserve(entries.size());
    for (const auto& e : entries) {
        if (e)
            array.emplace_back(e->name);
    }
    return names;
}

std::string hashOf(const BVItemClass& cls) {
    std::string text;
    for (const auto& name : cls.encodeArray())
        text += name + ":";
    return bv::md5HexDigest(text);
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

// The validity rule of one class, taken once from the class functions below, so a check
// does not walk the class hierarchy several times.
struct ValidityRule {
    const std::string* hash;
    double interval;
    bool uponAppClose;
    bool listing;
    bool descriptor;
};

ValidityRule ruleFor(const BVItemClass& cls) {
    return ValidityRule{&BVCacheContentItem::cacheIndexVersioningHash(cls),
                        BVCacheContentItem::validateCacheMetaInterval(cls),
                        BVCacheContentItem::validateCacheMetaUponAppClose(cls), isListing(cls),
                        isKind(cls, BVBinaryDataDescriptorItem::itemClass())};
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
    json meta = cacheIndexMetaWithoutNames(item);
    if (cacheIndexMetaListsNames(item))
        addListedNames(meta, item);
    return meta;
}

json BVCacheContentItem::cacheIndexMetaWithoutNames(const BVContentItem& item) {
    json meta = json::object();
    const BVItemClass& cls = item.cls();
    if (isListing(cls)) {
        const auto& listing = static_cast<const BVFolderListItem&>(item);
        meta["path"] = listing.path;
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

bool BVCacheContentItem::cacheIndexMetaListsNames(const BVContentItem& item) {
    return isListing(item.cls());
}

void BVCacheContentItem::addListedNames(json& meta, const BVContentItem& item) {
    if (!isListing(item.cls()))
        return;
    const auto& listing = static_cast<const BVFolderListItem&>(item);
    meta["files"] = namesOf(listing.files);
    meta["folders"] = namesOf(listing.folders);
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

BVCacheMetaFacts BVCacheMetaFacts::of(const json& meta) {
    BVCacheMetaFacts facts;
    if (!meta.is_object())
        return facts;
    auto text = [&](const char* field) -> const std::string* {
        auto it = meta.find(field);
        return it != meta.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
    };
    auto number = [&](const char* field) -> std::optional<double> {
        auto it = meta.find(field);
        if (it == meta.end() || !it->is_number())
            return std::nullopt;
        return it->get<double>();
    };
    auto invalidated = meta.find("invalidated");
    facts.invalidated =
        invalidated != meta.end() && invalidated->is_boolean() && invalidated->get<bool>();
    const std::string* version = text("controller_version");
    facts.currentVersion = version && *version == BVCacheIndex::kControllerVersion;
    if (const std::string* origin = text("orig_class"))
        facts.origClass = BVCacheContentItem::classNamed(*origin);
    if (const std::string* vhash = text("vhash"))
        facts.vhash = *vhash;
    if (const std::string* run = text("runtimeid"))
        facts.runtimeId = *run;
    facts.lastIndex = number("lastindex");
    facts.encrypted = number("encrypted");
    return facts;
}

bool BVCacheContentItem::validateCacheMeta(const BVItemClass& cls, const json& meta,
                                           BVCacheController& controller) {
    return validateCacheMeta(cls, BVCacheMetaFacts::of(meta), meta, controller);
}

bool BVCacheContentItem::validateCacheMeta(const BVItemClass& cls, const BVCacheMetaFacts& facts,
                                           const json& meta, BVCacheController& controller) {
    static const std::unordered_map<const BVItemClass*, ValidityRule> rules = [] {
        std::unordered_map<const BVItemClass*, ValidityRule> map;
        for (const BVItemClass* c : BVItemClass::allClasses())
            map.emplace(c, ruleFor(*c));
        return map;
    }();
    auto known = rules.find(&cls);
    const ValidityRule rule = known != rules.end() ? known->second : ruleFor(cls);

    if (!facts.vhash || *facts.vhash != *rule.hash)
        return false;
    bool valid;
    if (std::isnan(rule.interval)) {
        // A listing stays valid across runs only when it is known not to be encrypted.
        const bool plainListing = rule.listing && facts.encrypted && *facts.encrypted == 0;
        if (!rule.uponAppClose && (!rule.listing || plainListing)) {
            valid = true;
        } else {
            valid = facts.runtimeId && *facts.runtimeId == controller.runtimeIdentifier();
        }
    } else {
        valid = facts.lastIndex && rule.interval > controller.now() - *facts.lastIndex;
    }
    if (valid && rule.descriptor)
        valid = descriptorContentIsCurrent(meta, controller);
    return valid;
}
