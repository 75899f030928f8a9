#include "BVApi/Content/Controller/BVContentController.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <unordered_set>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVSharingItems.h"
#include "BVApi/Content/BVSynchedItems.h"
#include "BVApi/Content/BVUnicodeNames.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "BVApi/Networking/BVApiClientSharingContext.h"
#include "platform/Format.h"
#include "platform/OperationQueue.h"

namespace {

constexpr const char* kNeedsAuthentication = "Folder requires encryption authentication";
constexpr const char* kNeedsKey = "List subdir failed. Folder requires encryption key to be set";

bool endsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

constexpr int64_t kErrorMissingKey = -1003;
constexpr const char* kUnusableAnswer = "The service's answer could not be used.";
constexpr const char* kSecureFolderLocked = "The secure folder is locked.";

void fillError(bv::Error* error, int64_t code, const char* reason) {
    BVApiClientContext::fillContextError(error, code, reason);
}

// The one failure that a lookup may take for "the path is not there".
bool isNotFound(const bv::Error& error) {
    return error.domain() == bv::kBVErrorDomain &&
           error.code() == BVContentController::kErrorNotFound;
}

// What a retrieval that answered nothing reports: the failure it met, or, when the exchange
// went through and the answer still gave no item, an unusable answer. Never "not found".
void failWith(bv::Error* error, const bv::Error& failure) {
    if (failure)
        bv::setError(error, failure);
    else
        fillError(error, BVApiRequest::kErrorBadAnswer, kUnusableAnswer);
}

bool isStub(const BVItemRef& listing) {
    return listing && listing->isKindOf(BVStubFolderListItem::itemClass());
}

template <class T>
std::shared_ptr<T> as(const BVItemRef& item) {
    return item && item->isKindOf(T::itemClass()) ? std::static_pointer_cast<T>(item) : nullptr;
}

// "MM-dd-yy" in local time.
std::string shortDate(double secondsSince1970) {
    std::time_t t = static_cast<std::time_t>(secondsSince1970);
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof text, "%m-%d-%y", &local);
    return text;
}

bool isRootPath(const std::string& path) {
    return path.empty() || path == "/";
}

bool responseTypeIsChanged(const nlohmann::json& responseType) {
    if (responseType.is_number())
        return responseType == 1;
    return responseType.is_string() && responseType.get<std::string>() == "1";
}

}  // namespace

BVContentController* BVContentController::sharedController() {
    // Never destroyed: threads still running at exit may hold it.
    static auto* controller = new BVContentController;
    return controller;
}

BVContentController::BVContentController() : BVContentController(Options{}) {}

BVContentController::BVContentController(Options options) : options_(std::move(options)) {}

BVApiClient* BVContentController::client() const {
    return options_.client ? options_.client : BVApiClient::sharedClient();
}

std::shared_ptr<BVCacheController> BVContentController::cache() const {
    return options_.cache ? options_.cache : BVCacheController::sharedController();
}

double BVContentController::now() const {
    return options_.clock ? options_.clock->now() : bv::Clock::system()->now();
}

namespace {
std::mutex defaultGatesLock;  // guards defaultGates
BVSecureFolderGate::Factory defaultGates;

// Stands in where no password flow is installed: the folder stays closed, and says why.
class ClosedSecureFolderGate : public BVSecureFolderGate {
  public:
    bool requestPassword() override { return false; }
    bool setupPassword() override { return false; }
    bv::Error error() const override {
        bv::Error error;
        fillError(&error, kErrorMissingKey, "No secure-folder password flow.");
        return error;
    }
};
}  // namespace

void BVContentController::setDefaultSecureFolderGates(BVSecureFolderGate::Factory factory) {
    std::lock_guard<std::mutex> hold(defaultGatesLock);
    defaultGates = std::move(factory);
}

std::shared_ptr<BVSecureFolderGate> BVContentController::gateFor(
    const std::string& folderId, const std::shared_ptr<BVApiClientAuthContext>& context) {
    BVSecureFolderGate::Factory factory = options_.secureFolderGates;
    if (!factory) {
        std::lock_guard<std::mutex> hold(defaultGatesLock);
        factory = defaultGates;
    }
    std::shared_ptr<BVSecureFolderGate> gate;
    if (factory)
        gate = factory(folderId, context, cache(), client());
    return gate ? gate : std::make_shared<ClosedSecureFolderGate>();
}

// MARK: cache first

