#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BVApi/Controllers/BVUploadChunk.h"
#include "platform/Clock.h"
#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"

class BVApiClient;
class BVBackgroundFolderUpdateController;
class BVBinaryDataDescriptorItem;
class BVCacheController;
class BVContentController;
class BVManageController;
class BVTmpController;
class BVUploadControllerDelegate;
class BVUploadFileHandle;
class BVUploadJournal;
namespace bv {
class UserInterface;
}

// The chunk engine under every file written on the volume: a serial queue of chunk uploads
// through the manage controller, the last 50 chunks kept for the repair of an upload whose
// service lost bytes, retries spaced by the injected clock, a guard against a full local
// disk, progress reports, and the plain bytes of every chunk mirrored into the content
// cache so that a file just written reads back without a download.
//
// One controller per open file; writes and closes come from file-system threads and block
// them while the queue works. Chunks of one file go one at a time, in order; files upload
// in parallel. "CancelAllUploads" stops the queue; a cancelled upload is not a failure.
class BVUploadController {
  public:
    static constexpr uint64_t kChunkSize = 20971520;      // 20 MiB
    static constexpr uint64_t kSmallChunkSize = 5242880;  // 5 MiB, under a speed limit
    static constexpr size_t kChunkHistory = 50;
    static constexpr double kRetryDelay = 900;
    static constexpr uint64_t kLowDiskSpace = 699999999;      // or less: warn
    static constexpr uint64_t kProceedDiskSpace = 799999999;  // or less after "Proceed": abort
    static constexpr double kWarningWait = 360;
    static constexpr double kQueueWait = 480;
    static constexpr double kReleaseWait = 10;
    static constexpr const char* kCancelAllUploads = "CancelAllUploads";

    // Collaborators; an unset one is the process-wide one.
    struct Options {
        BVManageController* manage = nullptr;
        // Fetches the current content of an existing file that is staged.
        BVApiClient* client = nullptr;
        BVContentController* content = nullptr;
        std::shared_ptr<BVCacheController> cache;
        std::shared_ptr<BVTmpController> tmp;
        BVBackgroundFolderUpdateController* refresher = nullptr;
        // Retry delays are slept on it.
        std::shared_ptr<bv::Clock> clock;
        std::shared_ptr<bv::UserInterface> ui;
        // Free bytes on the disk of the home folder; unset, the system's figure.
        std::function<uint64_t()> freeDiskSpace;
        // The account's upload speed limit in bytes per second, 0 for none.
        uint64_t uploadSpeedLimit = 0;
        // Where staged and streamed uploads are recorded until the service has them; none,
        // nothing is recorded.
        std::shared_ptr<BVUploadJournal> journal;
        // The chunk size, 0 for the standard one (tests of the chunk history use small ones).
        uint64_t chunkSize = 0;
    };

    BVUploadController(std::string path, BVUploadControllerDelegate* delegate, Options options);
    virtual ~BVUploadController();
    BVUploadController(const BVUploadController&) = delete;
    BVUploadController& operator=(const BVUploadController&) = delete;

    // Creates the file at the service and opens an upload for it.
    virtual bool createFileError(bv::Error* error);
    // Prepares the upload of an existing file.
    virtual bool openFileError(bv::Error* error);
    // Prepares the upload of a file that may not be at the service yet: a process that ended
    // between a file's close and the service's create leaves only the local copy. Creates it
    // in its parent folder when the service says it is not there; a failed lookup fails.
    bool openOrCreateFileError(bv::Error* error);
    virtual bool writeFile(const void* bytes, uint64_t size, int64_t offset, bv::Error* error);
    virtual bool closeFileError(bv::Error* error);

    // Uploads one chunk at offset (after encryption); basic mode neither recovers nor
    // retries. True when the service has it.
    bool upload(std::shared_ptr<const bv::Data> data, uint64_t offset, bool basicMode,
                bool incorrectRequest);
    // Queues one chunk at the then current uploadOffset.
    void queueUpload(bv::Data data);
    void queueUpload(std::shared_ptr<const bv::Data> data);
    // For a caller that would queue a chunk and wait for the queue: when nothing waits or
    // runs on the queue, claims the queue's turn for uploadHere() on the calling thread (and
    // its connection), sparing the hand-over to a worker; operations queued meanwhile start
    // after it. False: queue the chunk instead.
    bool claimUploadHere();
    // Uploads the chunk at the then current uploadOffset and gives the claimed turn back.
    void uploadHere(std::shared_ptr<const bv::Data> data);
    // Until the queue is empty or suspended, or seconds have passed: answers !uploadFailed.
    bool waitForQueueFor(double seconds);
    bool waitForQueue() { return waitForQueueFor(kQueueWait); }
    void cancelOperations();

    bool uploadChunkFailed(const bv::Error& error);
    bool didRecoverIncorrectOffsetError(const bv::Error& error);
    static bool isIncorrectOffsetError(const bv::Error& error);
    // The number after "Incorrect chunk offset: uploaded=" up to the first ",", -1 without.
    static int64_t getUploadedSize(const std::string& text);
    void notEnoughFreeSpaceNeedToAbortAlert(const bv::Error& error);

    // Uploads the local file whole through a fresh upload of this file and closes it with
    // the file's size; true when the service confirmed the close. Blocks its caller.
    bool uploadWholeFile(const std::string& localPath, uint64_t size);

