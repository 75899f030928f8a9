#include "BVApi/Controllers/BVJITThrottleUploadController.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Controllers/BVUploadControllerDelegate.h"
#include "BVApi/Controllers/BVUploadJournal.h"
#include "app/Logging/BVLogging.h"
#include "platform/UniqueFd.h"

namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Fresh memory costs a page fault and a zeroed page per 4 KiB at its first write, as much as
// the copy that fills it. The next chunk's buffer is made ready on a thread of its own while
// the chunk before it goes out, so the writes that fill it only copy. The pages are only
// faulted in, never written: a buffer that changed meanwhile is unharmed.
class Prefault {
  public:
    Prefault() = default;
    Prefault(const Prefault&) = delete;
    Prefault& operator=(const Prefault&) = delete;
    ~Prefault() { wait(); }

    void start(uint8_t* from, size_t length) {
        const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
        const uintptr_t first = (uintptr_t(from) + page - 1) / page * page;
        const uintptr_t end = (uintptr_t(from) + length) / page * page;
        if (end <= first)
            return;
        try {
            thread_ = std::thread([first, end] {
                ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
            });
        } catch (const std::system_error&) {
            // No thread to spare: the writes fault the pages in themselves.
        }
    }
    void wait() {
        if (thread_.joinable())
            thread_.join();
    }

  private:
    std::thread thread_;
};

}  // namespace

BVJITThrottleUploadController::BVJITThrottleUploadController(std::string path,
                                                             BVUploadControllerDelegate* delegate,
                                                             Options options)
    : BVUploadController(std::move(path), delegate, std::move(options)) {}

bool BVJITThrottleUploadController::openFileError(bv::Error* error) {
    if (!BVUploadController::openFileError(error))
        return false;
    setUploadHandle(manage().uploadOpenAt(path(), 0, error));
    return uploadHandle() != nullptr;
}

bool BVJITThrottleUploadController::isStaged() const {
    std::lock_guard hold(writerLock_);
    return staged_;
}

bool BVJITThrottleUploadController::failedWrite(bv::Error* error) {
    if (error)
        *error = uploadError();
    return false;
}

bool BVJITThrottleUploadController::switchToStaging(bv::Error* error) {
    // What is on its way to the service lands first, so the mirror holds every sent byte.
    if (!waitForQueue())
        return failedWrite(error);
    settleMirror();
    const uint64_t sent = uploadEncryptionOffset();
    auto handle = uploadHandle();
    auto cache = this->cache();
    auto store = tmp();
    if (!store->createFileAt(path(), error))
        return false;
    for (uint64_t at = 0; at < sent;) {
        const uint64_t want = std::min<uint64_t>(chunkSize(), sent - at);
        std::optional<bv::Data> piece;
        if (handle && cache)
            piece = cache->fetchBinaryDataOf(handle->identifier, at, want, error);
        if (!piece || piece->size() != want) {
            BVLog("Cannot take back the sent bytes of %@ for staging", path());
            if (error && !*error)
                *error = bv::Error::make(
                    -995, "The bytes already sent of " + path() + " cannot be read back.");
            store->removeFileAt(path(), nullptr);
            return false;
        }
        if (!store->writeFileAt(path(), at, *piece, error))
            return false;
        at += want;
    }
    if (!store->writeFileAt(path(), sent, buffer_, error))
        return false;
    buffer_.clear();
    staged_ = true;
    stagedPath_ = store->tempPathFor(path());
    BVLog("Writes out of order: %@ goes on as a staged copy of %llu bytes", path(),
          static_cast<unsigned long long>(end_));
    return true;
}

bool BVJITThrottleUploadController::writeFile(const void* bytes, uint64_t size, int64_t offset,
                                              bv::Error* error) {
    if (uploadFailed())
        return failedWrite(error);
    if (offset < 0) {
        if (error)
            *error = bv::Error::make(-995, "Negative write offset");
        return false;
    }
    const uint64_t at = static_cast<uint64_t>(offset);
    std::shared_ptr<const bv::Data> chunk;
    bool here = false;
    Prefault nextBuffer;
    {
        std::lock_guard hold(writerLock_);
        if (!staged_ && at != end_ && !switchToStaging(error))
            return false;
        if (staged_) {
            if (!tmp()->writeFileAt(path(), at, bv::Data(bytes, size), error))
                return false;
            end_ = std::max(end_, at + size);
        } else {
            // Room for a whole chunk at once: growing by doubling would copy the first chunk
            // several times over.
            auto& held = buffer_.vector();
            if (held.capacity() < held.size() + size)
                held.reserve(std::max<size_t>(held.size() + size, chunkSize() + 2 * size));
            buffer_.append(bytes, size);
            end_ += size;
        }
        manage().setListedSize(path(), static_cast<int64_t>(end_));
        if (!staged_ && buffer_.size() > chunkSize()) {
            // The buffer itself becomes the chunk; only the few bytes beyond it move to a new
            // buffer, which has room for the next chunk from the start.
            const size_t take = static_cast<size_t>(chunkSize());
            bv::Data rest;
            rest.reserve(take + 2 * size);
            rest.append(buffer_.bytes() + take, buffer_.size() - take);
            buffer_.resize(take);
            chunk = std::make_shared<const bv::Data>(std::move(buffer_));
            buffer_ = std::move(rest);
            nextBuffer.start(buffer_.mutableBytes() + buffer_.size(),
                             buffer_.vector().capacity() - buffer_.size());
            // The uploads window lists a streamed file from its first chunk on.
            if (!announced_.exchange(true))
                notifyDelegate(
                    [&](BVUploadControllerDelegate& delegate) { delegate.uploadDidStarted(this); });
            // Handed on under the writer's lock, so chunks of writes from several threads
            // keep the order in which they left the buffer.
            here = claimUploadHere();
            if (!here)
                queueUpload(chunk);
        }
    }
    if (here)
        uploadHere(std::move(chunk));
    const bool sent = waitForQueue();
    nextBuffer.wait();
    if (!sent)
        return failedWrite(error);
    return true;
}

