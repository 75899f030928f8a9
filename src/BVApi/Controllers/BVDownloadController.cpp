#include "BVApi/Controllers/BVDownloadController.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "BVApi/Cache/BVCacheContentStream.h"
#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVDownloadLockTable.h"
#include "BVApi/Controllers/BVReadFailureBoard.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "BVApi/Networking/BVApiRequest.h"
#include "WebCallExec/BVStreamDecryptor.h"
#include "app/Logging/BVLogging.h"
#include "platform/RunLoop.h"

namespace {

std::mutex registryLock;  // guards registry
std::vector<std::shared_ptr<BVDownloadController>> registry;

void fillError(bv::Error* error, int64_t code, const char* reason) {
    BVApiClientContext::fillContextError(error, code, reason);
}

// The error handed to a reader, keeping what stood in its slot as the underlying error.
void passError(bv::Error* error, const bv::Error& cause) {
    if (!error)
        return;
    bv::Error replacement = cause;
    if (error->isSet() && !replacement.underlyingError())
        replacement.setUnderlying(*error);
    *error = std::move(replacement);
}

bool isEncryptedFolder(const BVItemRef& folder) {
    if (folder->isKindOf(BVFolderItem::itemClass()))
        return static_cast<const BVFolderItem&>(*folder).isEncrypted();
    if (folder->isKindOf(BVFolderListItem::itemClass()))
        return static_cast<const BVFolderListItem&>(*folder).isEncrypted();
    return false;
}

bool isReady(const BVBinaryDataDescriptorItem& descriptor, uint64_t bytes) {
    return descriptor.isCompleted() ||
           descriptor.isBytesReady(int64_t(std::min<uint64_t>(bytes, INT64_MAX)));
}

BVApiClient* clientOf(const BVDownloadController::Options& options) {
    return options.client ? options.client : BVApiClient::sharedClient();
}

BVContentController* contentOf(const BVDownloadController::Options& options) {
    return options.content ? options.content : BVContentController::sharedController();
}

// The dates alone miss a change at the service made within their tolerance of the caching
// (a file written again a second after it was read): whole plain content whose length is not
// the listed size is the old content. A secure file's listed size is that of its records.
bool sizeDiffersFromListing(const BVDownloadController::Options& options, const std::string& path,
                            const BVBinaryDataDescriptorItem& cached) {
    if (cached.encrypted || !cached.isCompleted())
        return false;
    bv::Error ignored;
    BVItemRef file = contentOf(options)->minimalItemInfoAt(path, &ignored);
    if (!file || !file->isKindOf(BVFileItem::itemClass()))
        return false;
    const int64_t listed = static_cast<const BVFileItem&>(*file).size;
    if (listed == cached.totalBytes.load())
        return false;
    BVLog("Cached content of %@ holds %lld bytes, the listing says %lld", path,
          static_cast<long long>(cached.totalBytes.load()), static_cast<long long>(listed));
    return true;
}

std::shared_ptr<BVCacheController> cacheOf(const BVDownloadController::Options& options) {
    return options.cache ? options.cache : BVCacheController::sharedController();
}

std::shared_ptr<bv::Clock> clockOf(const BVDownloadController::Options& options) {
    return options.clock ? options.clock : bv::Clock::system();
}

// The download ended without the bytes the reader needs.
std::shared_ptr<BVBinaryDataDescriptorItem> endedShort(const BVBinaryDataDescriptorItem& descriptor,
                                                       uint64_t bytes, bv::Error* error) {
    BVLog("Invalid file size. Requested %llu bytes, downloaded %llu/%llu.", bytes,
          descriptor.completedBytes.load(), descriptor.totalBytes.load());
    fillError(error, BVDownloadController::kErrorInvalidSize, BVDownloadController::kInvalidSize);
    return nullptr;
}

// Waits until the descriptor holds the bytes (or the whole file), the download fails, or no
// byte arrived for kReaderWait seconds. The quiet time counts from the download's last sign
// of life, not from the start of this wait: a reader that comes to a download that stalled
// long ago gives up at once rather than waiting the whole time again, so the retries of the
// read-ahead and the volume do not each add a full wait for a service that stopped answering.
std::shared_ptr<BVBinaryDataDescriptorItem> waitOn(
    const BVDownloadController::Options& options,
    const std::shared_ptr<BVBinaryDataDescriptorItem>& descriptor, uint64_t bytes,
    bv::Error* error) {
    if (isReady(*descriptor, bytes))
        return descriptor;
    auto stream = BVDownloadLockTable::shared().waitForStream(descriptor);
    if (!stream) {
        if (isReady(*descriptor, bytes))
            return descriptor;
        return endedShort(*descriptor, bytes, error);
    }
    auto clock = clockOf(options);
    auto quietDeadline = [&] {
        const double quiet =
            std::clamp(stream->secondsSinceActivity(), 0.0, BVDownloadController::kReaderWait);
        return clock->monotonic() + BVDownloadController::kReaderWait - quiet;
    };
    double deadline = quietDeadline();
    for (;;) {
        if (isReady(*descriptor, bytes))
            return descriptor;
        // Waiting for the next byte, not the last one, lets every piece that lands move the
        // deadline on.
        const uint64_t held = stream->length();
        switch (stream->waitForBytes(std::min(bytes, held + 1), deadline)) {
            case BVContentWait::Ready:
                if (stream->length() > held)
                    deadline = quietDeadline();
                if (!stream->isOpen() && !isReady(*descriptor, bytes) && stream->length() == held) {
                    return endedShort(*descriptor, bytes, error);
                }
                break;
            case BVContentWait::Failed: {
                if (isReady(*descriptor, bytes))
                    return descriptor;
                bv::Error failure = stream->error().value_or(bv::Error::make(
                    BVDownloadController::kErrorInvalidSize, BVDownloadController::kInvalidSize));
                BVLog("Descriptor got an error: %@", failure.description());
                passError(error, failure);
                return nullptr;
            }
            case BVContentWait::Ended:
                if (isReady(*descriptor, bytes))
                    return descriptor;
                return endedShort(*descriptor, bytes, error);
            case BVContentWait::TimedOut:
                fillError(error, BVDownloadController::kErrorTimedOut,
                          BVDownloadController::kTimedOut);
                return nullptr;
        }
    }
}

// Takes the file's download: creates its content and starts the request. The lock is
// released on every path that does not end in a running download.
std::shared_ptr<BVBinaryDataDescriptorItem> startDownload(
    const BVDownloadController::Options& options,
    const std::shared_ptr<BVBinaryDataDescriptorItem>& descriptor, const std::string& path,
    bv::Error* error) {
    auto& table = BVDownloadLockTable::shared();
    auto cache = cacheOf(options);
    BVItemRef parent = contentOf(options)->minimalItemInfoAt(BVVolumePath::parent(path), error);
    if (!parent) {
        table.unlock(descriptor);
        return nullptr;
    }
    // The cache keeps a descriptor only beside the file's own entry (which tells whether the
    // content is still current); the volume has it from its lookups, other readers may not.
    BVItemRef file = contentOf(options)->minimalItemInfoAt(path, error);
    if (!file) {
        table.unlock(descriptor);
        return nullptr;
    }
    descriptor->path = path;
    descriptor->encrypted = isEncryptedFolder(parent);
    cache->storeItem(descriptor);
    auto stream = cache->contentStreamFor(descriptor->identifier);
    if (!stream || stream->descriptor() != descriptor) {
        table.unlock(descriptor);
        return endedShort(*descriptor, 0, error);
    }
    table.attach(descriptor, stream);
    BVLog("Starting download of: %@ (in %x)", path, static_cast<unsigned>(descriptor->encrypted));
    auto download = BVDownloadController::downloadControllerForDescriptor(descriptor, options);
    // A secure file's listed size is that of its records, not of the plain bytes stored.
    if (!descriptor->encrypted && file->isKindOf(BVFileItem::itemClass()))
        download->expectListedSize(static_cast<const BVFileItem&>(*file).size);
    if (!download->startWithError(error))
        return nullptr;
    return descriptor;
}

}  // namespace

