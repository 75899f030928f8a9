#include "BVApi/Cache/BVCacheController.h"

#include "BVApi/Cache/BVCacheContentItem.h"
#include "BVApi/Cache/BVCacheException.h"
#include "app/Logging/BVLogging.h"
#include "platform/Digest.h"

namespace {

std::mutex sharedLock;  // guards sharedInstance
std::shared_ptr<BVCacheController> sharedInstance;

}  // namespace

std::shared_ptr<BVCacheController> BVCacheController::cacheControllerAt(
    const std::filesystem::path& root, Options options) {
    auto controller = std::make_shared<BVCacheController>(root, std::move(options));
    std::lock_guard lock(sharedLock);
    sharedInstance = controller;
    return controller;
}

std::shared_ptr<BVCacheController> BVCacheController::sharedController() {
    std::lock_guard lock(sharedLock);
    return sharedInstance;
}

void BVCacheController::resetSharedController() {
    std::lock_guard lock(sharedLock);
    sharedInstance.reset();
}

BVCacheController::BVCacheController(const std::filesystem::path& root, Options options)
    : rootPath_(root),
      clock_(options.clock ? std::move(options.clock) : bv::Clock::system()),
      runtimeIdentifier_(options.runtimeIdentifier.empty() ? bv::processRunIdentifier()
                                                           : std::move(options.runtimeIdentifier)),
      backend_(std::make_unique<BVCacheFileBackend>(root)) {
    finishedInit();
}

void BVCacheController::checkItem(const BVItemRef& item) {
    if (!item)
        throw BVCacheException("BVCacheController", "cache controller received nil item!");
    if (BVCacheContentItem::cacheIndexKey(*item).empty())
        throw BVCacheException("BVCacheController",
                               "cache controller received item without .cacheIndexKey!");
}

BVCacheIndex& BVCacheController::indexOf(const BVItemClass& cls) {
    return indexWithKey(cls.name(), cls);
}

BVCacheIndex& BVCacheController::indexWithKey(const std::string& className,
                                              const BVItemClass& cls) {
    {
        std::shared_lock read(indexesLock_);
        auto it = indexes_.find(className);
        if (it != indexes_.end())
            return *it->second;
    }
    std::lock_guard creating(indexCreationLock_);
    {
        std::shared_lock read(indexesLock_);
        auto it = indexes_.find(className);
        if (it != indexes_.end())
            return *it->second;
    }
    std::unique_ptr<BVCacheIndex> index = backend_->restoreIndex(cls);
    if (!index)
        index = std::make_unique<BVCacheIndex>();
    std::unique_lock write(indexesLock_);
    auto& slot = indexes_[className];
    slot = std::move(index);
    return *slot;
}

void BVCacheController::storeItem(const BVItemRef& item) {
    BVCacheIndex* index = nullptr;
    const BVItemClass* cls = nullptr;
    try {
        checkItem(item);
        cls = &BVCacheContentItem::cacheIndexClass(*item);
        index = &indexOf(*cls);
    } catch (const BVCacheException& e) {
        BVLog("Caught exception %@ in BVCacheController.checkItem() with the reason %@", e.name(),
              e.reason());
        return;
    } catch (const std::exception& e) {
        BVLog("Caught exception %@ in BVCacheController.checkItem() with the reason %@",
              "std::exception", e.what());
        return;
    }
    std::lock_guard lock(index->lock());
    try {
        index->index(*item, now(), runtimeIdentifier_);
        backend_->storeItem(item);
        backend_->storeIndex(*index, *cls);
    } catch (const BVCacheException& e) {
        BVLog("Caught exception %@ in BVCacheBackend.storeIndex() with the reason %@", e.name(),
              e.reason());
    } catch (const std::exception& e) {
        BVLog("Caught exception %@ in BVCacheBackend.storeIndex() with the reason %@",
              "std::exception", e.what());
    }
}

BVItemRef BVCacheController::fetchItemWithKey(const std::string& key, const BVItemClass& cls) {
    BVCacheIndex& index = indexOf(cls);
    BVItemRef item;
    {
        std::lock_guard lock(index.lock());
        switch (index.validateMetaFor(key, *this)) {
            case BVCacheIndexMetaInvalid:
                BVLog("BVCacheController.fetchItemWithKey: BVCacheIndexMetaInvalid");
                break;
            case BVCacheIndexMetaValid:
                item = backend_->restoreItem(key, cls);
                if (!item) {
                    index.purgeIndexFor(key);
                    BVLog("BVCacheController.fetchItemWithKey: index purged.");
                }
                break;
            case BVCacheIndexMetaNotFound:
                break;
        }
    }
    if (!item)
        BVLog("Item was not restored for: %@", key);
    return item;
}

