// Typed fetches of the cache controller and the cascading purges that follow changes of
// files and folders.
#include <limits>

#include "BVApi/Cache/BVCacheContentItem.h"
#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUnicodeNames.h"
#include "BVApi/Content/BVUserItems.h"

namespace {

// A shallow copy through the class's fields: entries are shared, the arrays are not.
std::shared_ptr<BVFolderListItem> copyOf(const BVFolderListItem& listing) {
    BVItemRef copy = listing.cls().create();
    for (const auto& field : listing.cls().fields())
        field.set(*copy, field.get(listing));
    return std::static_pointer_cast<BVFolderListItem>(copy);
}

// "/a/b" -> {"/a", "b"}; "/b" -> {"/", "b"}; nothing for the root or a relative path.
std::optional<std::pair<std::string, std::string>> splitPath(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    auto slash = path.rfind('/');
    if (slash == std::string::npos || path.size() <= 1)
        return std::nullopt;
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    return std::make_pair(parent, path.substr(slash + 1));
}

}  // namespace

std::shared_ptr<BVUserSessionItem> BVCacheController::fetchUserSession(const std::string& key) {
    return fetch<BVUserSessionItem>(key);
}

std::shared_ptr<BVFolderListItem> BVCacheController::fetchFolderList(
    const std::string& folderIdentifier) {
    return fetch<BVFolderListItem>(folderIdentifier);
}

std::shared_ptr<BVBinaryDataDescriptorItem> BVCacheController::fetchBinaryDataDescriptor(
    const std::string& fileIdentifier) {
    return fetch<BVBinaryDataDescriptorItem>(fileIdentifier);
}

std::shared_ptr<BVUploadFileHandle> BVCacheController::fetchUploadHandle(const std::string& key) {
    return fetch<BVUploadFileHandle>(key);
}

std::shared_ptr<BVFolderListItem> BVCacheController::fetchFolderListAt(const std::string& path) {
    const BVItemClass& cls = BVFolderListItem::itemClass();
    const BVCacheFilter filter = BVCacheFilter::pathMatching(path);
    // Every lookup of the mounted volume comes here; the common case, one listing at the
    // path, is fetched without collecting the matches first.
    std::string key;
    const size_t count = indexOf(cls).keysWithFoldedPath(filter.value(), &key);
    if (count == 0)
        return nullptr;
    if (count == 1) {
        BVItemRef item = fetchItemWithKey(key, cls);
        return item && item->isKindOf(cls) ? std::static_pointer_cast<BVFolderListItem>(item)
                                           : nullptr;
    }
    BVItemArray items = fetchItemsUsing(filter, cls);
    std::shared_ptr<BVFolderListItem> latest;
    double latestTime = -std::numeric_limits<double>::infinity();
    for (const auto& item : items) {
        if (!item->isKindOf(cls))
            continue;
        auto listing = std::static_pointer_cast<BVFolderListItem>(item);
        if (items.size() == 1 || listing->path == path)
            return listing;
        auto meta = fetchMetaOfItemWithKey(BVCacheContentItem::cacheIndexKey(*listing), cls);
        double stored = 0;
        if (meta) {
            if (auto it = meta->find("lastindex"); it != meta->end() && it->is_number())
                stored = it->get<double>();
        }
        if (!latest || stored > latestTime) {
            latest = listing;
            latestTime = stored;
        }
    }
    return latest;
}

std::shared_ptr<BVFileItem> BVCacheController::fetchFileItem(const std::string& fileIdentifier,
                                                             const std::string& path) {
    // Most files have no info item of their own, only their listing entry; the validation of
    // every content read comes here, so a file without one is not looked up (and logged as
    // not restored) each time.
    if (indexOf(BVFileInfoItem::itemClass()).haveIndexFor(fileIdentifier)) {
        if (auto info = fetch<BVFileInfoItem>(fileIdentifier))
            return info;
    }
    auto parts = splitPath(path);
    if (!parts)
        return nullptr;
    auto listing = fetchFolderListAt(parts->first);
    if (!listing)
        return nullptr;
    BVItemRef entry = listing->itemNamed(parts->second);
    if (!entry || !entry->isKindOf(BVFileItem::itemClass()))
        return nullptr;
    return std::static_pointer_cast<BVFileItem>(entry);
}