void BVDownloadController::installAsDownloader(Options defaults) {
    BVContentController::setDownloader(
        [defaults](BVContentController& content, const BVContentController::Options& resolved,
                   const std::string& path, uint64_t bytes, bv::Error* error) {
            Options options = defaults;
            options.client = resolved.client;
            options.content = &content;
            options.cache = resolved.cache;
            options.clock = resolved.clock;
            return downloadFileAt(options, path, bytes, error);
        });
}

std::shared_ptr<BVBinaryDataDescriptorItem> BVDownloadController::downloadFileAt(
    const Options& options, const std::string& path, uint64_t bytes, bv::Error* error) {
    auto* content = contentOf(options);
    auto cache = cacheOf(options);
    auto& table = BVDownloadLockTable::shared();
    // A content that cannot be purged would bring us back here; a few rounds are plenty.
    for (int round = 0; round < 3; ++round) {
        auto identifier = content->identifierForFileAt(path);
        if (!identifier || !cache || !content->identifierForFileAt(path, true)) {
            fillError(error, BVContentController::kErrorNotFound,
                      BVContentController::kFileNotFound);
            return nullptr;
        }
        if (auto locked = table.lockedItem(*identifier))
            return waitOn(options, locked, bytes, error);
        if (auto cached = cache->fetchBinaryDataDescriptor(*identifier)) {
            if (isReady(*cached, bytes) && !sizeDiffersFromListing(options, path, *cached))
                return cached;
            BVLog("Cache invalidated, purging it and re-downloading");
            cache->purgeItem(cached);
            cache->purgeBinaryDataForcedOf(*identifier);
            continue;
        }
        auto descriptor = table.tryLock(*identifier);
        if (!descriptor) {
            if (auto locked = table.lockedItem(*identifier))
                return waitOn(options, locked, bytes, error);
            continue;
        }
        if (!startDownload(options, descriptor, path, error))
            return nullptr;
        return waitOn(options, descriptor, bytes, error);
    }
    fillError(error, kErrorInvalidSize, kInvalidSize);
    return nullptr;
}

