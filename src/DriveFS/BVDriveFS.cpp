#include "DriveFS/BVDriveFS.h"

#include <cerrno>
#include <cstring>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVExtendedAttributesController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Controllers/BVSatellitesController.h"
#include "BVApi/Controllers/BVUploadJournal.h"
#include "BVApi/Networking/BVApiClient.h"
#include "DriveFS/BVDriveFSErrors.h"
#include "DriveFS/BVReadaheadReader.h"
#include "DriveFS/BVUploadStartCounter.h"
#include "DriveFS/BVUploadWriter.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/CallStack.h"
#include "platform/Format.h"

namespace {

template <class T>
std::shared_ptr<T> as(const std::shared_ptr<BVContentItem>& item) {
    return item && item->isKindOf(T::itemClass()) ? std::static_pointer_cast<T>(item) : nullptr;
}

// A name the service may answer but that no directory can hold.
bool isAcceptableEntryName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.size() <= BVDriveFSErrors::kMaxNameBytes && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bv::Error posix(int code) {
    return BVDriveFSErrors::posixError(code);
}

}  // namespace

BVDriveFS::BVDriveFS() : BVDriveFS(Options{}) {}

BVDriveFS::BVDriveFS(Options options) : options_(std::move(options)) {
    if (!options_.clock)
        options_.clock = bv::Clock::system();
    if (!options_.presentError)
        options_.presentError = [](const bv::Error& error, const std::string& name) {
            Utilities::presentError(error, name);
        };
    if (!options_.readers)
        options_.readers = [this](const std::string& path) {
            return std::make_unique<BVReadaheadReader>(path, &content(), options_.clock);
        };
    if (!options_.writers)
        options_.writers = [this](const std::string& path, BVWriteStart start) {
            return std::make_shared<BVUploadWriter>(path, start, uploadOptions(),
                                                    options_.uploadsDelegate);
        };
}

BVUploadController::Options BVDriveFS::uploadOptions() {
    BVUploadController::Options upload;
    upload.manage = &manage();
    upload.client = client();
    upload.content = &content();
    upload.cache = options_.cache;
    upload.tmp = tmp();
    upload.refresher = &refresher();
    upload.clock = options_.clock;
    std::lock_guard<std::mutex> guard(journalLock_);
    if (!options_.journal) {
        auto cache = options_.cache ? options_.cache : BVCacheController::sharedController();
        if (cache)
            options_.journal = std::make_shared<BVUploadJournal>(cache->rootPath());
    }
    upload.journal = options_.journal;
    return upload;
}

BVDriveFS::~BVDriveFS() {
    releaseOpenHandles();
}

BVApiClient* BVDriveFS::client() const {
    return options_.client ? options_.client : BVApiClient::sharedClient();
}
BVContentController& BVDriveFS::content() const {
    return options_.content ? *options_.content : *BVContentController::sharedController();
}
BVManageController& BVDriveFS::manage() const {
    return options_.manage ? *options_.manage : *BVManageController::sharedController();
}
std::shared_ptr<BVTmpController> BVDriveFS::tmp() const {
    return options_.tmp ? options_.tmp : BVTmpController::sharedController();
}
std::shared_ptr<BVExtendedAttributesController> BVDriveFS::xattrs() const {
    return options_.xattrs ? options_.xattrs : BVExtendedAttributesController::sharedController();
}
std::shared_ptr<BVSatellitesController> BVDriveFS::satellites() const {
    return options_.satellites ? options_.satellites : BVSatellitesController::sharedController();
}
BVBackgroundFolderUpdateController& BVDriveFS::refresher() const {
    return options_.refresher ? *options_.refresher
                              : *BVBackgroundFolderUpdateController::sharedController();
}
BVUploadStartCounter& BVDriveFS::uploadStartCounter() const {
    return options_.uploadStartCounter ? *options_.uploadStartCounter
                                       : BVUploadStartCounter::shared();
}

// MARK: errors

bool BVDriveFS::fillPosixError(bv::Error* error, bool display) {
    if (!error)
        return false;
    if (display && *error)
        displayBVError(*error);
    *error = posix(BVDriveFSErrors::posixCodeFor(*error));
    return false;
}

