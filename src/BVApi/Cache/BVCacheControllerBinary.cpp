// File content of the cache controller: appends, reads and emptying of content files,
// recorded in the file's BVBinaryDataDescriptorItem.
#include "BVApi/Cache/BVCacheContentItem.h"
#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVCacheException.h"
#include "BVApi/Content/BVTransferItems.h"
#include "app/Logging/BVLogging.h"

bool BVCacheController::storeBinaryData(const bv::Data& data, int64_t offset, int64_t total,
                                        const std::string& identifier) {
    std::lock_guard content(contentLock_);
    auto descriptor = fetchBinaryDataDescriptor(identifier);
    if (!descriptor)
        return false;
    BVCacheIndex& index = indexOf(BVBinaryDataDescriptorItem::itemClass());
    std::lock_guard lock(index.lock());
    if (offset < 0) {
        BVLog(
            "BVCacheFileBackend.storeBinaryData error: Expected file offset %llu doesn't match "
            "real %llu.",
            offset, descriptor->completedBytes.load());
        return false;
    }
    // The descriptor only claims bytes that really are in the content file.
    if (!backend_->storeBinaryData(data, BVCacheContentItem::cacheIndexKey(*descriptor),
                                   uint64_t(offset)))
        return false;
    descriptor->completedBytes = offset + int64_t(data.length());
    descriptor->totalBytes = total;
    storeItem(descriptor);
    return true;
}

bv::Data BVCacheController::fetchBinaryDataOf(const std::string& identifier, uint64_t offset,
                                              uint64_t size) {
    BVCacheIndex& index = indexOf(BVBinaryDataDescriptorItem::itemClass());
    std::lock_guard lock(index.lock());
    auto descriptor = fetchBinaryDataDescriptor(identifier);
    if (!descriptor)
        throw BVCacheException("BVCacheController",
                               bv::format("Binary item with identifier %@ not found.", identifier));
    return backend_->restoreBinaryDataOf(*descriptor, offset, size);
}

std::optional<bv::Data> BVCacheController::fetchBinaryDataOf(const std::string& identifier,
                                                             uint64_t offset, uint64_t size,
                                                             bv::Error* error) noexcept {
    try {
        BVCacheIndex& index = indexOf(BVBinaryDataDescriptorItem::itemClass());
        std::lock_guard lock(index.lock());
        if (!fetchBinaryDataDescriptor(identifier)) {
            std::string reason =
                bv::format("Binary item with identifier %@ not found.", identifier);
            BVLog("Caught exception %@ in BVCacheController.fetchBinaryDataOf() with the reason %@",
                  "BVCacheController", reason);
            bv::setError(error, bv::Error::make(-1000, reason));
            return std::nullopt;
        }
        return fetchBinaryDataOf(identifier, offset, size);
    } catch (const BVCacheException& e) {
        BVLog("Caught exception %@ in BVCacheController.fetchBinaryDataOf() with the reason %@",
              e.name(), e.reason());
        bv::setError(error, bv::Error::make(-1, e.reason()));
    } catch (const std::exception& e) {
        BVLog("Caught exception %@ in BVCacheController.fetchBinaryDataOf() with the reason %@",
              "std::exception", e.what());
        bv::setError(error, bv::Error::make(-1, e.what()));
    }
    return std::nullopt;
}

void BVCacheController::purgeBinaryDataForcedOf(const std::string& identifier) {
    BVCacheIndex& index = indexOf(BVBinaryDataDescriptorItem::itemClass());
    std::lock_guard lock(index.lock());
    backend_->purgeBinaryData(identifier);
}

std::string BVCacheController::pathForBinaryItemWithKey(const std::string& identifier) const {
    return backend_->pathForBinaryItemWithKey(identifier);
}
