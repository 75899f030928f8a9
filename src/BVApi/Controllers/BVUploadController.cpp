#include "BVApi/Controllers/BVUploadController.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Controllers/BVUploadControllerDelegate.h"
#include "BVApi/Controllers/BVUploadJournal.h"
#include "BVApi/Networking/BVApiRequest.h"
#include "WebCallExec/BVDataEncryption.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/Format.h"
#include "platform/RunLoop.h"
#include "platform/UniqueFd.h"
#include "platform/UserInterface.h"

namespace {

std::atomic<int64_t> gOpenUploads{0};
std::atomic<bool> gSmallChunks{false};

constexpr const char* kIncorrectOffset = "Incorrect chunk offset";
constexpr const char* kUploadedMarker = "Incorrect chunk offset: uploaded=";
constexpr const char* kDiskFullText =
    "Upload was unsuccessful. There is not enough space on your local disk.";

}  // namespace

BVUploadController::BVUploadController(std::string path, BVUploadControllerDelegate* delegate,
                                       Options options)
    : path_(std::move(path)),
      delegate_(delegate),
      options_(std::move(options)),
      queue_("BVUploadController", 1) {
    cancelObserver_ = bv::NotificationCenter::defaultCenter().addObserver(
        BVApiRequest::kCancelAllUploadsNotification,
        [this](const std::string&, const nlohmann::json&) { cancelOperations(); });
    if (options_.uploadSpeedLimit > 0) {
        gSmallChunks = true;
        minimalDelay_ = kSmallChunkSize / options_.uploadSpeedLimit + 20;
        retryAttemptsDelays_ = {kRetryDelay, kRetryDelay};
    } else {
        retryAttemptsDelays_ = {kRetryDelay, kRetryDelay, kRetryDelay, kRetryDelay};
    }
    BVLog("BVUploadController: locking %@", path_);
    BVLog("[Apr] Locking for upload: %@", parentPath());
    if (auto* folders = refresher())
        lockedParent_ = folders->tryLockFor(parentPath());
    ++gOpenUploads;
}

BVUploadController::~BVUploadController() {
    cancelObserver_.reset();
    settleMirror();
    // A controller dropped without its close still gives back its count and lock.
    if (!closed_)
        BVUploadController::closeFileError(nullptr);
    notifyDelegate(
        [this](BVUploadControllerDelegate& delegate) { delegate.uploadControllerWillEnd(this); });
}

// MARK: collaborators

BVManageController& BVUploadController::manage() const {
    return options_.manage ? *options_.manage : *BVManageController::sharedController();
}

BVContentController& BVUploadController::content() const {
    return options_.content ? *options_.content : *BVContentController::sharedController();
}

std::shared_ptr<BVCacheController> BVUploadController::cache() const {
    return options_.cache ? options_.cache : BVCacheController::sharedController();
}

std::shared_ptr<BVTmpController> BVUploadController::tmp() const {
    return options_.tmp ? options_.tmp : BVTmpController::sharedController();
}

BVBackgroundFolderUpdateController* BVUploadController::refresher() const {
    return options_.refresher ? options_.refresher
                              : BVBackgroundFolderUpdateController::sharedController();
}

std::shared_ptr<bv::UserInterface> BVUploadController::ui() const {
    return options_.ui ? options_.ui : bv::UserInterface::current();
}

uint64_t BVUploadController::freeDiskSpace() const {
    return options_.freeDiskSpace ? options_.freeDiskSpace()
                                  : Utilities::getFreeDiskSpaceOnThisMac();
}

void BVUploadController::notifyDelegate(
    const std::function<void(BVUploadControllerDelegate&)>& call) {
    if (delegate_)
        call(*delegate_);
}

std::string BVUploadController::fileName() const {
    return BVVolumePath::lastComponent(path_);
}
std::string BVUploadController::parentPath() const {
    return BVVolumePath::parent(path_);
}

uint64_t BVUploadController::chunkSize() const {
    if (options_.chunkSize)
        return options_.chunkSize;
    return gSmallChunks ? kSmallChunkSize : kChunkSize;
}

int64_t BVUploadController::openUploadCount() {
    return gOpenUploads.load();
}
bool BVUploadController::smallChunks() {
    return gSmallChunks.load();
}
void BVUploadController::resetSmallChunks() {
    gSmallChunks = false;
}

bv::Error BVUploadController::uploadError() const {
    std::lock_guard hold(stateLock_);
    return uploadError_;
}