void BVDriveFS::displayBVError(const bv::Error& error) {
    auto shown = BVDriveFSErrors::displayFor(error);
    options_.presentError(shown.error, shown.name);
    BVLog("trace: %@-------------------------------------------\n", bv::currentCallStack());
}

// MARK: metadata

std::optional<BVDriveFSAttributes> BVDriveFS::rootAttributes(bv::Error* error) {
    bv::Error listError;
    auto listing = content().listFolderAt("/", &listError);
    BVDriveFSAttributes attributes;
    attributes.isDirectory = true;
    attributes.creationDate = attributes.modificationDate =
        listing ? static_cast<double>(listing->updateTime) : 0;
    (void)error;
    return attributes;
}

std::optional<BVDriveFSAttributes> BVDriveFS::tmpStoreAttributes(const std::string& path,
                                                                 bv::Error* error) {
    auto local = tmp()->attributesOfItemAt(path, error);
    if (!local)
        return std::nullopt;
    BVDriveFSAttributes attributes;
    attributes.isDirectory = local->type == BVTmpController::Attributes::Type::Directory;
    attributes.creationDate = local->creationDate.value_or(0);
    attributes.modificationDate = local->modificationDate.value_or(0);
    if (!attributes.isDirectory)
        attributes.size = local->size.value_or(0);
    attributes.posixPermissions = local->posixPermissions.value_or(0755);
    return attributes;
}

std::optional<std::shared_ptr<BVContentItem>> BVDriveFS::itemAt(const std::string& path,
                                                                bv::Error* error) {
    const std::string parent = BVVolumePath::parent(path);
    std::shared_ptr<BVFolderListItem> listing;
    if (content().isSecureFolder(path)) {
        auto cache = options_.cache ? options_.cache : BVCacheController::sharedController();
        listing = cache ? cache->fetchFolderListAt(parent) : nullptr;
    } else {
        listing = content().listFolderAt(parent, error);
    }
    if (!listing)
        return std::nullopt;
    const std::string name = BVVolumePath::lastComponent(path);
    if (!isAcceptableEntryName(name))
        return std::shared_ptr<BVContentItem>();
    return listing->itemNamed(name);
}