BVItemRef BVContentController::checkItem(const std::string& key, const BVItemClass& cls,
                                         bool noCache, const Retrieval& retrieve) {
    auto cache = this->cache();
    BVItemRef cached = cache ? cache->fetchItemWithKey(key, cls) : nullptr;
    if (retrieve && (!cached || noCache)) {
        BVItemRef item = retrieve();
        if (item && cache)
            cache->storeItem(item);
        return item;
    }
    return cached;
}

BVItemRef BVContentController::synchedItem(const std::string& key, const BVItemClass& cls) {
    return checkItem(key, cls, Retrieval{});
}

std::shared_ptr<BVSharedXAttrs> BVContentController::sharedXAttrs() {
    return as<BVSharedXAttrs>(synchedItem("default", BVSharedXAttrs::itemClass()));
}

// MARK: paths to identifiers

BVItemRef BVContentController::identifiableItemAt(const std::string& path, bool isFile,
                                                  bool cacheOnly, bv::Error* error) {
    if (isRootPath(path)) {
        auto root = std::make_shared<BVFolderItem>();
        root->name = "/";
        root->identifier = kRootId;
        return root;
    }
    if (isPath(path, kSharedFoldersName) || isPath(path, kTrashName)) {
        const bool shared = isPath(path, kSharedFoldersName);
        auto folder = std::make_shared<BVFolderItem>();
        folder->name = shared ? kSharedFoldersName : kTrashName;
        folder->identifier = shared ? kSharedFoldersId : kTrashId;
        return folder;
    }
    if (BVItemRef found = resolveFromCache(path, isFile))
        return found;
    const bool mayAskService = !isTrashFolder(path) && (cacheOnly || !isSharedFolder(path));
    if (mayAskService)
        return resolveThroughService(path, isFile, cacheOnly, error);
    if (cacheOnly)
        return nullptr;
    return resolveThroughParent(path, isFile, error);
}

// Paths the service cannot resolve by name are found in their parent's listing.
BVItemRef BVContentController::resolveThroughParent(const std::string& path, bool isFile,
                                                    bv::Error* error) {
    bv::Error failure;
    auto parent = listFolderAt(BVVolumePath::parent(path), &failure);
    if (failure && !isNotFound(failure)) {
        bv::setError(error, failure);
        return nullptr;
    }
    if (!parent)
        return nullptr;  // no parent, no child
    if (isStub(parent)) {
        fillError(error, kErrorMissingKey, kSecureFolderLocked);
        return nullptr;
    }
    return identifiableItemAt(path, isFile, true, error);
}

BVItemRef BVContentController::resolveFromCache(const std::string& path, bool isFile) {
    auto cache = this->cache();
    if (!cache)
        return nullptr;
    if (!isFile) {
        if (auto listing = cache->fetchFolderListAt(path))
            return listing;
    }
    auto parent = cache->fetchFolderListAt(BVVolumePath::parent(path));
    if (!parent)
        return nullptr;
    BVItemRef item = parent->itemNamed(BVVolumePath::lastComponent(path));
    if (!item)
        return nullptr;
    // A file where a folder is asked for, or the other way round, is not the item asked for.
    const BVItemClass& wanted = isFile ? BVFileItem::itemClass() : BVFolderItem::itemClass();
    return item->isKindOf(wanted) ? item : nullptr;
}

BVItemRef BVContentController::resolveThroughService(const std::string& path, bool isFile,
                                                     bool cacheOnly, bv::Error* error) {
    auto cache = this->cache();
    if (!cache) {
        if (!cacheOnly)
            fillError(error, BVApiClientAuthContext::kErrorNoSession, "No signed-in session.");
        return nullptr;
    }
    const std::string key = BVUnicodeNames::lowercased(path);
    const BVItemClass& cls = BVFSIdItem::itemClass();
    auto ofKind = [isFile](const BVItemRef& item) {
        return item && item->isKindOf(BVFolderFSIdItem::itemClass()) != isFile;
    };
    // Files and folders share one key; an answer for the other kind says nothing about this
    // one, so it is asked again.
    BVItemRef cached = cache->fetchItemWithKey(key, cls);
    BVItemRef item = cached;
    if (!cacheOnly && !ofKind(cached)) {
        bv::Error failure;
        item = checkItem(key, cls, cached != nullptr, [&]() -> BVItemRef {
            auto context = contextForPath(path, &failure);
            if (!context)
                return nullptr;
            if (isFile)
                return client()->fileIdAt(path, context.get(), &failure);
            return client()->folderIdAt(path, context.get(), &failure);
        });
        if (!item) {
            failWith(error, failure);
            return nullptr;
        }
    }
    // "undefined" is the service's own "not there" (kept in the cache like any answer).
    if (!ofKind(item) || item->identifier == kUndefinedId)
        return nullptr;
    return item;
}