bool BVJITThrottleUploadController::closeStaged(bv::Error* error) {
    if (!announced_.exchange(true))
        notifyDelegate(
            [&](BVUploadControllerDelegate& delegate) { delegate.uploadDidStarted(this); });
    uint64_t size;
    {
        std::lock_guard hold(writerLock_);
        size = end_;
    }
    return closeStagedCopy(stagedPath_, size, true, error);
}

bool BVJITThrottleUploadController::closeFileError(bv::Error* error) {
    if (isStaged())
        return closeStaged(error);
    // The records of this file written up to here are older than this close.
    const uint64_t mark = journal() ? journal()->generation() : 0;
    std::shared_ptr<const bv::Data> leftovers;
    size_t leftoverSize = 0;
    bool suppressed = false;
    bool here = false;
    {
        std::lock_guard hold(writerLock_);
        if (buffer_.empty() && uploadOffset() == 0)
            return BVUploadController::closeFileError(error);
        leftovers = std::make_shared<const bv::Data>(std::move(buffer_));
        leftoverSize = leftovers->size();
        buffer_ = bv::Data();
        suppressed = suppressQueueUploadOnCloseFileError_.exchange(false);
        if (!suppressed) {
            here = claimUploadHere();
            if (!here)
                queueUpload(leftovers);
        }
    }
    if (suppressed) {
        BVLog("Suppressing queueUpload");
    } else {
        BVLog("leftovers: queueing uploading of %llu bytes",
              static_cast<unsigned long long>(leftoverSize));
        if (here)
            uploadHere(std::move(leftovers));
    }
    BVLog("[Apr] Waiting to close upload for path: %@", path());
    bool ok = false;
    if (waitForQueue()) {
        // The close marks the mirror whole at the size sent.
        settleMirror();
        auto handle = uploadHandle();
        // A close the service confirmed needs no record: the file is there when the close
        // returns. Only a close that fails leaves the file to the journal.
        bv::Error closeError;
        const bool answered =
            handle && manage().uploadClose(*handle, static_cast<int64_t>(uploadEncryptionOffset()),
                                           &closeError);
        BVLog("[Apr] Close upload for path: %@", path());
        if (answered && !closeError) {
            if (auto journal = this->journal())
                journal->confirmed(path(), mark, "");
            notifyDelegate(
                [&](BVUploadControllerDelegate& delegate) { delegate.uploadDidFinished(this); });
            return BVUploadController::closeFileError(error);
        }
        // The close fails without the service having the file: from now on the journal
        // must hold it.
        const std::string journalId = journalMirror();
        if (auto journal = this->journal(); journal && !journalId.empty()) {
            bv::Error syncError;
            if (!journal->makeDurable(journalId, &syncError))
                BVLog("Upload of %@ is not journaled: %@", path(), syncError.description());
            journal->setState(journalId, BVUploadJournal::kFailed);
        }
        uploadChunkFailed(closeError);
    }
    BVLog("[Apr] Close file error for path: %@", path());
    BVUploadController::closeFileError(nullptr);
    return ok || failedWrite(error);
}

std::string BVJITThrottleUploadController::journalMirror() {
    auto journal = this->journal();
    auto handle = uploadHandle();
    auto cache = this->cache();
    if (!journal || !handle || !cache)
        return "";
    // The mirror in the content cache is the file's copy; a second name for it in the
    // journal's folder keeps it from the cache's purges and trims until the service has it.
    const std::string id = journal->newId();
    const auto copy = journal->copyPathFor(id);
    std::error_code failed;
    // A mirror that missed some bytes (its descriptor was not kept) is no copy of the file.
    const auto mirror = cache->pathForBinaryItemWithKey(handle->identifier);
    if (std::filesystem::file_size(mirror, failed) != uploadEncryptionOffset() || failed) {
        BVLog("Upload of %@ is not journaled: its cached copy is incomplete", path());
        return "";
    }
    std::filesystem::create_hard_link(mirror, copy, failed);
    if (failed) {
        BVLog("Upload of %@ is not journaled: %@", path(), failed.message());
        return "";
    }
    bv::Error error;
    auto recorded = journal->recordPending(
        BVUploadJournal::Entry{
            .id = id,
            .path = path(),
            .identifier = handle->identifier,
            .staged = copy.string(),
            .size = uploadEncryptionOffset(),
            .state = BVUploadJournal::kClosing,
        },
        &error);
    if (!recorded) {
        BVLog("Upload of %@ is not journaled: %@", path(), error.description());
        std::filesystem::remove(copy, failed);
        return "";
    }
    return *recorded;
}