std::shared_ptr<BVUploadFileHandle> BVUploadController::uploadHandle() const {
    std::lock_guard hold(stateLock_);
    return uploadHandle_;
}

void BVUploadController::setUploadHandle(std::shared_ptr<BVUploadFileHandle> handle) {
    std::lock_guard hold(stateLock_);
    uploadHandle_ = std::move(handle);
}

std::vector<BVUploadChunk> BVUploadController::uploadedChunks() const {
    std::lock_guard hold(stateLock_);
    return {uploadedData_.begin(), uploadedData_.end()};
}

void BVUploadController::restartUpload() {
    settleMirror();
    std::lock_guard hold(stateLock_);
    uploadedData_.clear();
    cacheDescriptor_.reset();
    uploadOffset_ = 0;
    uploadEncryptionOffset_ = 0;
    uploadTotal_ = 0;
}

// MARK: create, open, write, close

bool BVUploadController::takeEncryption(bv::Error* error) {
    auto parent = content().minimalItemInfoAt(parentPath(), error);
    if (!parent)
        return false;
    int64_t flag = 0;
    if (auto folder = std::dynamic_pointer_cast<BVFolderItem>(parent))
        flag = folder->encrypted;
    else if (auto listing = std::dynamic_pointer_cast<BVFolderListItem>(parent))
        flag = listing->encrypted;
    encrypted_ = flag != 0;
    if (encrypted_) {
        auto cache = this->cache();
        auto session = cache ? cache->fetchUserSession("default") : nullptr;
        encryptionKey_ = session ? session->encryptionKey : bv::Data();
    }
    return true;
}

bool BVUploadController::createFileError(bv::Error* error) {
    const bool created = manage().createFileAt(parentPath(), fileName(), error);
    BVLog("path at createFileError: %@", path_);
    if (!created)
        return false;
    setUploadHandle(manage().uploadOpenAt(path_, 0, error));
    if (!takeEncryption(error))
        return false;
    return uploadHandle() != nullptr;
}

bool BVUploadController::openFileError(bv::Error* error) {
    opened_ = true;
    return takeEncryption(error);
}

bool BVUploadController::openOrCreateFileError(bv::Error* error) {
    bv::Error lookup;
    if (content().identifierForFileAt(path_, false, &lookup))
        return openFileError(error);
    if (lookup) {
        if (error)
            *error = lookup;
        return false;
    }
    BVLog("%@ is not at the service yet; creating it", path_);
    opened_ = true;
    return createFileError(error);
}

bool BVUploadController::writeFile(const void*, uint64_t, int64_t, bv::Error*) {
    return true;
}

bool BVUploadController::closeFileError(bv::Error*) {
    settleMirror();
    if (closed_)
        return true;
    closed_ = true;
    --gOpenUploads;
    // Each upload gives back the folder lock it took: a lock left to the last close of all
    // would keep other folders locked for good.
    if (lockedParent_) {
        BVLog("BVUploadController: unlocking file %@", path_);
        if (auto* folders = refresher())
            folders->unlockFor(parentPath());
        lockedParent_ = false;
    }
    return true;
}

// MARK: the queue

void BVUploadController::queueOperation(std::function<void()> operation) {
    {
        std::lock_guard hold(pendingLock_);
        ++pending_;
    }
    queue_.addOperation([this, operation = std::move(operation)] {
        struct Ended {
            BVUploadController* controller;
            ~Ended() { controller->operationEnded(); }
        } ended{this};
        {
            // Chunks go one at a time: a chunk uploaded on a caller's thread finishes first.
            std::unique_lock hold(pendingLock_);
            pendingChanged_.wait(hold, [this] { return !runningHere_ || suspended_; });
            if (suspended_)
                return;
        }
        operation();
    });
}

void BVUploadController::queueUpload(bv::Data data) {
    queueUpload(std::make_shared<const bv::Data>(std::move(data)));
}

void BVUploadController::queueUpload(std::shared_ptr<const bv::Data> data) {
    queueOperation(
        [this, data = std::move(data)] { upload(data, uploadOffset_.load(), false, false); });
}

bool BVUploadController::claimUploadHere() {
    std::lock_guard hold(pendingLock_);
    if (pending_ > 0 || suspended_)
        return false;
    ++pending_;
    runningHere_ = true;
    return true;
}