std::shared_ptr<BVDownloadController> BVDownloadController::downloadControllerForDescriptor(
    std::shared_ptr<BVBinaryDataDescriptorItem> descriptor, Options options) {
    std::shared_ptr<BVDownloadController> controller(
        new BVDownloadController(std::move(descriptor), std::move(options)));
    std::weak_ptr<BVDownloadController> weak = controller;
    auto& request = controller->request_;
    request->networkResponseHandler = [weak](const BVHttpResponse& response) {
        if (auto self = weak.lock())
            self->requestResponseHandler(response);
    };
    request->partialDataHandler = [weak](const bv::Data& piece, int64_t completed, int64_t total) {
        if (auto self = weak.lock())
            self->requestDataHandler(piece, completed, total);
    };
    request->dataHandler = [weak](const bv::Data* data, const bv::Error& error) {
        if (auto self = weak.lock())
            self->requestCompletedHandler(data, error);
    };
    std::lock_guard lock(registryLock);
    registry.push_back(controller);
    return controller;
}

size_t BVDownloadController::runningCount() {
    std::lock_guard lock(registryLock);
    return registry.size();
}

BVDownloadController::BVDownloadController(std::shared_ptr<BVBinaryDataDescriptorItem> descriptor,
                                           Options options)
    : item_(std::move(descriptor)), options_(std::move(options)) {
    // A download always starts at the beginning of the file.
    request_ = BVApiRequest::requestWithMethod("GET", "download/file.json",
                                               BVApiRequest::Arguments{item_->identifier},
                                               nlohmann::json{{"offset", 0}});
    request_->setClock(clockOf(options_));
    if (options_.requestConfiguration)
        request_->configuration() = *options_.requestConfiguration;
    transferBuffer_.reserve(2 * kTransferFlush);
    // A repeated attempt would stream the file again from byte 0 onto what was stored.
    request_->setNumberOfRetries(0);
    auto cache = cacheOf(options_);
    session_ = cache ? cache->fetchUserSession("default") : nullptr;
    stream_ = cache ? cache->openContentStream(item_->identifier) : nullptr;
    if (stream_ && stream_->descriptor() != item_)
        stream_.reset();
}

BVDownloadController::~BVDownloadController() = default;