std::optional<BVDriveFSAttributes> BVDriveFS::attributesOfItemAtPath(const std::string& path,
                                                                     bv::Error* error) {
    if (path == "/")
        return rootAttributes(error);
    if (BVTmpController::shouldIncludePath(path))
        return tmpStoreAttributes(path, nullptr);
    auto found = itemAt(path, error);
    std::shared_ptr<BVContentItem> item = found ? *found : nullptr;
    if (!item) {
        if (tmp()->fileExistsAt(path))
            return tmpStoreAttributes(path, nullptr);
        return std::nullopt;
    }
    BVDriveFSAttributes attributes;
    if (auto file = as<BVFileItem>(item)) {
        attributes.creationDate = attributes.modificationDate = file->dateModified;
        attributes.size = static_cast<uint64_t>(std::max<int64_t>(file->size, 0));
        // While the file is written, its size is what will be uploaded.
        if (auto open = openWriterAt(path)) {
            std::lock_guard<std::mutex> guard(open->lock);
            if (auto staged = open->writer->size())
                attributes.size = staged;
        }
        return attributes;
    }
    if (auto folder = as<BVFolderItem>(item)) {
        attributes.isDirectory = true;
        attributes.creationDate = attributes.modificationDate = folder->dateModified;
        return attributes;
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> BVDriveFS::contentsOfDirectoryAtPath(
    const std::string& path, bv::Error* error) {
    auto& refresh = refresher();
    const bool locked = refresh.tryLockFor(path);
    auto listing = content().listFolderAt(path, error);
    refresh.updateFolderListing(listing);
    std::optional<std::vector<std::string>> names;
    if (listing && !listing->isKindOf(BVStubFolderListItem::itemClass())) {
        names.emplace();
        size_t refused = 0;
        for (auto& name : listing->itemNames()) {
            // The account's copies of the local-only side files (the synched attributes)
            // are not entries of the volume: their names belong to the temporary store.
            if (BVTmpController::shouldIncludePath("/" + name))
                continue;
            if (isAcceptableEntryName(name))
                names->push_back(std::move(name));
            else
                ++refused;
        }
        if (refused > 0)
            BVLog("Left %lu unusable names out of the listing of %@", refused, path);
    }
    if (locked)
        refresh.unlockFor(path);
    if (!names)
        fillPosixError(error);
    return names;
}

bool BVDriveFS::clearRenameDestination(const std::string& source, const std::string& destination,
                                       bv::Error* error) {
    bv::Error lookupError;
    auto found = itemAt(destination, &lookupError);
    if (!found || !*found || !as<BVFolderItem>(*found))
        return true;  // a file there is replaced by the move itself
    auto empty = manage().isFolderEmptyAt(destination, error);
    if (!empty)
        return fillPosixError(error);
    if (!*empty) {
        bv::setError(error, posix(ENOTEMPTY));
        return false;
    }
    auto sourceItem = itemAt(source, &lookupError);
    if (!sourceItem || !as<BVFolderItem>(*sourceItem)) {
        bv::setError(error, posix(EISDIR));
        return false;
    }
    if (!manage().deleteFolderAt(destination, error))
        return fillPosixError(error);
    return true;
}

bool BVDriveFS::moveItemAtPath(const std::string& source, const std::string& destination,
                               bv::Error* error) {
    xattrs()->moveExtendedAttributesFrom(source, destination);
    if (BVTmpController::shouldIncludePath(source) && tmp()->fileExistsAt(source)) {
        if (tmp()->moveFileAt(source, destination, error))
            return true;
        return fillPosixError(error, false);
    }
    if (!clearRenameDestination(source, destination, error))
        return false;
    if (!manage().moveItemAt(source, destination, error))
        return fillPosixError(error);
    bv::Error ignored;
    tmp()->moveFileAt(source, destination, &ignored);
    return true;
}

bool BVDriveFS::removeItemAtPath(const std::string& path, bv::Error* error) {
    auto keeper = xattrs();
    if (!BVTmpController::shouldIncludePath(path) && manage().deleteFileAt(path, error)) {
        keeper->removeExtendedAttributesAt(path);
        return true;
    }
    const bool removed = tmp()->removeDirectoryAt(path, error);
    keeper->removeExtendedAttributesAt(path);
    if (removed) {
        bv::setError(error, bv::Error());
        return true;
    }
    return fillPosixError(error);
}

bool BVDriveFS::removeDirectoryAtPath(const std::string& path, bv::Error* error) {
    bool removedAtService = false;
    if (!BVTmpController::shouldIncludePath(path)) {
        auto empty = manage().isFolderEmptyAt(path, error);
        if (empty && !*empty) {
            bv::setError(error, posix(ENOTEMPTY));
            return false;
        }
        removedAtService = empty && manage().deleteFolderAt(path, error);
    }
    bv::Error storeError;
    const bool removedLocally = tmp()->removeDirectoryAt(path, &storeError);
    xattrs()->removeExtendedAttributesRecursivelyAt(path);
    if (removedAtService || removedLocally) {
        bv::setError(error, bv::Error());
        return true;
    }
    return fillPosixError(error);
}

bool BVDriveFS::checkNewName(const std::string& path, const char* blankMessage, bv::Error* error) {
    for (const auto& component : BVVolumePath::components(path)) {
        if (!component.empty() && component[0] == ' ') {
            const std::string reason = bv::format(blankMessage, component);
            bv::Error inner("com.brimvault", BVDriveFSErrors::kErrorClientRefusal,
                            {{bv::kLocalizedDescriptionKey, reason}});
            bv::Error refusal(bv::kBVErrorDomain, BVDriveFSErrors::kErrorClientRefusal,
                              {{bv::kFailureReasonKey, reason}});
            refusal.setUnderlying(inner);
            displayBVError(refusal);
            bv::setError(error, refusal);
            return false;
        }
        if (component.size() > BVDriveFSErrors::kMaxNameBytes) {
            bv::setError(error, posix(ENAMETOOLONG));
            return false;
        }
    }
    return true;
}

bool BVDriveFS::createDirectoryAtPath(const std::string& path, bv::Error* error) {
    if (!checkNewName(path, kBlankFolderMessage, error))
        return false;
    const bool made = BVTmpController::shouldIncludePath(path)
                          ? tmp()->createDirectoryAt(path, error)
                          : manage().createFolderAt(BVVolumePath::parent(path),
                                                    BVVolumePath::lastComponent(path), error);
    return made || fillPosixError(error);
}

std::optional<BVDriveFS::FileSystemSize> BVDriveFS::attributesOfFileSystemForPath(
    const std::string&, bv::Error* error) {
    auto info = content().userInfoWithError(error);
    if (!info) {
        fillPosixError(error);
        return std::nullopt;
    }
    FileSystemSize answer;
    answer.size =
        info->isUnlimited() ? kUnlimitedSize : static_cast<uint64_t>(info->storageMax) * 1048576ULL;
    const auto used = static_cast<uint64_t>(std::max<int64_t>(info->storageUsed, 0));
    answer.freeSize = used < answer.size ? answer.size - used : 0;
    return answer;
}

bool BVDriveFS::setAttributes(const BVTmpController::Attributes& attributes,
                              const std::string& path) {
    auto store = tmp();
    if (store->fileExistsAt(path)) {
        bv::Error ignored;
        store->setAttributes(attributes, path, &ignored);
    }
    return true;
}

bool BVDriveFS::setSize(const std::string& path, BVDriveFSHandle* handle, uint64_t size,
                        bv::Error* error) {
    if (BVTmpController::shouldIncludePath(path) ||
        (handle && handle->kind == BVDriveFSHandle::Kind::TmpStore)) {
        BVTmpController::Attributes attributes;
        attributes.size = size;
        return tmp()->setAttributes(attributes, path, error) || fillPosixError(error, false);
    }
    if (auto open = openWriterAt(path)) {
        std::lock_guard<std::mutex> guard(open->lock);
        return open->writer->truncate(size, error) || fillPosixError(error);
    }
    // Not open for writing: the cut content is uploaded at once, as a writer would.
    auto open = attachWriter(path, size == 0 ? BVWriteStart::Truncated : BVWriteStart::Existing);
    bool done;
    {
        std::lock_guard<std::mutex> guard(open->lock);
        done = open->writer->open(error) && (size == 0 || open->writer->truncate(size, error)) &&
               open->writer->flush(error);
    }
    bool last = false;
    detachWriter(path, &last);
    if (last) {
        bv::Error closeError;
        open->writer->close(done ? error : &closeError);
    }
    return done || fillPosixError(error);
}

bool BVDriveFS::createSymbolicLinkAtPath(const std::string& path, const std::string&,
                                         bv::Error* error) {
    options_.presentError(bv::Error("NSError", 0, {{bv::kLocalizedDescriptionKey, kLinksMessage}}),
                          bv::format("Failed to upload %@", path));
    bv::setError(error, bv::Error());
    return false;
}

bool BVDriveFS::linkItemAtPath(const std::string&, const std::string&, bv::Error* error) {
    bv::setError(error, bv::Error());
    return false;
}

// MARK: extended attributes

std::vector<std::string> BVDriveFS::extendedAttributesOfItemAtPath(const std::string& path,
                                                                   bv::Error* error) {
    return xattrs()->extendedAttributesOfItemAtPath(path, error);
}
std::optional<bv::Data> BVDriveFS::valueOfExtendedAttribute(const std::string& name,
                                                            const std::string& path,
                                                            uint64_t position, bv::Error* error) {
    return xattrs()->valueOfExtendedAttribute(name, path, position, error);
}
bool BVDriveFS::setExtendedAttribute(const std::string& name, const std::string& path,
                                     const bv::Data& value, uint64_t position, int options,
                                     bv::Error* error) {
    return xattrs()->setExtendedAttribute(name, path, value, position, options, error);
}
bool BVDriveFS::removeExtendedAttribute(const std::string& name, const std::string& path,
                                        bv::Error* error) {
    return xattrs()->removeExtendedAttribute(name, path, error);
}