void BVUploadController::uploadHere(std::shared_ptr<const bv::Data> data) {
    struct Ended {
        BVUploadController* controller;
        ~Ended() {
            {
                std::lock_guard hold(controller->pendingLock_);
                controller->runningHere_ = false;
            }
            controller->operationEnded();
        }
    } ended{this};
    upload(data, uploadOffset_.load(), false, false);
}

void BVUploadController::operationEnded() {
    {
        std::lock_guard hold(pendingLock_);
        if (pending_ > 0)
            --pending_;
    }
    pendingChanged_.notify_all();
    bv::RunLoop::main().wakeUp();
}

bool BVUploadController::queueIdle() {
    std::lock_guard hold(pendingLock_);
    return pending_ == 0 || suspended_;
}

bool BVUploadController::waitForQueueFor(double seconds) {
    // The main thread delivers the answers of chunk uploads: it runs its loop while it waits.
    if (bv::RunLoop::isMainThread()) {
        bv::RunLoop::main().runUntil([this] { return queueIdle(); }, seconds);
    } else {
        std::unique_lock hold(pendingLock_);
        pendingChanged_.wait_for(hold, std::chrono::duration<double>(seconds),
                                 [this] { return pending_ == 0 || suspended_; });
    }
    return !uploadFailed_;
}

void BVUploadController::cancelOperations() {
    queue_.setSuspended(true);
    queue_.cancelAllOperations();
    {
        std::lock_guard hold(pendingLock_);
        suspended_ = true;
    }
    pendingChanged_.notify_all();
    bv::RunLoop::main().wakeUp();
}

bool BVUploadController::cancelled() {
    std::lock_guard hold(pendingLock_);
    return suspended_;
}

// MARK: one chunk

bool BVUploadController::checkDiskSpace() {
    uint64_t free = freeDiskSpace();
    BVLog("freeDiskSpace: %llu", static_cast<unsigned long long>(free));
    if (free > kLowDiskSpace)
        return true;
    BVLog("BVUploadController upload: Not enough space on the disk.");
    const bv::Error full = bv::Error::make(1000, kDiskFullText);
    if (lackOfFreeDiskSpaceAlertOnceShown_) {
        notEnoughFreeSpaceNeedToAbortAlert(full);
        return false;
    }
    lackOfFreeDiskSpaceAlertOnceShown_ = true;
    const int answer = ui()->alert(
        "Upload Warning. Waiting for 6 minutes.",
        bv::format("There is not enough space on your local disk to copy file %@ so it can be "
                   "uploaded to our cloud. Please free more space and proceed.",
                   fileName()),
        {"Proceed", "Cancel"});
    if (answer == 1) {
        BVLog("Cancel button pushed.");
        notEnoughFreeSpaceNeedToAbortAlert(full);
        return false;
    }
    if (answer == 0) {
        BVLog("Proceed button pushed.");
        free = freeDiskSpace();
        BVLog("freeDiskSpace after proceeding: %llu", static_cast<unsigned long long>(free));
        if (free <= kProceedDiskSpace) {
            BVLog("BVUploadController upload: Still not enough space on the disk.");
            notEnoughFreeSpaceNeedToAbortAlert(full);
            return false;
        }
        return true;
    }
    BVLog("NSAlert aborted.");
    if (freeDiskSpace() <= kProceedDiskSpace) {
        notEnoughFreeSpaceNeedToAbortAlert(full);
        return false;
    }
    return true;
}

bool BVUploadController::sendChunk(const std::shared_ptr<const bv::Data>& data, uint64_t offset,
                                   bv::Error* error, bool reportProgress) {
    auto handle = uploadHandle();
    if (!handle)
        return false;
    BVManageController::ProgressHandler progress = [](int64_t, int64_t) { return true; };
    if (reportProgress) {
        progress = [this, offset](int64_t sent, int64_t expected) {
            // The window wants bytes sent against bytes to send.
            const uint64_t completed = offset + static_cast<uint64_t>(std::max<int64_t>(sent, 0));
            const uint64_t known = totalBytes_.load();
            const uint64_t total =
                std::max(known, offset + static_cast<uint64_t>(std::max<int64_t>(expected, 0)));
            uploadTotal_ = total;
            notifyDelegate([&](BVUploadControllerDelegate& delegate) {
                delegate.uploadDidMadeProgress(this, completed, total);
            });
            return true;
        };
    }
    return manage().uploadChunk(data, *handle, false, progress, offset, error);
}

void BVUploadController::settleMirror() {
    std::thread running;
    {
        std::lock_guard hold(mirrorLock_);
        running = std::move(mirrorWriter_.thread);
    }
    if (running.joinable())
        running.join();
}