bool BVDownloadController::startWithError(bv::Error* error) {
    parentPath_ = BVVolumePath::parent(item_->path);
    BVLog("[Apr] Locking for download: %@", parentPath_);
    lockStatus_ = options_.refresher && options_.refresher->tryLockFor(parentPath_);
    bv::Error failure;
    auto context = contentOf(options_)->contextForPath(item_->path, &failure);
    if (!stream_) {
        failure = bv::Error::make(kErrorInvalidSize, kInvalidSize);
        context.reset();
    }
    if (!context || !context->preFill(*request_, clientOf(options_), &failure)) {
        fail(failure);
        passError(error, failure);
        return false;
    }
    request_->sendAsync();
    if (auto delegate = clientOf(options_)->activityDelegate())
        delegate->didStartedRequest();

    auto answered = [this] { return status_ == 1 || finished_; };
    if (bv::RunLoop::isMainThread()) {
        // The callbacks come on this thread's loop.
        bv::RunLoop::main().runUntil(
            [&] {
                std::lock_guard lock(stateLock_);
                return answered();
            },
            1e9);
    } else {
        // A service that never answers (killed, stalled before its first byte) ends the
        // wait as a reader's wait for bytes ends: after kReaderWait.
        auto clock = clockOf(options_);
        const double deadline = clock->monotonic() + kReaderWait;
        std::unique_lock lock(stateLock_);
        while (!answered()) {
            const double left = deadline - clock->monotonic();
            if (left <= 0)
                break;
            stateChanged_.wait_for(lock, std::chrono::duration<double>(std::min(left, 1.0)));
        }
        if (!answered()) {
            lock.unlock();
            BVLog("No answer to the download of %@ in %@ s", item_->path,
                  std::to_string(int(kReaderWait)));
            request_->cancelAsync();
            const bv::Error timedOut = bv::Error::make(kErrorTimedOut, kTimedOut);
            ended(timedOut);
            passError(error, timedOut);
            return false;
        }
    }
    // Not streaming: the end callback has released the locks already.
    std::unique_lock lock(stateLock_);
    if (status_ == 1)
        return true;
    passError(error, error_.isSet() ? error_ : bv::Error::make(kErrorInvalidSize, kInvalidSize));
    return false;
}

void BVDownloadController::requestResponseHandler(const BVHttpResponse& response) {
    if (released_)
        return;
    const bool streaming = response.statusCode == 200;
    {
        std::lock_guard lock(stateLock_);
        if (streaming) {
            status_ = 1;
            // The first byte may take a while yet; the readers' quiet time starts now.
            if (stream_)
                stream_->noteActivity();
        } else {
            // The body is the service's explanation, not the file.
            request_->partialDataHandler = nullptr;
            status_ = 2;
        }
    }
    stateChanged_.notify_all();
    // The service answers again: reads that gave up on the file may be tried again.
    if (streaming)
        BVReadFailureBoard::shared().clear(item_->identifier);
}

void BVDownloadController::requestDataHandler(const bv::Data& piece, int64_t, int64_t) {
    if (released_)
        return;
    // A plain piece larger than a flush is stored as it came (the same store the buffer would
    // make), after what the buffer held before it: copying it into the buffer first would
    // copy every byte of the download once more.
    if (!item_->encrypted && piece.length() > kTransferFlush) {
        if ((!transferBuffer_.empty() && !storeBuffer()) || !storeData(piece)) {
            request_->cancelAsync();
            ended(bv::Error::make(kErrorInvalidSize, kInvalidSize));
        }
        return;
    }
    transferBuffer_.append(piece);
    if (transferBuffer_.length() > kTransferFlush && !storeBuffer()) {
        request_->cancelAsync();
        ended(bv::Error::make(kErrorInvalidSize, kInvalidSize));
    }
}

bool BVDownloadController::storeBuffer() {
    bv::Data data;
    if (item_->encrypted) {
        if (!decryptor_)
            decryptor_ = std::make_unique<BVStreamDecryptor>(session_ ? session_->encryptionKey
                                                                      : bv::Data());
        bv::Error failure;
        const bool decrypted =
            decryptor_->decrypt(transferBuffer_.bytes(), transferBuffer_.length(), &data, &failure);
        transferBuffer_.clear();
        if (!decrypted) {
            BVLog("Decryption of %@ failed: %@", item_->path, failure.description());
            std::lock_guard lock(stateLock_);
            error_ = failure;
            return false;
        }
    } else {
        std::swap(data, transferBuffer_);
        // Room for a whole flush, so the pieces of the next one are not copied again as the
        // buffer grows.
        transferBuffer_.reserve(2 * kTransferFlush);
    }
    return storeData(data);
}