std::optional<std::string> BVContentController::identifierForFileAt(const std::string& path,
                                                                    bool cacheOnly,
                                                                    bv::Error* error) {
    BVItemRef item = identifiableItemAt(path, true, cacheOnly, error);
    return item ? std::optional<std::string>(item->identifier) : std::nullopt;
}

std::optional<std::string> BVContentController::identifierForFolderAt(const std::string& path,
                                                                      bool cacheOnly,
                                                                      bv::Error* error) {
    BVItemRef item = identifiableItemAt(path, false, cacheOnly, error);
    return item ? std::optional<std::string>(item->identifier) : std::nullopt;
}

std::optional<std::string> BVContentController::requiredIdentifier(const std::string& path,
                                                                   bool isFile, bv::Error* error) {
    auto lookup = [&](bool cacheOnly, bv::Error* failure) {
        return isFile ? identifierForFileAt(path, cacheOnly, failure)
                      : identifierForFolderAt(path, cacheOnly, failure);
    };
    // A path the cache alone resolves resolves the same way in the normal form, so the
    // normal form (which may ask the service) runs only for the others. What it resolves
    // must then be known to the cache too.
    auto id = lookup(true, nullptr);
    if (!id) {
        bv::Error failure;
        if (lookup(false, &failure)) {
            id = lookup(true, nullptr);
        } else if (failure && !isNotFound(failure)) {
            bv::setError(error, failure);
            return std::nullopt;
        }
    }
    if (!id)
        fillError(error, kErrorNotFound, isFile ? kFileNotFound : kFolderNotFound);
    return id;
}

// MARK: contexts

std::shared_ptr<BVApiClientAuthContext> BVContentController::authContext() {
    auto cache = this->cache();
    auto session = cache ? cache->fetchUserSession("default") : nullptr;
    if (!session)
        return nullptr;
    return std::make_shared<BVApiClientAuthContext>(session);
}

std::shared_ptr<BVApiClientAuthContext> BVContentController::contextForPath(const std::string& path,
                                                                            bv::Error* error) {
    auto cache = this->cache();
    auto session = cache ? cache->fetchUserSession("default") : nullptr;
    if (!session) {
        fillError(error, BVApiClientAuthContext::kErrorNoSession, "No signed-in session.");
        return nullptr;
    }
    if (!isSharedFolder(path))
        return std::make_shared<BVApiClientAuthContext>(session);
    const std::string user = BVVolumePath::components(path)[2];
    auto sharers = cache->fetchFolderListAt(std::string("/") + kSharedFoldersName);
    BVItemRef sharer = sharers ? sharers->itemNamed(user) : nullptr;
    if (!sharer) {
        fillError(error, kErrorSharedUserNotFound, kSharedUserNotFound);
        return nullptr;
    }
    auto context = std::make_shared<BVApiClientSharingContext>(session);
    context->sharingId = sharer->identifier;
    return context;
}

// MARK: listings

std::shared_ptr<BVFolderListItem> BVContentController::listFolderAt(const std::string& path,
                                                                    bool noCache,
                                                                    bv::Error* error) {
    // The folder's own cached listing is what resolving its identifier from the cache and
    // fetching the listing under it would answer, in one cache lookup instead of two.
    if (auto cache = this->cache(); cache && !noCache) {
        if (auto own = cache->fetchFolderListAt(path))
            return own;
    }
    auto identifier = requiredIdentifier(path, false, error);
    if (!identifier)
        return nullptr;
    BVItemRef listing =
        checkItem(*identifier, BVFolderListItem::itemClass(), noCache,
                  [&]() -> BVItemRef { return retrieveListing(path, *identifier, error); });
    return as<BVFolderListItem>(listing);
}