void BVUploadController::chunkSent(const std::shared_ptr<const bv::Data>& plain,
                                   const std::shared_ptr<const bv::Data>& uploaded,
                                   uint64_t offset) {
    // The previous chunk's bytes are in the mirror before this one's go after them.
    settleMirror();
    auto handle = uploadHandle();
    auto cache = this->cache();
    std::shared_ptr<BVBinaryDataDescriptorItem> descriptor;
    bool fresh = false;
    {
        std::lock_guard hold(stateLock_);
        if (!cacheDescriptor_ && handle) {
            cacheDescriptor_ = std::make_shared<BVBinaryDataDescriptorItem>();
            cacheDescriptor_->identifier = handle->identifier;
            cacheDescriptor_->path = handle->path;
            cacheDescriptor_->encrypted = encrypted_;
            fresh = true;
        }
        descriptor = cacheDescriptor_;
        if (uploadedData_.size() >= kChunkHistory)
            uploadedData_.pop_front();
        uploadedData_.push_back(BVUploadChunk{offset, uploaded});
    }
    if (cache && descriptor) {
        if (fresh)
            cache->storeItem(descriptor);
        // Written beside the next chunk's arrival: the writer's next bytes reach the buffer
        // while this chunk's reach the disk.
        auto write = [cache, plain, at = static_cast<int64_t>(uploadEncryptionOffset_.load()),
                      identifier = descriptor->identifier] {
            try {
                cache->storeBinaryData(*plain, at, -1, identifier);
            } catch (...) {
                // A mirror that missed its bytes is only a cache that must download them.
            }
        };
        std::thread writer;
        try {
            writer = std::thread(write);
        } catch (const std::system_error&) {
            write();  // no thread to spare: written here
        }
        std::lock_guard hold(mirrorLock_);
        mirrorWriter_.thread = std::move(writer);
    }
    uploadOffset_ += uploaded->size();
    uploadEncryptionOffset_ += plain->size();
}

double BVUploadController::delayForAttempt(size_t attempt) const {
    double delay = retryAttemptsDelays_.at(attempt);
    return std::max(delay, static_cast<double>(minimalDelay_));
}

bool BVUploadController::sleepUnlessCancelled(double seconds) {
    auto clock = options_.clock ? options_.clock : bv::Clock::system();
    // In steps, so that "CancelAllUploads" does not wait out a quarter of an hour.
    for (double left = seconds; left > 0 && !cancelled(); left -= 1)
        clock->sleepFor(std::min(left, 1.0));
    return !cancelled();
}

bool BVUploadController::upload(std::shared_ptr<const bv::Data> data, uint64_t offset,
                                bool basicMode, bool incorrectRequest) {
    const unsigned long long n = lockConditionCounter_++;
    auto handle = uploadHandle();
    if (!handle || handle->identifier.empty()) {
        BVLog("ERROR: upload: called with empty self.uploadHandle");
        return uploadChunkFailed(bv::Error());
    }
    if (!checkDiskSpace())
        return false;
    // The plain bytes go as they are; only a secure file's chunk needs bytes of its own.
    std::shared_ptr<const bv::Data> sent = data;
    if (encrypted_) {
        auto encryptedData = encryptWithKey(*data, encryptionKey_);
        if (!encryptedData) {
            BVLog("uploadData is nil in upload");
            return false;
        }
        sent = std::make_shared<const bv::Data>(std::move(*encryptedData));
    }
    BVLog("Upload %llu: starting new chunk at %llu", n, static_cast<unsigned long long>(offset));
    BVLog("self.uploadOffset: %llu", static_cast<unsigned long long>(uploadOffset_.load()));
    bv::Error failure;
    bool ok;
    if (incorrectRequest)
        ok = manage().uploadChunk(sent, *handle, true, nullptr, offset, &failure);
    else
        ok = sendChunk(sent, offset, &failure, true);
    BVLog("Upload %llu: chunk uploaded", n);
    if (ok) {
        chunkSent(data, sent, offset);
        return true;
    }
    if (basicMode || cancelled())
        return false;
    if (isIncorrectOffsetError(failure)) {
        // Once per chunk: when the service still disagrees after the repair (it holds bytes
        // that no remembered chunk accounts for), asking again would never end.
        if (offsetRepaired_) {
            uploadChunkFailed(failure);
            return false;
        }
        BVLog("recovering from incorrect chunk offset error.");
        if (didRecoverIncorrectOffsetError(failure)) {
            offsetRepaired_ = true;
            const bool sent = upload(data, offset, false, false);
            offsetRepaired_ = false;
            return sent;
        }
        uploadChunkFailed(failure);
        return false;
    }
    for (size_t k = 0; k < retryAttemptsDelays_.size(); ++k) {
        BVLog("Retry attempt number %i", static_cast<int>(k));
        const double delay = delayForAttempt(k);
        BVLog("Retry attempt will start in %i minutes", static_cast<int>(delay / 60));
        if (!sleepUnlessCancelled(delay))
            return false;
        BVLog("Retry attempt started.");
        const bool retried = upload(data, offset, true, false);
        BVLog(retried ? "Some result from uploading the chunk."
                      : "No result from uploading the chunk.");
        if (retried) {
            BVLog("Attempt successful.");
            return true;
        }
        if (uploadFailed_ || cancelled())
            return false;
    }
    BVLog("All attempts unsuccessful");
    suppressQueueUploadOnCloseFileError_ = true;
    return uploadChunkFailed(failure);
}