bool BVDownloadController::storeData(const bv::Data& data) {
    if (data.empty())
        return true;
    const int64_t offset = item_->completedBytes.load();
    BVLog("completed %@", std::to_string(offset));
    if (!stream_ || !stream_->append(data, offset, -1))
        return false;
    // A download given up on that moves again (a stalled service resumed).
    BVReadFailureBoard::shared().clear(item_->identifier);
    return true;
}

void BVDownloadController::requestCompletedHandler(const bv::Data* data, const bv::Error& error) {
    if (released_)
        return;
    int64_t status;
    {
        std::lock_guard lock(stateLock_);
        status = status_;
    }
    if (status == 2) {
        bv::Error failure;
        if (auto answer = BVApiRequest::apiResponseFrom(data, request_->uid(), &failure)) {
            failure = bv::Error();
            clientOf(options_)->checkServerError(&failure, request_, *answer);
        }
        if (!failure.isSet())
            failure = bv::Error::make(kErrorInvalidSize, kInvalidSize);
        ended(failure);
        return;
    }
    if (data || !error.isSet()) {
        if (!storeBuffer()) {
            ended(this->error().isSet() ? this->error()
                                        : bv::Error::make(kErrorInvalidSize, kInvalidSize));
            return;
        }
        // A body cut short, or a secure file ending inside a record, is not the whole file:
        // its descriptor must never claim completeness.
        const int64_t expected = request_->totalBytes();
        bv::Error cut;
        const bool whole = (expected < 0 || request_->receivedBytes() >= expected) &&
                           (!decryptor_ || decryptor_->finish(&cut));
        if (!whole) {
            BVLog("Invalid file size. Requested %llu bytes, downloaded %llu/%llu.", expected,
                  request_->receivedBytes(), item_->completedBytes.load());
            ended(bv::Error::make(kErrorInvalidSize, kInvalidSize));
            return;
        }
        // Whole as the service sent it, but not the file the listing announced: served as
        // it is, the volume would cut it at the listed size or pad it.
        if (listedSize_ >= 0 && request_->receivedBytes() != listedSize_) {
            BVLog("Download of %@ brought %llu bytes where its listing says %llu; not served",
                  item_->path, request_->receivedBytes(), listedSize_);
            ended(bv::Error::make(kErrorInvalidSize, kInvalidSize));
            return;
        }
        stream_->finish();
        ended(bv::Error());
        return;
    }
    ended(error);
}

void BVDownloadController::ended(bv::Error failure) {
    if (failure.isSet() && stream_)
        stream_->fail(failure);
    {
        std::lock_guard lock(stateLock_);
        if (failure.isSet() && !error_.isSet())
            error_ = failure;
        finished_ = true;
    }
    stateChanged_.notify_all();
    release();
}

void BVDownloadController::fail(const bv::Error& failure) {
    if (stream_)
        stream_->fail(failure);
    release();
}

void BVDownloadController::release() {
    if (released_.exchange(true))
        return;
    if (lockStatus_)
        options_.refresher->unlockFor(parentPath_);
    BVDownloadLockTable::shared().unlock(item_);
    if (auto delegate = clientOf(options_)->activityDelegate())
        delegate->didFinishedRequest();
    std::shared_ptr<BVDownloadController> self;
    std::lock_guard lock(registryLock);
    auto it = std::find_if(registry.begin(), registry.end(),
                           [this](const auto& entry) { return entry.get() == this; });
    if (it != registry.end()) {
        // Destroyed after the registry's lock is let go.
        self = std::move(*it);
        registry.erase(it);
    }
}

int64_t BVDownloadController::status() const {
    std::lock_guard lock(stateLock_);
    return status_;
}

bv::Error BVDownloadController::error() const {
    std::lock_guard lock(stateLock_);
    return error_;
}

size_t BVDownloadController::pendingBytes() const {
    return transferBuffer_.length() + (decryptor_ ? decryptor_->pending().length() : 0);
}
