#include "BVApi/Cache/BVCacheController.h"

#include <unistd.h>

#include <cstdlib>

#include "BVApi/Cache/BVCacheContentItem.h"
#include "BVApi/Cache/BVCacheException.h"
#include "BVApi/Cache/BVCacheWriter.h"
#include "BVApi/Content/BVTransferItems.h"
#include "app/Logging/BVLogging.h"
#include "platform/Digest.h"

namespace {

std::mutex sharedLock;  // guards sharedInstance
std::shared_ptr<BVCacheController> sharedInstance;

// The descriptor's archive as it would be with only the bytes persisted so far counted.
bv::Data archiveClaiming(const BVContentItem& descriptor,
                         const BVCacheContentStream::Durable& durable) {
    BVItemRef copy = descriptor.cls().create();
    for (const auto& field : descriptor.cls().fields())
        field.set(*copy, field.get(descriptor));
    auto& claimed = static_cast<BVBinaryDataDescriptorItem&>(*copy);
    claimed.completedBytes = int64_t(durable.length);
    claimed.totalBytes = durable.total;
    return copy->archivedData();
}

}  // namespace

// The shared controller outlives main when nobody let go of it, and its writer would then
// flush while exit destroys what writing needs (the item classes). Registered after the
// first controller made the item classes, this runs before they are destroyed.
static pid_t sharedWriterProcess = 0;

static void stopSharedWriterAtExit() {
    // A forked child that exits has the controller's memory but not its writer thread.
    if (::getpid() != sharedWriterProcess)
        return;
    std::shared_ptr<BVCacheController> shared;
    {
        std::lock_guard lock(sharedLock);
        shared = sharedInstance;
    }
    if (shared)
        shared->shutdown();
}

std::shared_ptr<BVCacheController> BVCacheController::cacheControllerAt(
    const std::filesystem::path& root, Options options) {
    auto controller = std::make_shared<BVCacheController>(root, std::move(options));
    static const bool stopsAtExit =
        (sharedWriterProcess = ::getpid(), std::atexit(stopSharedWriterAtExit) == 0);
    (void)stopsAtExit;
    std::lock_guard lock(sharedLock);
    sharedInstance = controller;
    return controller;
}