bool BVUploadController::isIncorrectOffsetError(const bv::Error& error) {
    return error && error.failureReason().rfind(kIncorrectOffset, 0) == 0;
}

int64_t BVUploadController::getUploadedSize(const std::string& text) {
    const size_t at = text.find(kUploadedMarker);
    if (at == std::string::npos)
        return -1;
    const size_t start = at + std::char_traits<char>::length(kUploadedMarker);
    const size_t end = text.find(',', start);
    const std::string number = text.substr(start, end == std::string::npos ? end : end - start);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    try {
        return std::stoll(number);
    } catch (const std::exception&) {
        return -1;
    }
}

bool BVUploadController::didRecoverIncorrectOffsetError(const bv::Error& error) {
    BVLog("Trying to recover from invalid chunk offset error");
    const int64_t held = getUploadedSize(error.failureReason());
    BVLog("file size in cloud = %ld", static_cast<long>(held));
    if (held < 0)
        return false;
    auto handle = uploadHandle();
    if (!handle)
        return false;
    for (const BVUploadChunk& chunk : uploadedChunks()) {
        if (chunk.offset < static_cast<uint64_t>(held))
            continue;
        BVLog("Recovering from ICO error, retry attempt number %i", 0);
        const double delay = delayForAttempt(0);
        BVLog("Retry attempt after ICO error will start in %i minutes",
              static_cast<int>(delay / 60));
        if (!sleepUnlessCancelled(delay))
            return false;
        BVLog("Retry attempt after ICO error started.");
        bv::Error failure;
        const bool resent = sendChunk(chunk.data, chunk.offset, &failure, false);
        BVLog(resent ? "Some result from re-uploading the chunk."
                     : "No result from re-uploading the chunk.");
        if (!resent) {
            BVLog("All recovery attempts to upload the chunk unsuccessful");
            suppressQueueUploadOnCloseFileError_ = true;
            return uploadChunkFailed(failure);
        }
        BVLog("Retry attempt after ICO error successful.");
    }
    return true;
}

bool BVUploadController::uploadChunkFailed(const bv::Error& error) {
    settleMirror();
    BVLog("Upload chunk failed: %@ - %ld  %ld", error.description(),
          static_cast<long>(uploadOffset_.load()), static_cast<long>(uploadTotal_.load()));
    {
        std::lock_guard hold(stateLock_);
        uploadError_ = error;
    }
    uploadFailed_ = true;
    auto handle = uploadHandle();
    if (auto cache = this->cache(); cache && handle) {
        const auto own = content().identifierForFileAt(path_, true);
        cache->purgeCacheForFile(handle->identifier, own.value_or(handle->identifier));
    }
    notifyDelegate([&](BVUploadControllerDelegate& delegate) {
        delegate.uploadDidFailedWithError(this, error);
    });
    return false;
}

void BVUploadController::notEnoughFreeSpaceNeedToAbortAlert(const bv::Error& error) {
    suppressQueueUploadOnCloseFileError_ = true;
    uploadChunkFailed(error);
    BVLog("Not enough space on local disk to copy %@", fileName());
    ui()->alert("Upload Warning", kDiskFullText, {"Cancel"});
}

// MARK: whole files

