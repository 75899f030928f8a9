#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "BVApi/Content/BVContentItem.h"
#include "BVApi/Networking/BVApiRequestConfiguration.h"
#include "platform/Clock.h"
#include "platform/Data.h"
#include "platform/Error.h"

class BVApiClient;
class BVApiClientAuthContext;
class BVBackgroundFolderUpdateController;
class BVCacheController;
class BVContentController;
class BVFolderListItem;
class BVTmpController;
class BVUploadFileHandle;

// A programming error in the use of the manage controller: the exception named
// "BVManageController" with its reason text.
class BVManageControllerException : public std::logic_error {
  public:
    explicit BVManageControllerException(const std::string& reason) : std::logic_error(reason) {}
    const char* name() const { return "BVManageController"; }
    std::string reason() const { return what(); }
};

// The write side of the account: creates, deletes, trashes, restores, moves and renames
// files and folders at the service, opens, feeds and closes uploads, changes sharing and item
// settings, empties the trash and signs out, and keeps the cache in step with every change
// it makes, so that the next lookup through the content controller shows the result without
// asking the service.
//
// Every operation turns its volume paths into service identifiers through the content
// controller and runs on its caller's thread, blocking it for each service call. The
// controller keeps no state of its own: many threads may call it at once. No lock is held
// across a service call; cached listings are changed as copies under the listing index's
// own lock, so two changes of one folder never lose each other and readers holding a
// listing never see it change.
//
// Errors made here have the domain "__FILE__" and keep what stood in the error slot as the
// underlying error: -1000 "Folder not found!" / "File not found!" (only when the item is
// really not there: a lookup that fails passes its own error through), -999 "Folder already
// exists!", -997 "This operation is not supported in Trash". Service errors pass through
// unchanged.
class BVManageController {
  public:
    // Not found is the content controller's error (kErrorNotFound, kFolderNotFound,
    // kFileNotFound there).
    static constexpr int64_t kErrorFolderExists = -999;
    static constexpr int64_t kErrorNotSupportedInTrash = -997;
    static constexpr const char* kFolderExists = "Folder already exists!";
    static constexpr const char* kNotSupportedInTrash = "This operation is not supported in Trash";
    // The path argument of a chunk upload sent wrongly on purpose (the recovery of the
    // upload controllers is tested with it).
    static constexpr const char* kIncorrectRequestArgument = "Incorrect4Debug";

    // Collaborators; each unset one is the process-wide one, looked up at every use (the
    // shared cache controller changes with every sign-in).
    struct Options {
        BVApiClient* client = nullptr;
        BVContentController* content = nullptr;
        std::shared_ptr<BVCacheController> cache;
        std::shared_ptr<BVTmpController> tmp;
        BVBackgroundFolderUpdateController* refresher = nullptr;
        std::shared_ptr<bv::Clock> clock;
        // Where chunk uploads are sent; unset, the default configuration, which is also
        // what the shared client uses.
        std::optional<BVApiRequestConfiguration> requestConfiguration;
    };

    // Receives the request body's bytes sent so far and expected; false cancels the upload.
    using ProgressHandler = std::function<bool(int64_t sent, int64_t expected)>;

    static BVManageController* sharedController();

    BVManageController();
    explicit BVManageController(Options options);
    BVManageController(const BVManageController&) = delete;
    BVManageController& operator=(const BVManageController&) = delete;

    // ---- Folders and files ----
    bool createFolderAt(const std::string& parentPath, const std::string& name, bv::Error* error);
    // Caches the upload handle the service answers with the new file, for uploadOpenAt.
    bool createFileAt(const std::string& parentPath, const std::string& fileName, bv::Error* error);
    bool deleteFileAt(const std::string& path, bv::Error* error);
    bool trashFileAt(const std::string& path, bv::Error* error);
    bool deleteFolderAt(const std::string& path, bv::Error* error);
    // deleteFileAt when the path is a file, else deleteFolderAt.
    bool deleteItemAt(const std::string& path, bv::Error* error);
    bool trashItemAt(const std::string& path, bv::Error* error);
    // The restored item's path goes to restoredPath (when given).
    bool restoreItemAt(const std::string& path, std::string* restoredPath, bv::Error* error);
    // Moves and renames (destination = new parent and new name). A file already at the
    // destination is replaced: it goes to the trash first.
    bool moveItemAt(const std::string& source, const std::string& destination, bv::Error* error);
    // Whether the folder holds nothing: its cached listing, else the service's. Nothing (and
    // the error) when it cannot be listed. Lets the volume refuse to delete a full folder.
    std::optional<bool> isFolderEmptyAt(const std::string& path, bv::Error* error);
    bool setSettings(const nlohmann::json& settings, const std::string& path, bv::Error* error);

    // ---- Sharing and the account ----
    bool shareFolderAt(const std::string& path, const std::string& user, bv::Error* error);
    bool changeSharing(const std::string& sharingId, const nlohmann::json& mode, bv::Error* error);
    bool deleteSharing(const std::string& sharingId, bv::Error* error);
    bool emptyTrashWithError(bv::Error* error);
    bool logoutWithError(bv::Error* error);
    // Forgets the folder's cached listings and its local copy while holding the background
    // refresher's lock of the folder; false when the lock is not granted.
    bool purgeCacheForFolderAt(const std::string& path, bv::Error* error);