std::shared_ptr<BVCacheController> BVCacheController::cacheControllerAt(
    const std::filesystem::path& root) {
    return cacheControllerAt(root, Options());
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
      backend_(std::make_shared<BVCacheFileBackend>(root)),
      writer_(std::make_shared<BVCacheWriter>([this] { flushLocked(false); }, options.writeDelay)) {
    finishedInit();
}

BVCacheController::~BVCacheController() {
    shutdown();
    // Readers may still hold streams; they learn that no more bytes come.
    std::lock_guard lock(streamsLock_);
    for (auto& [identifier, stream] : streams_)
        stream->abandon();
    streams_.clear();
}

void BVCacheController::flush() {
    flushLocked(true);
}

void BVCacheController::shutdown() {
    writer_->stop();
    flushLocked(true);
}

void BVCacheController::changed() {
    writer_->changed();
}

void BVCacheController::flushLocked(bool everything) {
    std::lock_guard flushing(flushLock_);
    try {
        // 1. Content first, then the descriptors that claim it.
        std::vector<std::shared_ptr<BVCacheContentStream>> streams;
        {
            std::lock_guard lock(streamsLock_);
            for (const auto& [identifier, stream] : streams_)
                streams.push_back(stream);
        }
        for (const auto& stream : streams) {
            if (auto durable = stream->stateToPersist(everything))
                persistStream(stream, *durable);
            if (stream->settled()) {
                std::lock_guard lock(streamsLock_);
                auto it = streams_.find(stream->identifier());
                if (it != streams_.end() && it->second == stream)
                    streams_.erase(it);
            }
        }
        // 2. The indexes as they are now: every entry in them has its item file written by
        //    step 3 or earlier, so no index on disk names an item file older than its entry.
        struct Archive {
            BVCacheIndex* index;
            const BVItemClass* cls;
            bv::Data data;
            size_t entries;
        };
        std::vector<std::pair<BVCacheIndex*, const BVItemClass*>> writable;
        {
            // Indexes live as long as the controller, so the pointers outlast the lock, which
            // is not held while the index locks are taken.
            std::shared_lock read(indexesLock_);
            for (auto& [name, slot] : indexes_) {
                if (slot.writable)
                    writable.emplace_back(slot.index.get(), slot.cls);
            }
        }
        std::vector<Archive> archives;
        for (auto [index, cls] : writable) {
            if (auto archive = index->archiveIfChanged())
                archives.push_back(Archive{index, cls, std::move(archive->first), archive->second});
        }
        // 3. Item files, then 4. the indexes.
        size_t written = backend_->writeDeferredItems();
        for (auto& archive : archives) {
            try {
                backend_->storeIndexData(archive.data, archive.entries, *archive.cls);
                ++written;
            } catch (const BVCacheException& e) {
                archive.index->markChanged();
                BVLog("Caught exception %@ in BVCacheBackend.storeIndex() with the reason %@",
                      e.name(), e.reason());
            }
        }
        if (written > 0)
            backend_->syncFolder();
    } catch (const std::exception& e) {
        BVLog("Caught exception %@ in BVCacheController.flush() with the reason %@",
              "std::exception", e.what());
    }
}

void BVCacheController::persistStream(const std::shared_ptr<BVCacheContentStream>& stream,
                                      const BVCacheContentStream::Durable& durable) {
    const auto& descriptor = stream->descriptor();
    bv::Data archive = archiveClaiming(*descriptor, durable);
    BVCacheIndex& index = indexOf(BVBinaryDataDescriptorItem::itemClass());
    size_t evicted;
    {
        std::lock_guard lock(index.lock());
        // A purge abandons the stream before it drops the entry, so this cannot bring a
        // purged descriptor back.
        if (stream->abandoned())
            return;
        index.index(*descriptor, now(), runtimeIdentifier_);
        evicted = backend_->storeItemDeferred(descriptor, std::move(archive));
    }
    backend_->logStoredItem(evicted);
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
            return *it->second.index;
    }
    std::lock_guard creating(indexCreationLock_);
    {
        std::shared_lock read(indexesLock_);
        auto it = indexes_.find(className);
        if (it != indexes_.end())
            return *it->second.index;
    }
    BVCacheFileBackend::RestoredIndex restored = backend_->restoreIndexKeepingUnreadable(cls);
    if (!restored.index)
        restored.index = std::make_unique<BVCacheIndex>();
    std::unique_lock write(indexesLock_);
    auto& slot = indexes_[className];
    slot = IndexSlot{std::move(restored.index), &cls, restored.writable};
    return *slot.index;
}

std::optional<bv::Data> BVCacheController::durableArchiveOf(const BVItemRef& item) {
    if (!item->isKindOf(BVBinaryDataDescriptorItem::itemClass()))
        return std::nullopt;
    auto stream = openContentStream(item->identifier);
    if (!stream || stream->descriptor() != item)
        return std::nullopt;
    return archiveClaiming(*item, stream->durable());
}

bool BVCacheController::storeEntry(const BVItemRef& item, BVCacheIndex& index, bool reindex,
                                   const BVCacheIndex::Snapshot* ifStill) {
    std::optional<bv::Data> archive = durableArchiveOf(item);
    size_t evicted;
    {
        std::lock_guard lock(index.lock());
        if (ifStill && index.snapshotFor(BVCacheContentItem::cacheIndexKey(*item)) != *ifStill)
            return false;
        if (reindex)
            index.index(item, now(), runtimeIdentifier_);
        evicted = backend_->storeItemDeferred(item, std::move(archive));
    }
    backend_->logStoredItem(evicted);
    changed();
    return true;
}

