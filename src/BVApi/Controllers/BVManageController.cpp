#include "BVApi/Controllers/BVManageController.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <mutex>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVSynchedItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUnicodeNames.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "BVApi/Networking/BVApiClientSharingContext.h"
#include "BVApi/Networking/BVApiRequest.h"
#include "app/Logging/BVLogging.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

namespace {

void fillError(bv::Error* error, int64_t code, const char* reason) {
    BVApiClientContext::fillContextError(error, code, reason);
}

template <class T>
std::shared_ptr<T> as(const BVItemRef& item) {
    return item && item->isKindOf(T::itemClass()) ? std::static_pointer_cast<T>(item) : nullptr;
}

// A shallow copy through the class's fields: what the copy holds is shared, its own fields
// (the arrays of a listing among them) are not.
template <class T>
std::shared_ptr<T> copyOf(const T& item) {
    BVItemRef copy = item.cls().create();
    for (const auto& field : item.cls().fields())
        field.set(*copy, field.get(item));
    return std::static_pointer_cast<T>(copy);
}

bool isNotFound(const bv::Error& error) {
    return error.code() == BVContentController::kErrorNotFound &&
           error.domain() == bv::kBVErrorDomain;
}

bool isRootPath(const std::string& path) {
    return path.empty() || path == "/";
}

// The service sends counts as numbers or as texts of digits.
std::optional<int64_t> countOf(const nlohmann::json& value) {
    if (value.is_number_integer())
        return value.get<int64_t>();
    if (value.is_number_float())
        return static_cast<int64_t>(value.get<double>());
    if (!value.is_string())
        return std::nullopt;
    const std::string& text = value.get_ref<const std::string&>();
    int64_t count = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (failure != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return count;
}

// The end of one asynchronous chunk upload, shared between the waiting caller and the
// request's callbacks on the main loop (which may outlive the caller's wait).
struct ChunkExchange {
    // Held while the caller's progress callback runs; detached once the caller stopped
    // waiting, after which the callback is not called again.
    std::mutex callbackLock;
    bool detached = false;

    std::mutex lock;  // guards everything below
    std::condition_variable changed;
    bool finished = false;
    bool cancelled = false;
    std::optional<nlohmann::json> answer;
    bv::Error error;

    void finish(const nlohmann::json* response, const bv::Error& failure) {
        {
            std::lock_guard hold(lock);
            if (finished)
                return;
            finished = true;
            if (response)
                answer = *response;
            error = failure;
        }
        changed.notify_all();
    }
    void cancel() {
        {
            std::lock_guard hold(lock);
            cancelled = true;
        }
        changed.notify_all();
    }
    bool ended() {
        std::lock_guard hold(lock);
        return finished || cancelled;
    }
};

}  // namespace

BVManageController* BVManageController::sharedController() {
    // Never destroyed: threads still running at exit may hold it.
    static auto* controller = new BVManageController;
    return controller;
}

BVManageController::BVManageController() : BVManageController(Options{}) {}

BVManageController::BVManageController(Options options) : options_(std::move(options)) {}

BVApiClient* BVManageController::client() const {
    return options_.client ? options_.client : BVApiClient::sharedClient();
}

BVContentController& BVManageController::content() const {
    return options_.content ? *options_.content : *BVContentController::sharedController();
}

std::shared_ptr<BVCacheController> BVManageController::cache() const {
    return options_.cache ? options_.cache : BVCacheController::sharedController();
}

std::shared_ptr<BVTmpController> BVManageController::tmp() const {
    return options_.tmp ? options_.tmp : BVTmpController::sharedController();
}

BVBackgroundFolderUpdateController& BVManageController::refresher() const {
    return options_.refresher ? *options_.refresher
                              : *BVBackgroundFolderUpdateController::sharedController();
}

double BVManageController::now() const {
    return options_.clock ? options_.clock->now() : bv::Clock::system()->now();
}

// MARK: resolution

std::optional<std::string> BVManageController::resolve(const std::string& path, bool isFile,
                                                       bv::Error* error) {
    BVContentController& content = this->content();
    auto lookup = [&](bool cacheOnly) {
        return isFile ? content.identifierForFileAt(path, cacheOnly)
                      : content.identifierForFolderAt(path, cacheOnly);
    };
    if (auto id = lookup(true))
        return id;
    if (lookup(false)) {
        if (auto id = lookup(true))
            return id;
    }
    const char* reason =
        isFile ? BVContentController::kFileNotFound : BVContentController::kFolderNotFound;
    if (isRootPath(path)) {
        fillError(error, BVContentController::kErrorNotFound, reason);
        return std::nullopt;
    }
    if (isKnownMissing(path, isFile)) {
        fillError(error, BVContentController::kErrorNotFound, reason);
        return std::nullopt;
    }
    // The lookup does not say why it found nothing. A fresh listing of the parent does: it
    // fails with the reason the lookup failed (no connection, a refusal of the service, a
    // closed secure folder), or it shows whether the item is there.
    bv::Error listError;
    const std::string parent = BVVolumePath::parent(path);
    auto listing = content.listFolderAt(parent, true, &listError);
    if (!listing && isNotFound(listError) && !isRootPath(parent)) {
        // The parent did not resolve either: the same question one level up tells why.
        bv::Error parentError;
        if (!resolve(parent, false, &parentError)) {
            if (isNotFound(parentError))
                fillError(error, BVContentController::kErrorNotFound, reason);
            else if (error)
                *error = parentError;
            return std::nullopt;
        }
        listError = bv::Error();
        listing = content.listFolderAt(parent, true, &listError);
    }
    if (!listing || listing->isKindOf(BVStubFolderListItem::itemClass())) {
        if (listError) {
            if (error)
                *error = listError;
        } else {
            fillError(error, BVContentController::kErrorNotFound, reason);
        }
        return std::nullopt;
    }
    BVItemRef item = listing->itemNamed(BVVolumePath::lastComponent(path));
    const BVItemClass& wanted = isFile ? BVFileItem::itemClass() : BVFolderItem::itemClass();
    if (item && item->isKindOf(wanted)) {
        if (auto id = lookup(true))
            return id;
        return item->identifier;
    }
    fillError(error, BVContentController::kErrorNotFound, reason);
    return std::nullopt;
}

bool BVManageController::isKnownMissing(const std::string& path, bool isFile) {
    auto cache = this->cache();
    if (!cache)
        return false;
    BVItemRef mapping =
        cache->fetchItemWithKey(BVUnicodeNames::lowercased(path), BVFSIdItem::itemClass());
    return mapping && mapping->identifier == BVContentController::kUndefinedId &&
           mapping->isKindOf(BVFolderFSIdItem::itemClass()) != isFile;
}

std::optional<bool> BVManageController::isFileAt(const std::string& path, bv::Error* error) {
    if (content().identifierForFileAt(path))
        return true;
    if (resolve(path, false, error))
        return false;
    return std::nullopt;
}

std::optional<BVManageController::Target> BVManageController::targetAt(const std::string& path,
                                                                       bool isFile,
                                                                       bv::Error* error) {
    auto identifier = resolve(path, isFile, error);
    if (!identifier)
        return std::nullopt;
    auto context = contextFor(path, error);
    if (!context)
        return std::nullopt;
    return Target{*identifier, std::move(context)};
}

std::shared_ptr<BVApiClientAuthContext> BVManageController::contextFor(const std::string& path,
                                                                       bv::Error* error) {
    return content().contextForPath(path, error);
}

bool BVManageController::changeCachedListing(const std::string& folderId,
                                             const std::string& folderPath,
                                             const std::function<void(BVFolderListItem&)>& change) {
    auto cache = this->cache();
    if (!cache)
        return false;
    // The listing index's lock makes fetch, change and store one step against every other
    // change of a listing, the cache's own purges included.
    std::lock_guard hold(cache->indexOf(BVFolderListItem::itemClass()).lock());
    auto listing =
        folderId.empty() ? cache->fetchFolderListAt(folderPath) : cache->fetchFolderList(folderId);
    if (!listing)
        return false;
    auto copy = copyOf(*listing);
    copy->adoptNameIndexOf(*listing);
    change(*copy);
    cache->storeItem(copy);
    return true;
}

// MARK: folders and files

int64_t BVManageController::enterNewItem(BVCacheController& cache, const std::string& parentId,
                                         const BVItemRef& item, const std::string& path) {
    auto folder = as<BVFolderItem>(item);
    int64_t encrypted = 0;
    const bool listed = changeCachedListing(parentId, "", [&](BVFolderListItem& listing) {
        encrypted = listing.encrypted;
        if (folder)
            folder->encrypted = listing.encrypted;
        listing.insertItem(item);
    });
    if (!listed) {
        std::shared_ptr<BVFSIdItem> mapping;
        if (folder)
            mapping = std::make_shared<BVFolderFSIdItem>();
        else
            mapping = std::make_shared<BVFSIdItem>();
        mapping->identifier = item->identifier;
        mapping->path = folder ? path : BVUnicodeNames::lowercased(path);
        cache.storeItem(mapping);
    }
    return encrypted;
}

bool BVManageController::createFolderAt(const std::string& parentPath, const std::string& name,
                                        bv::Error* error) {
    auto target = targetAt(parentPath, false, error);
    if (!target)
        return false;
    const std::string& parentId = target->identifier;
    const auto& context = target->context;
    const std::string path = BVVolumePath::appending(parentPath, name);
    if (content().identifierForFolderAt(path, true)) {
        fillError(error, kErrorFolderExists, kFolderExists);
        return false;
    }
    auto folder = client()->createFolder(name, parentId, context.get(), error);
    if (!folder)
        return false;
    auto cache = this->cache();
    if (!cache)
        return true;
    const int64_t encrypted = enterNewItem(*cache, parentId, folder, path);
    auto own = std::make_shared<BVFolderListItem>();
    own->identifier = folder->identifier;
    own->path = path;
    own->name = name;
    own->encrypted = encrypted;
    own->parentFolderId = parentId;
    cache->storeItem(own);
    return true;
}

bool BVManageController::createFileAt(const std::string& parentPath, const std::string& fileName,
                                      bv::Error* error) {
    auto target = targetAt(parentPath, false, error);
    if (!target)
        return false;
    const std::string& parentId = target->identifier;
    const auto& context = target->context;
    std::shared_ptr<BVUploadFileHandle> handle;
    auto file =
        client()->createFile(fileName, parentId, &handle, context.get(), false, int64_t{0}, error);
    if (!file)
        return false;
    auto cache = this->cache();
    if (!cache)
        return true;
    const std::string path = BVVolumePath::appending(parentPath, fileName);
    cache->purgeIdentifiersForcedAt(path);
    if (handle) {
        handle->path = path;
        handle->identifier = file->identifier;
        handle->size = 0;
        cache->storeItem(handle);
    }
    enterNewItem(*cache, parentId, file, path);
    return true;
}

bool BVManageController::removeFile(const std::string& path, bool trash, bv::Error* error) {
    auto parentId = resolve(BVVolumePath::parent(path), false, error);
    if (!parentId)
        return false;
    auto target = targetAt(path, true, error);
    if (!target)
        return false;
    const std::string& fileId = target->identifier;
    const auto& context = target->context;
    if (auto cache = this->cache()) {
        cache->purgeCacheForFile(fileId, *parentId);
        // The trash's cached listing would not show the file.
        if (trash)
            cache->purgeCacheForFolderContents(BVContentController::kTrashId);
    }
    if (trash) {
        BVLog("Trashing file %@", path);
        return client()->trashFile(fileId, context.get(), error);
    }
    BVLog("Deleting file at %@", path);
    return client()->deleteFile(fileId, context.get(), error);
}

bool BVManageController::deleteFileAt(const std::string& path, bv::Error* error) {
    return removeFile(path, false, error);
}

bool BVManageController::trashFileAt(const std::string& path, bv::Error* error) {
    return removeFile(path, true, error);
}

bool BVManageController::deleteFolderAt(const std::string& path, bv::Error* error) {
    auto target = targetAt(path, false, error);
    if (!target)
        return false;
    const std::string& folderId = target->identifier;
    const auto& context = target->context;
    bv::Error purgeError;
    purgeCacheForFolderAt(path, &purgeError);
    BVLog("Deleting folder %@", path);
    return client()->deleteFolder(folderId, context.get(), error);
}

bool BVManageController::deleteItemAt(const std::string& path, bv::Error* error) {
    if (content().identifierForFileAt(path))
        return deleteFileAt(path, error);
    return deleteFolderAt(path, error);
}

bool BVManageController::purgeCacheForFolderAt(const std::string& path, bv::Error* error) {
    auto folderId = resolve(path, false, error);
    if (!folderId)
        return false;
    auto parentId = content().identifierForFolderAt(BVVolumePath::parent(path), true);
    BVBackgroundFolderUpdateController& refresher = this->refresher();
    if (!refresher.waitForLockFor(path))
        return false;
    if (auto cache = this->cache())
        cache->purgeCacheForFolder(*folderId, parentId.value_or(""));
    if (auto tmp = this->tmp())
        tmp->cleanupDirectory(path);
    refresher.unlockFor(path);
    return true;
}

bool BVManageController::trashItemAt(const std::string& path, bv::Error* error) {
    auto context = contextFor(path, error);
    if (!context)
        return false;
    auto parentId = content().identifierForFolderAt(BVVolumePath::parent(path), true);
    auto cache = this->cache();
    if (auto fileId = content().identifierForFileAt(path)) {
        if (cache) {
            cache->purgeCacheForFile(*fileId, parentId.value_or(""));
            cache->purgeCacheForFolderContents(BVContentController::kTrashId);
        }
        BVLog("Trashing file item %@", path);
        return client()->trashFile(*fileId, context.get(), error);
    }
    auto folderId = resolve(path, false, error);
    if (!folderId)
        return false;
    bv::Error purgeError;
    purgeCacheForFolderAt(path, &purgeError);
    if (cache)
        cache->purgeCacheForFolderContents(BVContentController::kTrashId);
    BVLog("Trashing folder item %@", path);
    return client()->trashFolder(*folderId, context.get(), error);
}

bool BVManageController::restoreItemAt(const std::string& path, std::string* restoredPath,
                                       bv::Error* error) {
    auto context = contextFor(path, error);
    if (!context)
        return false;
    BVApiClient* api = client();
    std::optional<std::string> newPath;
    if (auto fileId = content().identifierForFileAt(path)) {
        if (!api->restoreFile(*fileId, context.get(), error))
            return false;
        newPath = api->pathForFile(*fileId, context.get(), error);
    } else {
        auto folderId = resolve(path, false, error);
        if (!folderId)
            return false;
        if (!api->restoreFolder(*folderId, context.get(), error))
            return false;
        newPath = api->pathForFolder(*folderId, context.get(), error);
    }
    auto cache = this->cache();
    // The item left the trash, whose cached listing would still show it.
    if (cache)
        cache->purgeItemForcedWithKey(BVContentController::kTrashId, BVFolderListItem::itemClass());
    if (newPath) {
        if (restoredPath)
            *restoredPath = *newPath;
        auto parentId = content().identifierForFolderAt(BVVolumePath::parent(*newPath), true);
        if (parentId && cache)
            cache->purgeItemForcedWithKey(*parentId, BVFolderListItem::itemClass());
    }
    return true;
}

std::optional<bool> BVManageController::isFolderEmptyAt(const std::string& path, bv::Error* error) {
    if (!resolve(path, false, error))
        return std::nullopt;
    auto listing = content().listFolderAt(path, error);
    if (!listing || listing->isKindOf(BVStubFolderListItem::itemClass()))
        return std::nullopt;
    return listing->files.empty() && listing->folders.empty();
}

bool BVManageController::moveItemAt(const std::string& source, const std::string& destination,
                                    bv::Error* error) {
    if (BVContentController::isTrashFolder(source)) {
        fillError(error, kErrorNotSupportedInTrash, kNotSupportedInTrash);
        return false;
    }
    auto isFile = isFileAt(source, error);
    if (!isFile)
        return false;
    auto sourceId = resolve(source, *isFile, error);
    if (!sourceId)
        return false;
    auto sourceParentId = resolve(BVVolumePath::parent(source), false, error);
    if (!sourceParentId)
        return false;
    const std::string destinationParent = BVVolumePath::parent(destination);
    auto destinationParentId = resolve(destinationParent, false, error);
    if (!destinationParentId)
        return false;
    auto cache = this->cache();
    auto destinationListing = cache ? cache->fetchFolderList(*destinationParentId) : nullptr;
    const std::string newName = BVVolumePath::lastComponent(destination);
    auto context = contextFor(destination, error);
    if (!context)
        return false;
    if (auto sharing = std::dynamic_pointer_cast<BVApiClientSharingContext>(context)) {
        bv::Error sourceError;
        auto sourceContext =
            std::dynamic_pointer_cast<BVApiClientSharingContext>(contextFor(source, &sourceError));
        sharing->destinationSharingId = sharing->sharingId;
        sharing->sourceSharingId = sourceContext ? sourceContext->sharingId : std::string();
        sharing->sharingId.clear();
    }

    // A file already at the destination is replaced, as a rename onto it asks for; it goes
    // to the trash rather than away, so a move that fails afterwards loses nothing.
    if (*isFile) {
        bv::Error existingError;
        auto existing = resolve(destination, true, &existingError);
        if (!existing && !isNotFound(existingError)) {
            if (error)
                *error = existingError;
            return false;
        }
        if (existing && *existing != *sourceId && !trashFileAt(destination, error))
            return false;
    }

    BVLog("Moving file %@ to %@", newName, destination);
    BVApiClient* api = client();
    BVItemRef moved;
    if (*isFile) {
        moved = api->moveFile(*sourceId, newName, *destinationParentId, context.get(), error);
    } else {
        auto folder =
            api->moveFolder(*sourceId, newName, *destinationParentId, context.get(), error);
        if (folder && destinationListing)
            folder->encrypted = destinationListing->encrypted;
        moved = folder;
    }
    if (!moved)
        return false;
    if (!cache)
        return true;
    // A lookup of the destination made before the move may have cached it as unknown.
    cache->purgeIdentifiersForcedAt(destination);
    if (moved->isKindOf(BVFileItem::itemClass())) {
        cache->purgeCacheForFile(*sourceId, *sourceParentId);
        cache->purgeIdentifiersForcedAt(source);
    } else if (moved->isKindOf(BVFolderItem::itemClass())) {
        bv::Error purgeError;
        purgeCacheForFolderAt(source, &purgeError);
    }
    changeCachedListing(*destinationParentId, "", [&](BVFolderListItem& listing) {
        // A rename within one folder leaves the old entry there; the purge above removed it
        // from the cached listing only when it still held it.
        listing.removeItemWithIdentifier(moved->identifier);
        listing.insertItem(moved);
    });
    return true;
}

bool BVManageController::setSettings(const nlohmann::json& settings, const std::string& path,
                                     bv::Error* error) {
    auto context = contextFor(path, error);
    if (!context)
        return false;
    if (auto fileId = content().identifierForFileAt(path))
        return client()->setSettings(settings, *fileId, context.get(), error);
    auto folderId = resolve(path, false, error);
    if (!folderId)
        return false;
    return client()->setSettings(settings, *folderId, *folderId, context.get(), error);
}

// MARK: sharing and the account

bool BVManageController::shareFolderAt(const std::string& path, const std::string& user,
                                       bv::Error* error) {
    auto target = targetAt(path, false, error);
    if (!target)
        return false;
    const std::string& folderId = target->identifier;
    const auto& context = target->context;
    return client()->shareFolder(folderId, user, "0", context.get(), error);
}

bool BVManageController::changeSharing(const std::string& sharingId, const nlohmann::json& mode,
                                       bv::Error* error) {
    auto context = contextFor("/", error);
    return context && client()->changeSharing(sharingId, mode, context.get(), error);
}

bool BVManageController::deleteSharing(const std::string& sharingId, bv::Error* error) {
    auto context = contextFor("/", error);
    return context && client()->deleteSharing(sharingId, context.get(), error);
}

bool BVManageController::emptyTrashWithError(bv::Error* error) {
    auto context = contextFor("/", error);
    if (!context || !client()->emptyTrashWithContext(context.get(), error))
        return false;
    if (auto cache = this->cache()) {
        if (auto info = cache->fetch<BVUserInfoItem>("default")) {
            auto emptied = copyOf(*info);
            emptied->trashCount = 0;
            cache->storeItem(emptied);
        }
        cache->purgeCacheForFolderContents(BVContentController::kTrashId);
    }
    return true;
}

bool BVManageController::logoutWithError(bv::Error* error) {
    auto context = contextFor("/", error);
    if (!context || !client()->logoutWithContext(context.get(), error))
        return false;
    if (auto cache = this->cache())
        cache->purgeItemForcedWithKey("default", BVUserSessionItem::itemClass());
    return true;
}

// MARK: uploads

std::shared_ptr<BVUploadFileHandle> BVManageController::uploadOpenAt(const std::string& path,
                                                                     uint64_t size,
                                                                     bv::Error* error) {
    auto target = targetAt(path, true, error);
    if (!target)
        return nullptr;
    const std::string& fileId = target->identifier;
    const auto& context = target->context;
    auto cache = this->cache();
    if (cache) {
        if (auto cached = cache->fetchUploadHandle(fileId))
            return cached;
    }
    BVLog("upload handle not cached, opening new");
    auto handle = client()->openFile(fileId, static_cast<int64_t>(size), context.get(), error);
    if (!handle)
        return nullptr;
    handle->identifier = fileId;
    handle->size = static_cast<int64_t>(size);
    handle->path = path;
    if (cache)
        cache->storeItem(handle);
    return handle;
}

bool BVManageController::uploadChunk(std::shared_ptr<const bv::Data> bytes,
                                     const BVUploadFileHandle& handle, bool withIncorrectRequest,
                                     const ProgressHandler& progress, uint64_t offset, bool async,
                                     bv::Error* error) {
    if (!bytes)
        bytes = std::make_shared<const bv::Data>();
    if (!sendChunk(bytes, handle, withIncorrectRequest, progress, offset, async, error))
        return false;
    setListedSize(handle.path, static_cast<int64_t>(offset + bytes->size()));
    return true;
}

bool BVManageController::setListedSize(const std::string& path, int64_t size) {
    auto cache = this->cache();
    if (!cache)
        return false;
    const std::string name = BVVolumePath::lastComponent(path);
    const std::string parent = BVVolumePath::parent(path);
    // Most calls find the size listed already (each chunk after the write that listed it):
    // a look at the cached listing, without the copy and store of a change.
    auto cached = cache->fetchFolderListAt(parent);
    auto listed = cached ? as<BVFileItem>(cached->itemNamed(name)) : nullptr;
    if (!listed || listed->size == size)
        return false;
    bool changed = false;
    changeCachedListing("", parent, [&](BVFolderListItem& listing) {
        // The entry looked at above is the copy's own unless the listing changed meanwhile.
        auto entry =
            std::find(listing.files.begin(), listing.files.end(), listed) != listing.files.end()
                ? listed
                : as<BVFileItem>(listing.itemNamed(name));
        if (entry && entry->size != size) {
            auto resized = copyOf(*entry);
            resized->size = size;
            listing.replaceItem(entry, resized);
            changed = true;
        }
    });
    return changed;
}

bool BVManageController::sendChunk(const std::shared_ptr<const bv::Data>& bytes,
                                   const BVUploadFileHandle& handle, bool withIncorrectRequest,
                                   const ProgressHandler& progress, uint64_t offset, bool async,
                                   bv::Error* error) {
    auto context = contextFor(handle.path, error);
    if (!context)
        return false;
    BVApiClient* api = client();
    auto request = BVApiRequest::requestWithMethod(
        "POST", "upload/upload_file_chunk2.json",
        BVApiRequest::Arguments{withIncorrectRequest ? kIncorrectRequestArgument
                                                     : handle.identifier},
        nlohmann::json{{"temp_location", handle.tempLocation},
                       {"chunk_offset", offset},
                       {"chunk_size", static_cast<uint64_t>(bytes->size())}});
    // A chunk is megabytes: sent from the caller's buffer, never copied into a body.
    request->setSharedBinaryParameter("file_data", bytes);
    request->setParametersType(BVApiRequest::kParametersQueryAndMultipart);
    request->setClock(api->clock());
    if (options_.requestConfiguration) {
        request->configuration() = *options_.requestConfiguration;
        request->setNumberOfRetries(options_.requestConfiguration->numberOfRetries);
    }
    if (!context->preFill(*request, api, error))
        return false;

    std::shared_ptr<BVChunkUploadResult> result;
    if (!async) {
        nlohmann::json answer;
        if (request->sendSyncWith(error, &answer))
            result = BVContentItem::itemWithDict<BVChunkUploadResult>(answer);
    } else if (!bv::RunLoop::isMainThread()) {
        // Off the main thread the chunk goes out on this thread's own connection, the one
        // its other requests use: no hand-over to the network thread and back through the
        // main loop, while progress and "CancelAllUploads" still stop it.
        BVApiRequest* sending = request.get();
        if (progress) {
            request->uploadProgressHandler = [sending, &progress](int64_t sent, int64_t expected) {
                if (!progress(sent, expected))
                    sending->cancelOperations();
            };
        }
        std::weak_ptr<BVApiRequest> weakRequest = request;
        auto cancelObserver = bv::NotificationCenter::defaultCenter().addObserver(
            BVApiRequest::kCancelAllUploadsNotification,
            [weakRequest](const std::string&, const nlohmann::json&) {
                if (auto running = weakRequest.lock())
                    running->cancelOperations();
            });
        nlohmann::json answer;
        bv::Error failure;
        // A stop that came after the last bytes went out still stops the chunk.
        if (!request->operationsCancelled() && request->sendSyncWith(&failure, &answer) &&
            api->checkServerError(&failure, request, answer) && !request->operationsCancelled())
            result = BVContentItem::itemWithDict<BVChunkUploadResult>(answer);
        // A stopped chunk fails without an error, as a stopped asynchronous one does.
        if (!result && failure && !request->operationsCancelled() && error)
            *error = failure;
    } else {
        auto exchange = std::make_shared<ChunkExchange>();
        std::weak_ptr<BVApiRequest> weakRequest = request;
        if (progress) {
            request->uploadProgressHandler = [exchange, weakRequest, progress](int64_t sent,
                                                                               int64_t expected) {
                // The caller's callback may refer to what its wait left behind.
                std::lock_guard callback(exchange->callbackLock);
                if (exchange->detached || progress(sent, expected))
                    return;
                if (auto sending = weakRequest.lock())
                    sending->cancelAsync();
                exchange->finish(nullptr, bv::Error());
            };
        }
        // A request that cannot even be built ends through the data handler alone.
        request->dataHandler = [exchange](const bv::Data* data, const bv::Error& failure) {
            if (!data)
                exchange->finish(nullptr, failure);
        };
        request->apiResponseHandler = [exchange](const nlohmann::json* answer,
                                                 const bv::Error& failure) {
            exchange->finish(answer, failure);
        };
        // "CancelAllUploads" ends the wait at once, as it ends the request's own.
        auto cancelObserver = bv::NotificationCenter::defaultCenter().addObserver(
            BVApiRequest::kCancelAllUploadsNotification,
            [exchange](const std::string&, const nlohmann::json&) {
                exchange->cancel();
                bv::RunLoop::main().wakeUp();
            });
        request->sendAsync();
        // The answer arrives on the main loop, which this thread runs while it waits.
        while (!exchange->ended() && !request->operationsCancelled())
            bv::RunLoop::main().runUntil(
                [&] { return exchange->ended() || request->operationsCancelled(); }, 1);
        {
            std::lock_guard callback(exchange->callbackLock);
            exchange->detached = true;
        }
        std::optional<nlohmann::json> answer;
        {
            std::lock_guard hold(exchange->lock);
            answer = exchange->answer;
            if (exchange->error && error)
                *error = exchange->error;
        }
        // Checked here rather than in the callback, which may run after the caller (and
        // the client) went away when the wait was cancelled.
        if (answer && api->checkServerError(error, request, *answer))
            result = BVContentItem::itemWithDict<BVChunkUploadResult>(*answer);
    }

    const auto written = result ? countOf(result->bytesWritten) : std::nullopt;
    if (written && *written == static_cast<int64_t>(bytes->size()))
        return true;
    BVLog("upload bytes mismatch %ld expected vs %ld written", static_cast<long>(bytes->size()),
          static_cast<long>(written.value_or(0)));
    return false;
}

bool BVManageController::uploadClose(const BVUploadFileHandle& handle, int64_t realSize,
                                     bv::Error* error) {
    auto context = contextFor(handle.path, error);
    if (!context)
        return false;
    auto file = client()->closeFileUpload(handle.identifier, realSize, handle.tempLocation, false,
                                          std::nullopt, context.get(), error);
    auto cache = this->cache();
    if (!file || !cache)
        return true;
    file->identifier = handle.identifier;
    if (auto descriptor = cache->fetchBinaryDataDescriptor(handle.identifier)) {
        // The mirror the upload wrote is whole now. Left open, its stream would hold the content
        // file open for good, and the descriptor on disk would never claim the content whole
        // (but be written again, claiming the bytes, a persist interval later).
        if (!cache->finishBinaryDataOf(handle.identifier, static_cast<uint64_t>(realSize))) {
            descriptor->completedBytes = realSize;
            descriptor->totalBytes = realSize;
        }
        cache->storeItem(descriptor);
    }
    const std::string parent = BVVolumePath::parent(handle.path);
    auto parentId = content().identifierForFolderAt(parent, true);
    if (!parentId)
        return true;
    changeCachedListing(*parentId, "", [&](BVFolderListItem& listing) {
        listing.removeItemNamed(file->name);
        listing.insertItem(file);
    });
    cache->purgeItemForcedWithKey(handle.identifier, BVUploadFileHandle::itemClass());
    cache->purgeIdentifiersForcedAt(handle.path);
    cache->touchItemForcedWithKey(handle.identifier, BVBinaryDataDescriptorItem::itemClass());
    return true;
}

// MARK: synched items

bool BVManageController::syncItem(const std::string& key, const BVItemClass& cls,
                                  const std::string& givenPath, bv::Error* error) {
    if (!cls.isSubclassOf(BVSynchedItem::itemClass()))
        throw BVManageControllerException(
            "Item with given identifier is not a subclass of BVSynchedItem!");
    // The application names its synched item by a bare name (".MACOSX_XATTRS"): it lives at
    // the top of the account. Taken as it is, its parent would be "", a second root listing
    // in the cache that hides the files of the real one.
    const std::string path =
        givenPath.empty() || givenPath.front() == '/' ? givenPath : "/" + givenPath;
    // Absent is a real answer here, a failed lookup is not: taking a lookup failure for a
    // missing copy would overwrite the account's copy with an empty item.
    bv::Error lookupError;
    auto fileId = resolve(path, true, &lookupError);
    if (!fileId && !isNotFound(lookupError)) {
        if (error)
            *error = lookupError;
        return false;
    }
    auto context = contextFor(path, error);
    if (!context)
        return false;
    BVApiClient* api = client();
    std::shared_ptr<BVFileInfoItem> remote;
    if (fileId) {
        remote = api->fileInfo(*fileId, context.get(), error);
        if (!remote)
            return false;
    }
    auto cache = this->cache();
    auto local = as<BVSynchedItem>(cache ? cache->fetchItemWithKey(key, cls) : nullptr);
    auto fresh = [&] {
        auto item = std::static_pointer_cast<BVSynchedItem>(cls.create());
        item->identifier = key;
        item->dateModified = now();
        return item;
    };

    bool download = false;
    if (!local && !remote) {
        local = fresh();
        if (cache)
            cache->storeItem(local);
    } else if (!local) {
        download = true;
    } else if (remote) {
        if (local->dateModified == remote->dateModified)
            return true;
        download = local->dateModified < remote->dateModified;
    }
    if (!download)
        return uploadSynchedItem(local, path, remote != nullptr, error);

    auto data = api->downloadData(*fileId, context.get(), error);
    auto item = data ? as<BVSynchedItem>(BVContentItem::unarchive(*data, &cls)) : nullptr;
    if (!item) {
        if (!data)
            return false;
        BVLog("Trashing file in sync: %@", path);
        api->trashFile(*fileId, context.get(), error);
        if (cache)
            cache->storeItem(fresh());
        return false;
    }
    item->identifier = key;
    item->dateModified = remote->dateModified;
    if (cache)
        cache->storeItem(item);
    return true;
}

bool BVManageController::uploadSynchedItem(const BVItemRef& item, const std::string& path,
                                           bool remoteExists, bv::Error* error) {
    auto local = std::static_pointer_cast<BVSynchedItem>(item);
    const bv::Data archive = local->archivedData();
    if (remoteExists && !trashFileAt(path, error))
        return false;
    if (!createFileAt(BVVolumePath::parent(path), BVVolumePath::lastComponent(path), error))
        return false;
    auto handle = uploadOpenAt(path, 0, error);
    if (!handle || !uploadChunk(archive, *handle, false, nullptr, 0, true, error))
        return false;
    bv::Error closeError;
    if (!uploadClose(*handle, static_cast<int64_t>(archive.size()), &closeError) || closeError) {
        if (error)
            *error = closeError;
        return false;
    }
    auto minimal = content().minimalItemInfoAt(path, error);
    auto context = contextFor(path, error);
    if (!minimal || !context)
        return false;
    auto info = client()->fileInfo(minimal->identifier, context.get(), error);
    if (!info)
        return false;
    auto updated = copyOf(*local);
    updated->dateModified = info->dateModified;
    if (auto cache = this->cache())
        cache->storeItem(updated);
    return true;
}
