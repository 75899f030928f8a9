// File content of the cache controller: appends through each file's content stream, reads
// and emptying of content files, recorded in the file's BVBinaryDataDescriptorItem.
#include <algorithm>

#include "BVApi/Cache/BVCacheContentItem.h"
#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVCacheException.h"
#include "BVApi/Cache/BVCacheWriter.h"
#include "BVApi/Content/BVTransferItems.h"
#include "app/Logging/BVLogging.h"

std::shared_ptr<BVCacheContentStream> BVCacheController::openContentStream(
    const std::string& identifier) {
    std::lock_guard lock(streamsLock_);
    auto it = streams_.find(identifier);
    return it == streams_.end() ? nullptr : it->second;
}

std::shared_ptr<BVCacheContentStream> BVCacheController::contentStreamFor(
    const std::string& identifier) {
    if (auto stream = openContentStream(identifier); stream && stream->isOpen())
        return stream;
    auto descriptor = fetchBinaryDataDescriptor(identifier);
    if (!descriptor)
        return nullptr;
    const std::string key = BVCacheContentItem::cacheIndexKey(*descriptor);
    auto content = backend_->openContentForAppend(key);
    if (!content)
        return nullptr;
    // Bytes no descriptor claims (its index was lost, a crash came before its persist) would
    // stand before the first piece of the writer, which starts at the claim.
    const uint64_t claimed = uint64_t(std::max<int64_t>(0, descriptor->completedBytes.load()));
    if (content->length > claimed) {
        BVLog("Cached content of %@ holds %llu bytes its descriptor does not claim; it is dropped",
              identifier, content->length - claimed);
        if (!backend_->emptyContent(content->fd.get(), key))
            return nullptr;
        content->length = 0;
    }
    auto stream = std::make_shared<BVCacheContentStream>(
        descriptor, backend_, std::move(content->fd), content->length, clock_, writer_);
    std::lock_guard lock(streamsLock_);
    auto& slot = streams_[identifier];
    // Another thread opened one meanwhile: there is one stream per file.
    if (slot && slot->isOpen() && slot->descriptor() == descriptor)
        return slot;
    if (slot)
        slot->abandon();
    slot = stream;
    return stream;
}

void BVCacheController::abandonStream(const std::string& identifier, const BVItemRef& unlessFor) {
    std::shared_ptr<BVCacheContentStream> stream;
    {
        std::lock_guard lock(streamsLock_);
        auto it = streams_.find(identifier);
        if (it == streams_.end() || (unlessFor && it->second->descriptor() == unlessFor))
            return;
        stream = std::move(it->second);
        streams_.erase(it);
    }
    stream->abandon();
}

bool BVCacheController::storeBinaryData(const bv::Data& data, int64_t offset, int64_t total,
                                        const std::string& identifier) {
    auto stream = contentStreamFor(identifier);
    if (!stream)
        return false;
    // The descriptor only claims bytes that really are in the content file.
    if (!stream->append(data, offset, total))
        return false;
    if (total > 0 && offset + int64_t(data.length()) == total)
        stream->finish();
    return true;
}

bool BVCacheController::finishBinaryDataOf(const std::string& identifier, uint64_t total) {
    auto stream = openContentStream(identifier);
    return stream && stream->finishAt(total);
}

bv::Data BVCacheController::fetchBinaryDataOf(const std::string& identifier, uint64_t offset,
                                              uint64_t size) {
    auto descriptor = fetchBinaryDataDescriptor(identifier);
    if (!descriptor)
        throw BVCacheException("BVCacheController",
                               bv::format("Binary item with identifier %@ not found.", identifier));
    try {
        return backend_->restoreBinaryDataOf(*descriptor, offset, size);
    } catch (const BVCacheDamagedException& e) {
        dropDamagedContent(descriptor, e.reason());
        throw;
    }
}

void BVCacheController::dropDamagedContent(const BVItemRef& descriptor,
                                           const std::string& problem) {
    BVLog("Cached content of %@ is damaged (%@); it is dropped and will be downloaded again",
          descriptor->identifier, problem);
    // Only this descriptor's: one that replaced it meanwhile belongs to fresh content.
    if (fetchBinaryDataDescriptor(descriptor->identifier) != descriptor)
        return;
    purgeItem(descriptor);
    purgeBinaryDataForcedOf(descriptor->identifier);
}

std::optional<bv::Data> BVCacheController::fetchBinaryDataOf(const std::string& identifier,
                                                             uint64_t offset, uint64_t size,
                                                             bv::Error* error) noexcept {
    try {
        auto descriptor = fetchBinaryDataDescriptor(identifier);
        if (!descriptor) {
            std::string reason =
                bv::format("Binary item with identifier %@ not found.", identifier);
            BVLog("Caught exception %@ in BVCacheController.fetchBinaryDataOf() with the reason %@",
                  "BVCacheController", reason);
            bv::setError(error, bv::Error::make(-1000, reason));
            return std::nullopt;
        }
        try {
            return backend_->restoreBinaryDataOf(*descriptor, offset, size);
        } catch (const BVCacheDamagedException& e) {
            dropDamagedContent(descriptor, e.reason());
            bv::setError(error, bv::Error::make(kErrorContentDamaged, e.reason()));
            return std::nullopt;
        }
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

bool BVCacheController::verifyBinaryDataOf(const std::string& identifier) noexcept {
    auto descriptor = fetchBinaryDataDescriptor(identifier);
    if (!descriptor)
        return false;
    constexpr uint64_t kPiece = 4 << 20;
    const uint64_t length = uint64_t(std::max<int64_t>(0, descriptor->completedBytes.load()));
    for (uint64_t at = 0; at < length; at += kPiece) {
        bv::Error error;
        auto piece = fetchBinaryDataOf(identifier, at, std::min(kPiece, length - at), &error);
        if (!piece || piece->empty())
            return false;
    }
    return true;
}

void BVCacheController::purgeBinaryDataForcedOf(const std::string& identifier) {
    abandonStream(identifier);
    backend_->purgeBinaryData(identifier);
}

std::string BVCacheController::pathForBinaryItemWithKey(const std::string& identifier) const {
    return backend_->pathForBinaryItemWithKey(identifier);
}