std::shared_ptr<BVFolderListItem> BVCacheController::listingWithout(const std::string& identifier,
                                                                    const std::string& parentFolder,
                                                                    BVCacheIndex::Snapshot* entry) {
    if (parentFolder.empty())
        return nullptr;
    BVItemRef item = fetchValidated(parentFolder, BVFolderListItem::itemClass(), entry);
    if (!item || !item->isKindOf(BVFolderListItem::itemClass()))
        return nullptr;
    auto copy = copyOf(static_cast<const BVFolderListItem&>(*item));
    copy->removeItemWithIdentifier(identifier);
    return copy;
}

void BVCacheController::updateListingWithout(const std::string& identifier,
                                             const std::string& parentFolder, bool reindex) {
    // The listing is changed outside the class lock and written back only when no store of
    // it came in between; a newer listing from the service already reflects the change.
    BVCacheIndex::Snapshot entry;
    if (auto listing = listingWithout(identifier, parentFolder, &entry))
        storeEntry(listing, indexOf(BVFolderListItem::itemClass()), reindex, &entry);
}

void BVCacheController::removeItem(const std::string& identifier, const std::string& parentFolder) {
    updateListingWithout(identifier, parentFolder, false);
}

void BVCacheController::purgeCacheForFile(const std::string& identifier,
                                          const std::string& parentFolder) {
    removeItem(identifier, parentFolder);
    purgeItemForcedWithKey(identifier, BVFileInfoItem::itemClass());
    purgeBinaryDataForcedOf(identifier);
    purgeItemForcedWithKey(identifier, BVBinaryDataDescriptorItem::itemClass());
}

void BVCacheController::purgeCacheForFolder(const std::string& identifier,
                                            const std::string& parentFolder) {
    updateListingWithout(identifier, parentFolder, true);
    purgeCacheForFolderContents(identifier);
    purgeItemForcedWithKey(identifier, BVFolderInfoItem::itemClass());
    purgeIdentifiersForcedOf(identifier);
}

void BVCacheController::purgeCacheForFolderContents(const std::string& folderIdentifier) {
    std::unordered_map<std::string, bool> visited;
    purgeCacheForFolderContents(folderIdentifier, visited);
}

void BVCacheController::purgeCacheForFolderContents(
    const std::string& folderIdentifier, std::unordered_map<std::string, bool>& visited) {
    // A damaged listing that names an ancestor as its sub-folder must not recurse forever.
    if (!visited.emplace(folderIdentifier, true).second)
        return;
    if (auto listing = fetchFolderList(folderIdentifier)) {
        for (const auto& folder : listing->folders) {
            if (!folder)
                continue;
            purgeCacheForFolderContents(folder->identifier, visited);
            purgeItemForcedWithKey(folder->identifier, BVFolderInfoItem::itemClass());
            purgeIdentifiersForcedOf(folder->identifier);
        }
    }
    purgeItemForcedWithKey(folderIdentifier, BVFolderListItem::itemClass());
}

void BVCacheController::purgeIdentifiersForcedAt(const std::string& path) {
    purgeItemForcedWithKey(BVUnicodeNames::lowercased(path), BVFSIdItem::itemClass());
}

void BVCacheController::purgeIdentifiersForcedOf(const std::string& identifier) {
    const BVItemClass& cls = BVFSIdItem::itemClass();
    for (const auto& key :
         indexOf(cls).queryKeysUsingPredicate(BVCacheFilter::fieldEquals("identifier", identifier)))
        purgeItemForcedWithKey(key, cls);
}