void BVCacheController::storeItem(const BVItemRef& item) {
    BVCacheIndex* index = nullptr;
    try {
        checkItem(item);
        index = &indexOf(BVCacheContentItem::cacheIndexClass(*item));
    } catch (const BVCacheException& e) {
        BVLog("Caught exception %@ in BVCacheController.checkItem() with the reason %@", e.name(),
              e.reason());
        return;
    } catch (const std::exception& e) {
        BVLog("Caught exception %@ in BVCacheController.checkItem() with the reason %@",
              "std::exception", e.what());
        return;
    }
    try {
        if (item->isKindOf(BVBinaryDataDescriptorItem::itemClass())) {
            // A new descriptor starts a new content; the stream of an older one is done.
            abandonStream(item->identifier, item);
            backend_->createContentFileIfMissing(item->identifier);
        }
        storeEntry(item, *index, true, nullptr);
    } catch (const BVCacheException& e) {
        BVLog("Caught exception %@ in BVCacheBackend.storeIndex() with the reason %@", e.name(),
              e.reason());
    } catch (const std::exception& e) {
        BVLog("Caught exception %@ in BVCacheBackend.storeIndex() with the reason %@",
              "std::exception", e.what());
    }
}

BVItemRef BVCacheController::fetchValidated(const std::string& key, const BVItemClass& cls,
                                            BVCacheIndex::Snapshot* entryOut) {
    BVCacheIndex& index = indexOf(cls);
    // The entry is looked up under the class lock; validation (which may read other classes)
    // and the read of the item run without it.
    BVCacheIndex::Snapshot entry = index.snapshotFor(key);
    if (entryOut)
        *entryOut = entry;
    BVItemRef item;
    switch (BVCacheIndex::validate(entry, *this)) {
        case BVCacheIndexMetaInvalid:
            BVLog("BVCacheController.fetchItemWithKey: BVCacheIndexMetaInvalid");
            break;
        case BVCacheIndexMetaValid:
            if (&cls == &BVBinaryDataDescriptorItem::itemClass()) {
                // While its content is written, a file has one descriptor object that every
                // reader shares.
                if (auto stream = openContentStream(key))
                    item = stream->descriptor();
            }
            if (!item)
                item = backend_->restoreItem(key, cls);
            if (!item && index.purgeIndexFor(key, entry))
                BVLog("BVCacheController.fetchItemWithKey: index purged.");
            break;
        case BVCacheIndexMetaNotFound:
            break;
    }
    if (!item)
        BVLog("Item was not restored for: %@", key);
    return item;
}

BVItemRef BVCacheController::fetchItemWithKey(const std::string& key, const BVItemClass& cls) {
    return fetchValidated(key, cls, nullptr);
}

BVItemArray BVCacheController::fetchItemsUsing(const BVCacheFilter& filter,
                                               const BVItemClass& cls) {
    BVItemArray items;
    for (const auto& key : indexOf(cls).queryKeysUsingPredicate(filter)) {
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
    BVCacheIndex::Snapshot entry;
    BVItemRef item = fetchValidated(key, cls, &entry);
    if (!item)
        return;
    // A store that came in between is newer than what is touched here, and stays.
    try {
        storeEntry(item, indexOf(cls), true, &entry);
    } catch (const std::exception& e) {
        BVLog("Caught exception %@ in BVCacheBackend.storeIndex() with the reason %@",
              "std::exception", e.what());
    }
}

void BVCacheController::purgeItem(const BVItemRef& item) {
    checkItem(item);
    purgeItemWithKey(BVCacheContentItem::cacheIndexKey(*item),
                     BVCacheContentItem::cacheIndexClass(*item));
}

void BVCacheController::purgeItemWithKey(const std::string& key, const BVItemClass& cls) {
    if (&cls == &BVBinaryDataDescriptorItem::itemClass())
        abandonStream(key);
    BVCacheIndex& index = indexOf(cls);
    {
        std::lock_guard lock(index.lock());
        index.purgeIndexFor(key);
        // The file goes even when the index cannot be written: an index entry left on disk
        // then finds no file after a restart and is dropped, instead of serving the purged
        // item.
        backend_->purgeItemDeferred(key, cls);
    }
    changed();
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
    indexOf(cls).invalidateMetaFor(key);
    changed();
}