BVItemArray BVCacheController::fetchItemsUsing(const BVCacheFilter& filter,
                                               const BVItemClass& cls) {
    BVCacheIndex& index = indexOf(cls);
    BVItemArray items;
    std::lock_guard lock(index.lock());
    for (const auto& key : index.queryKeysUsingPredicate(filter)) {
        if (auto item = fetchItemWithKey(key, cls))
            items.push_back(std::move(item));
    }
    return items;
}

BVItemRef BVCacheController::fetchItemWithPredicate(const BVCacheFilter& filter,
                                                    const BVItemClass& cls) {
    BVItemArray items = fetchItemsUsing(filter, cls);
    if (items.size() > 1) {
        throw BVCacheException(
            "BVCacheController",
            bv::format("fetch item with predicate query resulted in more than 1 row (%ld).",
                       items.size()));
    }
    return items.empty() ? nullptr : items.front();
}

std::optional<nlohmann::json> BVCacheController::fetchMetaOfItem(const BVItemRef& item) {
    checkItem(item);
    return fetchMetaOfItemWithKey(BVCacheContentItem::cacheIndexKey(*item),
                                  BVCacheContentItem::cacheIndexClass(*item));
}

std::optional<nlohmann::json> BVCacheController::fetchMetaOfItemWithKey(const std::string& key,
                                                                        const BVItemClass& cls) {
    return indexOf(cls).metaFor(key);
}

void BVCacheController::touchItemForcedWithKey(const std::string& key, const BVItemClass& cls) {
    BVCacheIndex& index = indexOf(cls);
    std::lock_guard lock(index.lock());
    if (auto item = fetchItemWithKey(key, cls))
        storeItem(item);
}

void BVCacheController::purgeItem(const BVItemRef& item) {
    checkItem(item);
    purgeItemWithKey(BVCacheContentItem::cacheIndexKey(*item),
                     BVCacheContentItem::cacheIndexClass(*item));
}

void BVCacheController::purgeItemWithKey(const std::string& key, const BVItemClass& cls) {
    BVCacheIndex& index = indexOf(cls);
    std::lock_guard lock(index.lock());
    index.purgeIndexFor(key);
    // The file goes even when the index cannot be written: an index entry left on disk then
    // finds no file after a restart and is dropped, instead of serving the purged item.
    for (auto step : {&BVCacheController::storeIndexOf, &BVCacheController::deleteItemFile}) {
        try {
            (this->*step)(key, cls);
        } catch (const BVCacheException& e) {
            BVLog(
                "Caught exception %@ in [BVCacheFileBackend purgeItemWithKey:of:] with the reason "
                "%@",
                e.name(), e.reason());
        }
    }
}

void BVCacheController::storeIndexOf(const std::string&, const BVItemClass& cls) {
    backend_->storeIndex(indexOf(cls), cls);
}

void BVCacheController::deleteItemFile(const std::string& key, const BVItemClass& cls) {
    backend_->purgeItemWithKey(key, cls);
}

void BVCacheController::purgeItemForced(const BVItemRef& item) {
    checkItem(item);
    purgeItemForcedWithKey(BVCacheContentItem::cacheIndexKey(*item),
                           BVCacheContentItem::cacheIndexClass(*item));
}

void BVCacheController::purgeItemForcedWithKey(const std::string& key, const BVItemClass& cls) {
    BVCacheIndex& index = indexOf(cls);
    std::lock_guard lock(index.lock());
    if (index.haveIndexFor(key))
        purgeItemWithKey(key, cls);
}

void BVCacheController::invalidateItem(const BVItemRef& item) {
    checkItem(item);
    invalidateItemWithKey(BVCacheContentItem::cacheIndexKey(*item),
                          BVCacheContentItem::cacheIndexClass(*item));
}

void BVCacheController::invalidateItemWithKey(const std::string& key, const BVItemClass& cls) {
    BVCacheIndex& index = indexOf(cls);
    // Taken although the design leaves it out: the index file must not be written by two
    // threads at once.
    std::lock_guard lock(index.lock());
    index.invalidateMetaFor(key);
    try {
        backend_->storeIndex(index, cls);
    } catch (const BVCacheException& e) {
        BVLog("Caught exception %@ in BVCacheBackend.storeIndex() with the reason %@", e.name(),
              e.reason());
    }
}
