// File content of the content controller: its readers hand the waiting and downloading to the
// downloader installed by the controllers above and read the bytes from the cache.
#include <mutex>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientContext.h"
#include "app/Logging/BVLogging.h"

namespace {
std::mutex downloaderLock;  // guards downloader
BVContentController::Downloader downloader;
}  // namespace

void BVContentController::setDownloader(Downloader replacement) {
    std::lock_guard hold(downloaderLock);
    downloader = std::move(replacement);
}

std::shared_ptr<BVBinaryDataDescriptorItem> BVContentController::downloadFileAt(
    const std::string& path, uint64_t bytes, bv::Error* error) {
    Downloader download;
    {
        std::lock_guard hold(downloaderLock);
        download = downloader;
    }
    Options resolved = options_;
    resolved.client = client();
    resolved.cache = cache();
    if (!resolved.clock)
        resolved.clock = bv::Clock::system();
    if (!download || !resolved.cache) {
        BVApiClientContext::fillContextError(error, kErrorNotFound, kFileNotFound);
        return nullptr;
    }
    return download(*this, resolved, path, bytes, error);
}

std::optional<bv::Data> BVContentController::readFileAt(const std::string& path, uint64_t offset,
                                                        uint64_t size, bv::Error* error) noexcept {
    try {
        const uint64_t end = offset > UINT64_MAX - size ? UINT64_MAX : offset + size;
        // Damaged content is dropped by the cache when it is found; the second round
        // downloads it again. A second damage in a row is a failing disk: the error stands.
        for (int round = 0;; ++round) {
            auto descriptor = downloadFileAt(path, end, error);
            if (!descriptor)
                return std::nullopt;
            auto store = cache();
            if (!store)
                return std::nullopt;
            bv::Error failure;
            auto bytes = store->fetchBinaryDataOf(descriptor->identifier, offset, size, &failure);
            if (bytes || failure.code() != BVCacheController::kErrorContentDamaged || round > 0) {
                if (!bytes)
                    bv::setError(error, failure);
                return bytes;
            }
        }
    } catch (const std::exception& e) {
        BVLog("Caught exception %@ in BVContentController.readFileAt() with the reason %@",
              "std::exception", e.what());
        bv::setError(error, bv::Error::make(-1, e.what()));
        return std::nullopt;
    }
}