    // ---- Uploads ----
    // The cached upload handle of the file, else a new one from the service (then cached).
    std::shared_ptr<BVUploadFileHandle> uploadOpenAt(const std::string& path, uint64_t size,
                                                     bv::Error* error);
    // Sends one chunk; true when the service wrote all of it, after which the file's size
    // in the cached listing is offset + chunk length. Asynchronous sends report progress and
    // end early on "CancelAllUploads"; either way the caller is blocked until the end. On the
    // main thread an asynchronous send goes through the network thread while the caller runs
    // the main loop; on any other thread it is sent on the caller's own connection.
    // The bytes are shared with the request, which sends them from where they are.
    bool uploadChunk(std::shared_ptr<const bv::Data> bytes, const BVUploadFileHandle& handle,
                     bool withIncorrectRequest, const ProgressHandler& progress, uint64_t offset,
                     bool async, bv::Error* error);
    bool uploadChunk(std::shared_ptr<const bv::Data> bytes, const BVUploadFileHandle& handle,
                     bool withIncorrectRequest, const ProgressHandler& progress, uint64_t offset,
                     bv::Error* error) {
        return uploadChunk(std::move(bytes), handle, withIncorrectRequest, progress, offset, true,
                           error);
    }
    // The same with a copy of the bytes.
    bool uploadChunk(const bv::Data& bytes, const BVUploadFileHandle& handle,
                     bool withIncorrectRequest, const ProgressHandler& progress, uint64_t offset,
                     bool async, bv::Error* error) {
        return uploadChunk(std::make_shared<const bv::Data>(bytes), handle, withIncorrectRequest,
                           progress, offset, async, error);
    }
    bool uploadChunk(const bv::Data& bytes, const BVUploadFileHandle& handle,
                     bool withIncorrectRequest, const ProgressHandler& progress, uint64_t offset,
                     bv::Error* error) {
        return uploadChunk(bytes, handle, withIncorrectRequest, progress, offset, true, error);
    }
    // Sets the size of the file's entry in its parent's cached listing (a written file
    // shows its size before its upload ends); false when nothing changed.
    bool setListedSize(const std::string& path, int64_t size);
    // True whenever the path has a context, also when the service refused the close (its
    // error is then in *error).
    bool uploadClose(const BVUploadFileHandle& handle, int64_t realSize, bv::Error* error);

    // ---- Synched items ----
    // Brings the cached item of key and class (a kind of BVSynchedItem) and its copy at path
    // in the account to the newer of the two. Raises BVManageControllerException for any
    // other class.
    bool syncItem(const std::string& key, const BVItemClass& cls, const std::string& path,
                  bv::Error* error);

  private:
    BVApiClient* client() const;
    BVContentController& content() const;
    std::shared_ptr<BVCacheController> cache() const;
    std::shared_ptr<BVTmpController> tmp() const;
    BVBackgroundFolderUpdateController& refresher() const;
    double now() const;

    // The path's identifier, required from the cache after the normal lookup. When neither
    // finds it and the service did not just say it does not know the path, a fresh listing
    // of the parent tells a missing item (-1000 with the reason of its kind) from a failed
    // lookup (the listing's error).
    std::optional<std::string> resolve(const std::string& path, bool isFile, bv::Error* error);
    // Whether the service said it does not know the path (an answer the cache keeps).
    bool isKnownMissing(const std::string& path, bool isFile);
    // Whether the path is a file: nothing with the error when the lookup failed.
    std::optional<bool> isFileAt(const std::string& path, bv::Error* error);
    std::shared_ptr<BVApiClientAuthContext> contextFor(const std::string& path, bv::Error* error);
    // The path's identifier and its context, or nothing (and the error of the one missing).
    struct Target {
        std::string identifier;
        std::shared_ptr<BVApiClientAuthContext> context;
    };
    std::optional<Target> targetAt(const std::string& path, bool isFile, bv::Error* error);

    // Changes a copy of the folder's cached listing (by identifier, or by path when the
    // identifier is empty) and stores it; false when none is cached.
    bool changeCachedListing(const std::string& folderId, const std::string& folderPath,
                             const std::function<void(BVFolderListItem&)>& change);
    // Enters a new item in its parent's cached listing (a folder takes the listing's
    // encrypted flag), else remembers the identifier of its path; answers the flag (0
    // without a listing).
    int64_t enterNewItem(BVCacheController& cache, const std::string& parentId,
                         const BVItemRef& item, const std::string& path);
    bool removeFile(const std::string& path, bool trash, bv::Error* error);
    bool sendChunk(const std::shared_ptr<const bv::Data>& bytes, const BVUploadFileHandle& handle,
                   bool withIncorrectRequest, const ProgressHandler& progress, uint64_t offset,
                   bool async, bv::Error* error);
    bool uploadSynchedItem(const BVItemRef& item, const std::string& path, bool remoteExists,
                           bv::Error* error);

    const Options options_;
};
