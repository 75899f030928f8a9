#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Networking/BVApiRequestConfiguration.h"
#include "BVApi/Networking/BVHttpResponse.h"
#include "platform/Clock.h"
#include "platform/Data.h"
#include "platform/Error.h"

class BVApiClient;
class BVApiRequest;
class BVBackgroundFolderUpdateController;
class BVBinaryDataDescriptorItem;
class BVCacheContentStream;
class BVCacheController;
class BVStreamDecryptor;
class BVUserSessionItem;

// One streaming download of a whole file into its content file in the cache, appended in
// order through the file's content stream; files of secure folders are decrypted on the way.
// The file's descriptor (shared with the lock table and every waiting reader) advances as the
// bytes land. A running controller is kept alive by the class registry until its end.
//
// The class also holds the reader side: downloadFileAt waits, on the reader's thread, until
// the bytes a reader needs are in the cache, starting the file's download when none runs.
// Waits are woken by the bytes landing; a reader fails with -996 only when no byte arrived
// for kReaderWait seconds on the injected clock.
//
// The request's callbacks arrive on the main run loop.
class BVDownloadController : public std::enable_shared_from_this<BVDownloadController> {
  public:
    static constexpr size_t kTransferFlush = 524288;
    static constexpr double kReaderWait = 20;
    static constexpr int64_t kErrorTimedOut = -996;
    static constexpr int64_t kErrorInvalidSize = -995;
    static constexpr const char* kTimedOut = "Download timed out!";
    static constexpr const char* kInvalidSize = "Invalid file size.";

    // Collaborators; each unset one is the process-wide one.
    struct Options {
        BVApiClient* client = nullptr;
        BVContentController* content = nullptr;
        std::shared_ptr<BVCacheController> cache;
        // Holds the parent folder's lock while the file downloads; none when unset.
        BVBackgroundFolderUpdateController* refresher = nullptr;
        std::shared_ptr<bv::Clock> clock;
        // Where downloads are sent; unset, the default configuration.
        std::optional<BVApiRequestConfiguration> requestConfiguration;
    };

    // Makes the reader protocol the content controllers' downloader; refresher and request
    // configuration come from defaults, the rest from each content controller.
    static void installAsDownloader(Options defaults);

    // The reader protocol: the descriptor once its first `bytes` bytes are in the cache, or the
    // whole file is (it may be shorter); nothing and the error otherwise.
    static std::shared_ptr<BVBinaryDataDescriptorItem> downloadFileAt(const Options& options,
                                                                      const std::string& path,
                                                                      uint64_t bytes,
                                                                      bv::Error* error);

    // A controller for the locked descriptor, entered in the registry.
    static std::shared_ptr<BVDownloadController> downloadControllerForDescriptor(
        std::shared_ptr<BVBinaryDataDescriptorItem> descriptor, Options options);
    // Downloads running now.
    static size_t runningCount();

    ~BVDownloadController();
    BVDownloadController(const BVDownloadController&) = delete;
    BVDownloadController& operator=(const BVDownloadController&) = delete;

    // Sends the request and waits for the answer head (for a refused download, for the
    // service's explanation). False with the error when the file is not streaming; the
    // file's locks are then released.
    bool startWithError(bv::Error* error);
    // The size the listing gives the file (plain files only): a download that brings another
    // number of bytes is not the file the volume shows, and fails with "Invalid file size.".
    void expectListedSize(int64_t size) { listedSize_ = size; }

    // ---- Request callbacks (main thread) ----
    void requestResponseHandler(const BVHttpResponse& response);
    void requestDataHandler(const bv::Data& piece, int64_t completed, int64_t total);
    void requestCompletedHandler(const bv::Data* data, const bv::Error& error);
    // Stores what the transfer buffer holds (for a secure file: every whole record, the
    // incomplete rest waits for the next piece); false when the bytes cannot be stored.
    bool storeBuffer();

    int64_t status() const;
    bv::Error error() const;
    const std::shared_ptr<BVBinaryDataDescriptorItem>& item() const { return item_; }
    // The transfer buffer and, for a secure file, the incomplete record the decryptor holds.
    size_t pendingBytes() const;

  private:
    BVDownloadController(std::shared_ptr<BVBinaryDataDescriptorItem> descriptor, Options options);
    // A start that could not send the request: waiters are released with the error.
    void fail(const bv::Error& error);
    // Releases the folder lock, the file's lock and the registry entry; once.
    void release();
    void ended(bv::Error error);
    // Appends plain bytes to the cached content at the descriptor's completed bytes.
    bool storeData(const bv::Data& data);

    bv::Data transferBuffer_;
    std::shared_ptr<BVApiRequest> request_;
    std::shared_ptr<BVBinaryDataDescriptorItem> item_;
    std::shared_ptr<BVUserSessionItem> session_;
    bool lockStatus_ = false;
    std::string parentPath_;
    int64_t listedSize_ = -1;  // unknown
    Options options_;
    std::shared_ptr<BVCacheContentStream> stream_;
    std::unique_ptr<BVStreamDecryptor> decryptor_;
    std::atomic<bool> released_{false};

    mutable std::mutex stateLock_;  // guards status_, finished_, error_
    std::condition_variable stateChanged_;
    int64_t status_ = 0;
    bool finished_ = false;
    bv::Error error_;
};