std::shared_ptr<BVFolderListItem> BVContentController::retrieveListing(
    const std::string& path, const std::string& identifier, bv::Error* error) {
    // Whether the folder is secure decides how its files are read: a listing taken without
    // knowing it would pass for a plain folder.
    bv::Error failure;
    BVItemRef minimal = minimalItemInfoAt(path, &failure);
    if (!minimal && failure && !isNotFound(failure)) {
        bv::setError(error, failure);
        return nullptr;
    }
    auto folder = as<BVFolderItem>(minimal);
    const int64_t encrypted = folder ? folder->encrypted : 0;

    failure = bv::Error();
    auto context = contextForPath(path, &failure);
    if (!context) {
        bv::setError(error, failure);
        return nullptr;
    }

    BVApiClient* api = client();
    std::shared_ptr<BVFolderListItem> listing;
    if (identifier == kSharedFoldersId) {
        listing = api->listSharedUsersWithContext(context.get(), &failure);
    } else if (isSharedFolder(path) && BVVolumePath::componentCount(path) == 3) {
        listing = api->sharedFoldersWithContext(context.get(), &failure);
        if (listing)
            listing->name = BVVolumePath::lastComponent(path);
    } else if (identifier == kTrashId) {
        listing = api->listTrashFolderWithContext(context.get(), &failure);
    } else {
        listing = listOrdinaryFolder(identifier, context, &failure);
    }
    if (!listing) {
        failWith(error, failure);
        return nullptr;
    }
    if (isStub(listing) && failure)
        bv::setError(error, failure);  // why the folder stayed closed

    listing->identifier = identifier;
    listing->path = path;
    listing->encrypted = encrypted;
    forgetChildIdentifiers(*listing, path);
    if (identifier == kRootId)
        addVirtualFolders(*listing);
    if (identifier == kTrashId)
        makeTrashNamesUnique(*listing);
    return listing;
}

std::shared_ptr<BVFolderListItem> BVContentController::listOrdinaryFolder(
    const std::string& identifier, const std::shared_ptr<BVApiClientAuthContext>& context,
    bv::Error* failure) {
    BVApiClient* api = client();
    auto listing = api->listFolder(identifier, std::nullopt, context.get(), failure);
    const std::string reason = failure->failureReason();
    const bool needsPassword = endsWith(reason, kNeedsAuthentication);
    if (listing || !(needsPassword || endsWith(reason, kNeedsKey)))
        return listing;
    // Only an opened folder has a listing to ask for again; any other failure is answered as
    // it is, since the transport has already spent the retries its rules allow.
    auto gate = gateFor(identifier, context);
    if (!(needsPassword ? gate->requestPassword() : gate->setupPassword())) {
        *failure = gate->error();
        return stubListing(identifier);
    }
    *failure = bv::Error();
    return api->listFolder(identifier, std::nullopt, context.get(), failure);
}

std::shared_ptr<BVFolderListItem> BVContentController::stubListing(
    const std::string& identifier) const {
    auto stub = std::make_shared<BVStubFolderListItem>();
    stub->identifier = identifier;
    stub->updateTime = static_cast<int64_t>(std::floor(now()));
    return stub;
}

void BVContentController::forgetChildIdentifiers(const BVFolderListItem& listing,
                                                 const std::string& path) {
    auto cache = this->cache();
    if (!cache)
        return;
    for (const auto& name : listing.itemNames())
        cache->purgeIdentifiersForcedAt(BVVolumePath::appending(path, name));
}

void BVContentController::addVirtualFolders(BVFolderListItem& listing) const {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%f", now());
    const std::pair<const char*, const char*> virtuals[] = {{kSharedFoldersName, kSharedFoldersId},
                                                            {kTrashName, kTrashId}};
    for (const auto& [name, id] : virtuals) {
        auto folder = BVContentItem::itemWithDict<BVFolderItem>(
            {{"Name", name}, {"FolderID", id}, {"DateModified", stamp}});
        if (!folder)
            continue;
        if (folder->dateModified == 0)
            folder->dateModified = std::floor(now());
        listing.insertItem(folder);
    }
}

void BVContentController::makeTrashNamesUnique(BVFolderListItem& listing) {
    std::unordered_set<std::string> given;
    auto unique = [&given](const std::string& name, double dateModified) {
        if (!given.count(name))
            return name;
        std::string candidate = bv::format("%@ (from %@)", name, shortDate(dateModified));
        for (int n = 2; given.count(candidate); ++n)
            candidate = bv::format("%@ (%d)", name, n);
        return candidate;
    };
    for (const auto& file : listing.files) {
        file->name = unique(file->name, file->dateModified);
        given.insert(file->name);
    }
    for (const auto& folder : listing.folders) {
        folder->name = unique(folder->name, folder->dateModified);
        given.insert(folder->name);
    }
    listing.invalidateNameIndex();
}