bool BVUploadController::uploadWholeFile(const std::string& localPath, uint64_t size) {
    bv::Error error;
    auto cache = this->cache();
    // A fresh upload: a handle cached earlier may belong to an upload that already holds
    // bytes (a streamed start that was given up).
    if (auto old = uploadHandle(); old && cache)
        cache->purgeItemForcedWithKey(old->identifier, BVUploadFileHandle::itemClass());
    if (auto id = content().identifierForFileAt(path_); id && cache)
        cache->purgeItemForcedWithKey(*id, BVUploadFileHandle::itemClass());
    restartUpload();
    totalBytes_ = size;
    auto handle = manage().uploadOpenAt(path_, 0, &error);
    if (!handle)
        return uploadChunkFailed(error);
    setUploadHandle(handle);
    if (cache) {
        cache->purgeBinaryDataForcedOf(handle->identifier);
        cache->purgeItemForcedWithKey(handle->identifier, BVBinaryDataDescriptorItem::itemClass());
    }
    bv::UniqueFd fd(::open(localPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return uploadChunkFailed(
            bv::Error::make(-995, bv::format("The staged copy %@ cannot be read.", localPath)));
    }
    const uint64_t step = chunkSize();
    for (;;) {
        auto chunk = std::make_shared<bv::Data>();
        chunk->resize(step);
        size_t got = 0;
        while (got < step) {
            const ssize_t n = ::read(fd.get(), chunk->mutableBytes() + got, step - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return uploadChunkFailed(bv::Error::make(
                    -995, bv::format("The staged copy %@ cannot be read.", localPath)));
            if (n == 0)
                break;
            got += static_cast<size_t>(n);
        }
        chunk->resize(got);
        if (!upload(std::move(chunk), uploadOffset_.load(), false, false))
            return false;
        if (got == 0)
            break;
    }
    settleMirror();
    bv::Error closeError;
    if (!manage().uploadClose(*handle, static_cast<int64_t>(size), &closeError) || closeError)
        return uploadChunkFailed(closeError);
    return true;
}

bool BVUploadController::closeStagedCopy(const std::string& stagedPath, uint64_t size,
                                         bool removeFromStore, bv::Error* error) {
    std::string journalId;
    // The records of this file written up to here are older than this close.
    const uint64_t mark = journal() ? journal()->generation() : 0;
    if (auto journal = this->journal()) {
        // Synced only if the close returns before the service has the file.
        bv::Error recordError;
        auto id = journal->recordPending(
            BVUploadJournal::Entry{
                .id = "",
                .path = path_,
                .identifier = content().identifierForFileAt(path_, true).value_or(""),
                .staged = stagedPath,
                .size = size,
                .state = BVUploadJournal::kClosing,
            },
            &recordError);
        if (id)
            journalId = *id;
        else
            BVLog("Upload of %@ is not journaled: %@", path_, recordError.description());
    }
    queueOperation([this, stagedPath, size, removeFromStore, journalId, mark] {
        if (uploadWholeFile(stagedPath, size)) {
            if (removeFromStore) {
                bv::Error ignored;
                if (auto store = tmp())
                    store->removeFileAt(path_, &ignored);
            }
            if (auto journal = this->journal())
                journal->confirmed(path_, mark, journalId);
            notifyDelegate(
                [&](BVUploadControllerDelegate& delegate) { delegate.uploadDidFinished(this); });
        } else if (auto journal = this->journal(); journal && !journalId.empty()) {
            // The staged copy stays until the upload is resumed or discarded.
            journal->makeDurable(journalId, nullptr);
            journal->setState(journalId, BVUploadJournal::kFailed);
        }
    });
    BVLog("[Apr] Waiting to release for path: %@", path_);
    bool ok = waitForQueueFor(kReleaseWait);
    BVLog("[Apr] Released for path: %@", path_);
    if (!queueIdle()) {
        // From here on the close is as good as done for the writer: the journal holds the
        // file until the service has it.
        if (auto journal = this->journal(); journal && !journalId.empty()) {
            bv::Error syncError;
            if (!journal->makeDurable(journalId, &syncError))
                BVLog("Upload of %@ is not journaled: %@", path_, syncError.description());
        }
        notifyDelegate(
            [&](BVUploadControllerDelegate& delegate) { delegate.uploadDidReleased(this); });
        BVLog("[Apr] Waiting for queue for path: %@", path_);
        ok = waitForQueue();
        BVLog("[Apr] Released for queue for path: %@", path_);
    }
    BVUploadController::closeFileError(nullptr);
    if (!ok && error)
        *error = uploadError();
    return ok;
}
