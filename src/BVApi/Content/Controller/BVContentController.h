#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "BVApi/Content/BVContentItem.h"
#include "BVApi/Content/Controller/BVSecureFolderGate.h"
#include "platform/Clock.h"
#include "platform/Data.h"
#include "platform/Error.h"

class BVApiClient;
class BVApiClientAuthContext;
class BVBinaryDataDescriptorItem;
class BVCacheController;
class BVFileThumbnailItem;
class BVFolderListItem;
class BVNotificationsItem;
class BVSharedXAttrs;
class BVSharingUsersItem;
class BVUserInfoItem;
class BVUserLinksItem;

namespace bv {
class SecretStore;
class UserInterface;
}  // namespace bv

// The read side of the account: turns volume paths into service identifiers, answers
// listings, item and account information, thumbnails and sharing information, and builds the
// request context of a path. Every answer comes from the cache when it holds a valid item,
// otherwise from the service, after which it is stored in the cache. The root listing gains
// the virtual folders "Shared Folders" ("-2") and "Trash" ("-1").
//
// The controller keeps no state of its own and holds no lock: every operation runs on its
// caller's thread and blocks it for the service calls; the cache does the locking. Without a
// cache controller (nobody signed in) every lookup answers nothing.
//
// Errors made here have the domain "__FILE__" and keep what stood in the error slot as the
// underlying error: -1000 "Folder not found!" / "File not found!", -998 "Shared user not
// found.", -199 "No signed-in session.", -98 for an answer no item could be built from,
// -1003 for a path below a secure folder whose password was not given. Service and transport
// errors pass through unchanged: -1000 means that the service (or a cached answer of it)
// said the path is not there, never that the question failed.
class BVContentController {
  public:
    static constexpr int64_t kErrorNotFound = -1000;
    static constexpr int64_t kErrorSharedUserNotFound = -998;
    static constexpr const char* kFolderNotFound = "Folder not found!";
    static constexpr const char* kFileNotFound = "File not found!";
    static constexpr const char* kSharedUserNotFound = "Shared user not found.";

    static constexpr const char* kRootId = "0";
    static constexpr const char* kTrashId = "-1";
    static constexpr const char* kSharedFoldersId = "-2";
    static constexpr const char* kUndefinedId = "undefined";
    static constexpr const char* kTrashName = "Trash";
    static constexpr const char* kSharedFoldersName = "Shared Folders";

    // Collaborators; each unset one is the process-wide one, looked up at every use (the
    // shared cache controller changes with every sign-in).
    struct Options {
        BVApiClient* client = nullptr;
        std::shared_ptr<BVCacheController> cache;
        std::shared_ptr<bv::Clock> clock;
        // Opens secure folders; unset, the process-wide factory.
        BVSecureFolderGate::Factory secureFolderGates;
    };

    using Retrieval = std::function<BVItemRef()>;

    // What makes a file's bytes present in the cache (the download controllers, a layer
    // above): answers the file's descriptor once its first `bytes` bytes can be read from
    // the cache (or the whole file, when shorter), else nothing and the error. It receives
    // this controller and its resolved collaborators.
    using Downloader = std::function<std::shared_ptr<BVBinaryDataDescriptorItem>(
        BVContentController& content, const Options& resolved, const std::string& path,
        uint64_t bytes, bv::Error* error)>;

    static BVContentController* sharedController();
    // The secure-folder password flow of controllers that name none; without one, a secure
    // folder lists as a stub with error -1003.
    static void setDefaultSecureFolderGates(BVSecureFolderGate::Factory factory);

    // The downloader of every controller; without one, file contents cannot be read.
    static void setDownloader(Downloader downloader);

    BVContentController();
    explicit BVContentController(Options options);
    BVContentController(const BVContentController&) = delete;
    BVContentController& operator=(const BVContentController&) = delete;

    // ---- Cache first ----
    // The cached item of key and class; when retrieve is given and there is no cached item
    // or noCache is set, the retrieval's answer instead (stored in the cache when there is
    // one), even when it is nothing and a cached item existed.
    BVItemRef checkItem(const std::string& key, const BVItemClass& cls, bool noCache,
                        const Retrieval& retrieve);
    BVItemRef checkItem(const std::string& key, const BVItemClass& cls, const Retrieval& retrieve) {
        return checkItem(key, cls, false, retrieve);
    }
    // The cached item only, never asked of the service.
    BVItemRef synchedItem(const std::string& key, const BVItemClass& cls);
    std::shared_ptr<BVSharedXAttrs> sharedXAttrs();

    // ---- Paths to identifiers ----
    // An item that carries the path's identifier (a folder, file, listing or
    // path-to-identifier item), or nothing. cacheOnly never asks the service and never lists
    // a folder. Paths in the trash and below /Shared Folders are resolved by listing their
    // parent folder, not by asking the service for the path.
    // Nothing with *error left as it was: the path is not there (the service said so, or the
    // listing that would hold it does not). Nothing with *error set: the question could not
    // be answered (a failed exchange, a service error, a locked secure folder, no session).
    BVItemRef identifiableItemAt(const std::string& path, bool isFile, bool cacheOnly,
                                 bv::Error* error = nullptr);
    std::optional<std::string> identifierForFileAt(const std::string& path, bool cacheOnly = false,
                                                   bv::Error* error = nullptr);
    std::optional<std::string> identifierForFolderAt(const std::string& path,
                                                     bool cacheOnly = false,
                                                     bv::Error* error = nullptr);