int BVContentController::updateFolderListItem(const std::shared_ptr<BVFolderListItem>& listing,
                                              bv::Error* error) {
    if (!listing)
        return -1;
    const std::string path = listing->path;
    auto identifier = requiredIdentifier(path, false, error);
    if (!identifier)
        return -1;
    auto context = contextForPath(path, error);
    if (!context)
        return -1;

    BVApiClient* api = client();
    bv::Error failure;
    auto fresh =
        api->listFolder(*identifier, std::to_string(listing->updateTime), context.get(), &failure);
    if (!fresh && endsWith(failure.failureReason(), kNeedsAuthentication)) {
        auto gate = gateFor(*identifier, context);
        if (gate->requestPassword()) {
            failure = bv::Error();
            fresh = api->listFolder(*identifier, std::nullopt, context.get(), &failure);
        } else {
            failure = gate->error();
            fresh = stubListing(*identifier);
        }
    }
    if (!fresh) {
        failWith(error, failure);
        return -1;
    }
    if (isStub(fresh) && failure)
        bv::setError(error, failure);

    fresh->identifier = *identifier;
    fresh->path = path;
    fresh->encrypted = listing->encrypted;
    auto cache = this->cache();
    if (responseTypeIsChanged(fresh->responseType)) {
        if (cache)
            cache->storeItem(fresh);
        return 0;
    }
    if (cache)
        cache->touchItemForcedWithKey(*identifier, BVFolderListItem::itemClass());
    return 1;
}

// MARK: items

BVItemRef BVContentController::itemInfoAt(const std::string& path, bool noCache, bv::Error* error) {
    bool isFile = true;
    bv::Error failure;
    auto identifier = identifierForFileAt(path, false, &failure);
    if (!identifier && failure) {
        bv::setError(error, failure);
        return nullptr;
    }
    if (!identifier) {
        isFile = false;
        identifier = requiredIdentifier(path, false, error);
        if (!identifier)
            return nullptr;
    }
    auto context = contextForPath(path, error);
    if (!context)
        return nullptr;
    const BVItemClass& cls = isFile ? BVFileInfoItem::itemClass() : BVFolderInfoItem::itemClass();
    BVItemRef item = checkItem(*identifier, cls, noCache, [&]() -> BVItemRef {
        if (isFile) {
            auto info = client()->fileInfo(*identifier, context.get(), &failure);
            if (info)
                info->path = path;
            return info;
        }
        auto info = client()->folderInfo(*identifier, context.get(), &failure);
        if (info)
            info->path = path;
        return info;
    });
    if (!item)
        failWith(error, failure);
    return item;
}

BVItemRef BVContentController::minimalItemInfoAt(const std::string& path, bv::Error* error) {
    if (isRootPath(path) || isPath(path, kTrashName)) {
        auto folder = std::make_shared<BVFolderItem>();
        folder->identifier = isRootPath(path) ? kRootId : kTrashId;
        folder->encrypted = 0;
        return folder;
    }
    bv::Error failure;
    if (auto parent = listFolderAt(BVVolumePath::parent(path), &failure)) {
        if (BVItemRef item = parent->itemNamed(BVVolumePath::lastComponent(path)))
            return item;
    } else if (failure && !isNotFound(failure)) {
        bv::setError(error, failure);
        return nullptr;
    }
    return itemInfoAt(path, error);
}

bool BVContentController::isFileEmptyAt(const std::string& path) {
    bv::Error ignored;
    auto file = as<BVFileItem>(minimalItemInfoAt(path, &ignored));
    return file && file->size == 0;
}

std::shared_ptr<BVFileThumbnailItem> BVContentController::fileThumbnailAt(const std::string& path,
                                                                          bv::Error* error) {
    auto identifier = requiredIdentifier(path, true, error);
    if (!identifier)
        return nullptr;
    bv::Error failure;
    BVItemRef item =
        checkItem(*identifier, BVFileThumbnailItem::itemClass(), false, [&]() -> BVItemRef {
            auto context = contextForPath(path, &failure);
            if (!context)
                return nullptr;
            auto thumb = client()->fileThumbnail(*identifier, context.get(), &failure);
            if (thumb)
                thumb->identifier = *identifier;
            return thumb;
        });
    if (!item)
        failWith(error, failure);
    return as<BVFileThumbnailItem>(item);
}