    // ---- State, for the writers, the window and tests ----
    const std::string& path() const { return path_; }
    bool opened() const { return opened_; }
    bool encrypted() const { return encrypted_; }
    bool uploadFailed() const { return uploadFailed_.load(); }
    bv::Error uploadError() const;
    uint64_t uploadOffset() const { return uploadOffset_.load(); }
    uint64_t uploadEncryptionOffset() const { return uploadEncryptionOffset_.load(); }
    uint64_t minimalDelay() const { return minimalDelay_; }
    const std::vector<double>& retryAttemptsDelays() const { return retryAttemptsDelays_; }
    std::shared_ptr<BVUploadFileHandle> uploadHandle() const;
    std::vector<BVUploadChunk> uploadedChunks() const;
    uint64_t chunkSize() const;

    // Process-wide: uploads not yet closed, and whether 5 MiB chunks are in force.
    static int64_t openUploadCount();
    static bool smallChunks();
    // Forgets the small-chunk flag (tests).
    static void resetSmallChunks();

  protected:
    // The close of a staged copy: records it in the journal (synced), queues its whole
    // upload, waits kReleaseWait seconds, tells the delegate when the upload goes on in the
    // background and waits for it (kQueueWait), then the base close. The store's copy is
    // removed once the service has the file when removeFromStore.
    bool closeStagedCopy(const std::string& stagedPath, uint64_t size, bool removeFromStore,
                         bv::Error* error);
    void queueOperation(std::function<void()> operation);
    // Nothing waits or runs on the queue, or it was stopped.
    bool queueIdle();
    // Waits for the mirror write of the last chunk sent: the mirror then holds every byte
    // counted in uploadEncryptionOffset.
    void settleMirror();
    bool cancelled();
    // The delay before retry attempt k, raised to minimalDelay.
    double delayForAttempt(size_t attempt) const;
    // The parent folder's encrypted flag and the session's key; false when the parent is
    // not found.
    bool takeEncryption(bv::Error* error);
    void setUploadHandle(std::shared_ptr<BVUploadFileHandle> handle);
    // Starts the upload over: no chunk sent, no history, no mirror.
    void restartUpload();
    BVManageController& manage() const;
    BVContentController& content() const;
    std::shared_ptr<BVCacheController> cache() const;
    std::shared_ptr<BVTmpController> tmp() const;
    BVBackgroundFolderUpdateController* refresher() const;
    std::shared_ptr<bv::UserInterface> ui() const;
    uint64_t freeDiskSpace() const;
    void notifyDelegate(const std::function<void(BVUploadControllerDelegate&)>& call);
    std::string fileName() const;
    std::string parentPath() const;

    bv::OperationQueue& queue() { return queue_; }
    const Options& options() const { return options_; }
    std::shared_ptr<BVUploadJournal> journal() const { return options_.journal; }

    std::atomic<bool> suppressQueueUploadOnCloseFileError_{false};
    bool opened_ = false;

  private:
    bool checkDiskSpace();
    bool sendChunk(const std::shared_ptr<const bv::Data>& data, uint64_t offset, bv::Error* error,
                   bool reportProgress);
    void chunkSent(const std::shared_ptr<const bv::Data>& plain,
                   const std::shared_ptr<const bv::Data>& uploaded, uint64_t offset);
    void operationEnded();
    // Sleeps on the injected clock; false when the uploads were cancelled meanwhile.
    bool sleepUnlessCancelled(double seconds);

    const std::string path_;
    BVUploadControllerDelegate* const delegate_;
    const Options options_;
    bool encrypted_ = false;
    bv::Data encryptionKey_;
    std::atomic<bool> uploadFailed_{false};
    // The chunk being sent again follows an incorrect-offset repair (chunks go one at a time).
    std::atomic<bool> offsetRepaired_{false};
    bool lackOfFreeDiskSpaceAlertOnceShown_ = false;
    std::atomic<uint64_t> lockConditionCounter_{0};
    std::atomic<uint64_t> uploadTotal_{0};
    // Bytes of the whole file when known (a staged upload), for progress totals.
    std::atomic<uint64_t> totalBytes_{0};
    std::atomic<uint64_t> uploadOffset_{0};
    std::atomic<uint64_t> uploadEncryptionOffset_{0};
    uint64_t minimalDelay_ = 0;
    std::vector<double> retryAttemptsDelays_;
    bool lockedParent_ = false;
    bool closed_ = false;

    mutable std::mutex
        stateLock_;  // guards uploadHandle_, cacheDescriptor_, uploadedData_, uploadError_
    std::shared_ptr<BVUploadFileHandle> uploadHandle_;
    std::shared_ptr<BVBinaryDataDescriptorItem> cacheDescriptor_;
    std::deque<BVUploadChunk> uploadedData_;
    bv::Error uploadError_;

    std::mutex pendingLock_;  // guards pending_, suspended_, runningHere_
    std::condition_variable pendingChanged_;
    size_t pending_ = 0;  // operations queued or running, here or on the queue
    bool suspended_ = false;
    bool runningHere_ = false;  // a chunk is uploaded on a caller's thread

    std::unique_ptr<bv::NotificationCenter::Token> cancelObserver_;
    // Writes the plain bytes of the last chunk sent into the cache while the writer goes on
    // with the next one; joined by settleMirror() before the next mirror write and before
    // anything that reads, counts or drops the mirror. Its work holds no reference to the
    // controller. Joined at the latest when destroyed, after the queue below has stopped.
    struct MirrorWriter {
        std::thread thread;
        ~MirrorWriter() {
            if (thread.joinable())
                thread.join();
        }
    };
    std::mutex mirrorLock_;  // guards mirrorWriter_ (never held while joining it)
    MirrorWriter mirrorWriter_;
    // Last: its workers stop before the state they use goes.
    bv::OperationQueue queue_;
};