    // ---- Contexts ----
    // A sharing context (sharingId = the user's identifier in the cached /Shared Folders
    // listing) below /Shared Folders, -998 when that user is not listed; otherwise
    // authContext(), -199 without a session.
    std::shared_ptr<BVApiClientAuthContext> contextForPath(const std::string& path,
                                                           bv::Error* error);
    // A new context holding the cached session "default"; null without one.
    std::shared_ptr<BVApiClientAuthContext> authContext();

    // ---- Listings ----
    // The folder's listing: the cached one while the cache holds it as valid, else the
    // service's. A secure folder may ask the user for its password; when the user refuses,
    // the answer is a BVStubFolderListItem (cached for 2 seconds) plus the runtime's error.
    std::shared_ptr<BVFolderListItem> listFolderAt(const std::string& path, bv::Error* error) {
        return listFolderAt(path, false, error);
    }
    std::shared_ptr<BVFolderListItem> listFolderAt(const std::string& path, bool noCache,
                                                   bv::Error* error);
    // Asks the service whether the listing changed since its updateTime: -1 failure, 0 the
    // new listing replaced it in the cache, 1 unchanged (its cache entry refreshed).
    int updateFolderListItem(const std::shared_ptr<BVFolderListItem>& listing, bv::Error* error);

    // ---- Items ----
    // BVFileInfoItem or BVFolderInfoItem.
    BVItemRef itemInfoAt(const std::string& path, bv::Error* error) {
        return itemInfoAt(path, false, error);
    }
    BVItemRef itemInfoAt(const std::string& path, bool noCache, bv::Error* error);
    // A folder or file item with at least the identifier and the encrypted flag.
    BVItemRef minimalItemInfoAt(const std::string& path, bv::Error* error);
    // True when the item's size is 0; false for a path that cannot be resolved.
    bool isFileEmptyAt(const std::string& path);
    std::shared_ptr<BVFileThumbnailItem> fileThumbnailAt(const std::string& path, bv::Error* error);
    // Not cached.
    std::shared_ptr<BVSharingUsersItem> sharingUsersOfFolderAt(const std::string& path,
                                                               bv::Error* error);

    // ---- Account ----
    std::shared_ptr<BVUserInfoItem> userInfoWithError(bv::Error* error) {
        return userInfoNoCache(false, error);
    }
    // Storage figures and the number of items in the trash (0 for an account user, whose
    // trash is not listed), asked in parallel.
    std::shared_ptr<BVUserInfoItem> userInfoNoCache(bool noCache, bv::Error* error);
    std::shared_ptr<BVUserLinksItem> userLinksWithError(bv::Error* error);
    // Never cached.
    std::shared_ptr<BVNotificationsItem> userNotificationsError(bv::Error* error);

    // ---- File content ----
    // The file's descriptor once its first `bytes` bytes are in the cache (downloading them
    // when needed); bytes = the largest value waits for the whole file.
    std::shared_ptr<BVBinaryDataDescriptorItem> downloadFileAt(const std::string& path,
                                                               uint64_t bytes, bv::Error* error);
    std::shared_ptr<BVBinaryDataDescriptorItem> downloadFileAt(const std::string& path,
                                                               bv::Error* error) {
        return downloadFileAt(path, UINT64_MAX, error);
    }
    // Up to size bytes of the file from offset (fewer at its end), downloaded when needed;
    // nothing and the error on failure. Never raises.
    std::optional<bv::Data> readFileAt(const std::string& path, uint64_t offset, uint64_t size,
                                       bv::Error* error) noexcept;

    // ---- Path predicates ----
    // The trash or anything in it.
    static bool isTrashFolder(const std::string& path);
    // Anything below /Shared Folders.
    static bool isSharedFolder(const std::string& path);
    // The path is /name or /name/.
    static bool isPath(const std::string& path, const std::string& rootOf);
    // A secure folder or anything below one, from cached listings only.
    bool isSecureFolder(const std::string& path);

  private:
    BVApiClient* client() const;
    std::shared_ptr<BVCacheController> cache() const;
    double now() const;
    std::shared_ptr<BVSecureFolderGate> gateFor(
        const std::string& folderId, const std::shared_ptr<BVApiClientAuthContext>& context);

    // The item from the cached listings alone: the folder's own listing, else the entry of
    // the parent's listing.
    BVItemRef resolveFromCache(const std::string& path, bool isFile);
    // The cached path-to-identifier item, asked of the service unless cacheOnly.
    BVItemRef resolveThroughService(const std::string& path, bool isFile, bool cacheOnly,
                                    bv::Error* error);
    // The item found in the parent's listing, which is fetched for it.
    BVItemRef resolveThroughParent(const std::string& path, bool isFile, bv::Error* error);
    // The identifier, resolved normally and then required from the cache; -1000 when the
    // path is not there, the failure itself when that could not be told.
    std::optional<std::string> requiredIdentifier(const std::string& path, bool isFile,
                                                  bv::Error* error);

    std::shared_ptr<BVFolderListItem> retrieveListing(const std::string& path,
                                                      const std::string& identifier,
                                                      bv::Error* error);
    // The listing, asked once more only after the folder was opened with its password (or
    // set up with one); a stub when the user gave none. *failure (never null) receives why.
    std::shared_ptr<BVFolderListItem> listOrdinaryFolder(
        const std::string& identifier, const std::shared_ptr<BVApiClientAuthContext>& context,
        bv::Error* failure);
    std::shared_ptr<BVFolderListItem> stubListing(const std::string& identifier) const;
    void forgetChildIdentifiers(const BVFolderListItem& listing, const std::string& path);
    void addVirtualFolders(BVFolderListItem& listing) const;
    static void makeTrashNamesUnique(BVFolderListItem& listing);

    const Options options_;
};