std::shared_ptr<BVSharingUsersItem> BVContentController::sharingUsersOfFolderAt(
    const std::string& path, bv::Error* error) {
    auto identifier = requiredIdentifier(path, false, error);
    if (!identifier)
        return nullptr;
    auto context = contextForPath(path, error);
    if (!context)
        return nullptr;
    bv::Error failure;
    auto users = client()->listSharingUsersOf(*identifier, context.get(), &failure);
    if (!users)
        failWith(error, failure);
    return users;
}

// MARK: account

std::shared_ptr<BVUserInfoItem> BVContentController::userInfoNoCache(bool noCache,
                                                                     bv::Error* error) {
    bv::Error failure;
    BVItemRef item = checkItem("default", BVUserInfoItem::itemClass(), noCache, [&]() -> BVItemRef {
        auto context = contextForPath("/", &failure);
        if (!context)
            return nullptr;
        const bool accountUser = context->session() && context->session()->isAccountUser;
        std::shared_ptr<BVUserInfoItem> info;
        bv::Error infoError, trashError;
        int64_t trashCount = 0;
        bool trashCounted = accountUser;
        {
            bv::OperationQueue queue("BVContentController.userInfo", 2);
            queue.addOperation(
                [&] { info = client()->userInfoWithContext(context.get(), &infoError); });
            if (!accountUser) {
                queue.addOperation([&] {
                    auto trash = listFolderAt(std::string("/") + kTrashName, &trashError);
                    trashCounted = trash != nullptr;
                    trashCount = trash ? static_cast<int64_t>(trash->itemNames().size()) : 0;
                });
            }
            queue.waitUntilAllOperationsAreFinished();
        }
        if (!info) {
            failure = infoError;
            return nullptr;
        }
        if (!trashCounted)
            failure = trashError;
        info->trashCount = trashCount;
        return info;
    });
    if (!item)
        failWith(error, failure);
    else if (failure)
        bv::setError(error, failure);  // the trash count is 0 for want of the trash
    return as<BVUserInfoItem>(item);
}

std::shared_ptr<BVUserLinksItem> BVContentController::userLinksWithError(bv::Error* error) {
    bv::Error failure;
    BVItemRef item = checkItem("default", BVUserLinksItem::itemClass(), [&]() -> BVItemRef {
        auto context = contextForPath("/", &failure);
        return context ? client()->userLinksWithContext(context.get(), &failure) : nullptr;
    });
    if (!item)
        failWith(error, failure);
    return as<BVUserLinksItem>(item);
}

std::shared_ptr<BVNotificationsItem> BVContentController::userNotificationsError(bv::Error* error) {
    bv::Error failure;
    auto context = contextForPath("/", &failure);
    auto notes = context ? client()->userNotificationsContext(context.get(), &failure) : nullptr;
    if (!notes)
        failWith(error, failure);
    return notes;
}

// MARK: path predicates

bool BVContentController::isTrashFolder(const std::string& path) {
    std::string_view parts[2];
    return BVVolumePath::leadingComponents(path, parts, 2) == 2 && parts[1] == kTrashName;
}

bool BVContentController::isSharedFolder(const std::string& path) {
    std::string_view parts[3];
    return BVVolumePath::leadingComponents(path, parts, 3) == 3 && parts[1] == kSharedFoldersName &&
           parts[2] != "/";
}

bool BVContentController::isPath(const std::string& path, const std::string& rootOf) {
    std::string_view parts[4];
    const size_t count = BVVolumePath::leadingComponents(path, parts, 4);
    if (count < 2 || count > 3 || parts[0] != "/" || parts[1] != rootOf)
        return false;
    return count == 2 || parts[2] == "/";
}

bool BVContentController::isSecureFolder(const std::string& path) {
    auto cache = this->cache();
    if (!cache)
        return false;
    std::string walked;
    for (const auto& component : BVVolumePath::components(path)) {
        if (!walked.empty()) {
            if (auto listing = cache->fetchFolderListAt(walked)) {
                auto folder = as<BVFolderItem>(listing->itemNamed(component));
                if (folder && folder->encrypted != 0)
                    return true;
            }
        }
        walked = component == "/" ? (walked.empty() ? "/" : walked)
                                  : BVVolumePath::appending(walked, component);
    }
    return false;
}
