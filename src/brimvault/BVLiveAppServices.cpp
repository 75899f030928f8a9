#include "brimvault/BVLiveAppServices.h"

#include <chrono>
#include <filesystem>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVSynchedItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVDownloadController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Controllers/BVUploadController.h"
#include "BVApi/Controllers/BVUploadJournal.h"
#include "BVApi/Controllers/BVVolumeChangeHook.h"
#include "DriveFS/BVDriveFSDebugProxy.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/NotificationCenter.h"
#include "platform/ProcessRunner.h"
#include "platform/RunLoop.h"

BVLiveAppServices::BVLiveAppServices()
    : uploads_(std::make_unique<BVUploadsWindowDelegate>()),
      drive_(std::make_unique<BVDriveController>([this] {
          BVDriveFS::Options options;
          options.uploadsDelegate = uploads_.get();
          return std::make_unique<BVDriveFSDebugProxy>(std::move(options));
      })),
      sessionQueue_(std::make_unique<bv::OperationQueue>("BVSession", 1)) {}

BVLiveAppServices::~BVLiveAppServices() {
    stopSession();
}

void BVLiveAppServices::setDriveDelegate(std::shared_ptr<BVDriveControllerDelegate> delegate) {
    driveDelegate_ = delegate;
    drive_->setDelegate(std::move(delegate));
}

bool BVLiveAppServices::startUserSession(const std::shared_ptr<BVUserSessionItem>& session,
                                         bv::Error* error) {
    auto cacheRoot = Utilities::cacheRootPathFor(session.get());
    if (!cacheRoot) {
        *error = bv::Error::make(-1, "The cache folder of the user cannot be created.");
        return false;
    }
    BVCacheController::cacheControllerAt(*cacheRoot)->storeItem(session);
    // Reads of the volume stream through the download controller into the content cache.
    if (!downloaderInstalled_) {
        BVDownloadController::Options downloads;
        downloads.refresher = BVBackgroundFolderUpdateController::sharedController();
        BVDownloadController::installAsDownloader(downloads);
        downloaderInstalled_ = true;
    }
    {
        std::lock_guard<std::mutex> lock(mountSettledLock_);
        mountSettled_ = false;
    }
    // Files closed on the volume whose upload did not finish before the last run ended
    // are sent now, before the temporary store that may hold their copies is emptied.
    sessionQueue_->addOperation([this, root = *cacheRoot] { resumeUploads(root); });
    return true;
}

void BVLiveAppServices::resumeUploads(const std::string& cacheRoot) {
    bool made = false;
    auto makeStore = [this, &made] {
        if (made)
            return;
        made = true;
        bv::Error error;
        try {
            BVTmpController::initSharedController();
        } catch (const std::exception& e) {
            error = bv::Error::make(-1, e.what());
        }
        bv::RunLoop::main().perform([this, error] { storeMade(error); });
    };
    try {
        BVUploadJournal journal(cacheRoot);
        // The journal asks for the first controller only once every copy is its own.
        auto resumed = journal.resumeJournal(
            [this, &makeStore](const std::string& path) {
                makeStore();
                waitForMountSettled();
                return std::make_unique<BVUploadController>(path, uploads_.get(),
                                                            BVUploadController::Options{});
            },
            nullptr);
        makeStore();
        for (const auto& result : resumed) {
            BVLog("Resumed upload of %@: %@", result.entry.path,
                  result.uploaded ? std::string("uploaded") : result.error.description());
            if (result.uploaded)
                forgetStaleContent(result.entry.path);
        }
    } catch (const std::exception& e) {
        BVLog("The upload journal could not be resumed: %@", e.what());
        makeStore();
    }
}

void BVLiveAppServices::settleMount() {
    {
        std::lock_guard<std::mutex> lock(mountSettledLock_);
        mountSettled_ = true;
    }
    mountSettledChanged_.notify_all();
}

void BVLiveAppServices::waitForMountSettled() {
    // Bounded: a mount nobody asks for must not hold resumed uploads back for good.
    std::unique_lock<std::mutex> lock(mountSettledLock_);
    mountSettledChanged_.wait_for(lock, std::chrono::seconds(30), [this] { return mountSettled_; });
}

void BVLiveAppServices::forgetStaleContent(const std::string& path) {
    // The volume is in use while a resumed upload runs: a read meanwhile may have cached
    // what the service held before the upload's close.
    auto* content = BVContentController::sharedController();
    auto cache = BVCacheController::sharedController();
    if (!content || !cache)
        return;
    if (auto id = content->identifierForFileAt(path, true)) {
        cache->purgeBinaryDataForcedOf(*id);
        cache->purgeItemForcedWithKey(*id, BVBinaryDataDescriptorItem::itemClass());
    }
    auto parent = std::filesystem::path(path).parent_path().string();
    folderChanged(parent.empty() ? "/" : parent);
}

void BVLiveAppServices::storeMade(const bv::Error& error) {
    if (error) {
        mountWanted_ = false;
        settleMount();
        if (driveDelegate_)
            driveDelegate_->driveControllerDidFailedToMount(
                bv::Error::make(BVDriveController::kErrorMountFailed,
                                "The temporary store cannot be made: " + error.description()));
        return;
    }
    storeReady_ = true;
    mountIfWanted();
}

void BVLiveAppServices::mountIfWanted() {
    if (!storeReady_ || !mountWanted_)
        return;
    mountWanted_ = false;
    drive_->mountBVDrive();
    settleMount();
}

void BVLiveAppServices::mountDrive() {
    mountWanted_ = true;
    mountIfWanted();
}

bool BVLiveAppServices::unmountDrive() {
    if (mountWanted_) {
        // Nothing is mounted yet: the mount is called off and ends as an unmount would.
        mountWanted_ = false;
        settleMount();
        bv::RunLoop::main().perform([delegate = driveDelegate_] {
            if (delegate)
                delegate->driveControllerDidUnmountedDrive();
        });
        return true;
    }
    return drive_->unmount();
}

void BVLiveAppServices::stopSession() {
    settleMount();
    sessionQueue_->cancelAllOperations();
    cancelAllUploads();
    sessionQueue_->waitUntilAllOperationsAreFinished();
}

std::string BVLiveAppServices::mountPoint() const {
    return drive_->mountPoint();
}

bool BVLiveAppServices::logoutAtService(bv::Error* error) {
    return BVManageController::sharedController()->logoutWithError(error);
}

std::shared_ptr<BVUserInfoItem> BVLiveAppServices::userInfoNoCache(bv::Error* error) {
    return BVContentController::sharedController()->userInfoNoCache(true, error);
}

std::shared_ptr<BVUserLinksItem> BVLiveAppServices::userLinks(bv::Error* error) {
    return BVContentController::sharedController()->userLinksWithError(error);
}

std::shared_ptr<BVNotificationsItem> BVLiveAppServices::userNotifications(bv::Error* error) {
    return BVContentController::sharedController()->userNotificationsError(error);
}

bool BVLiveAppServices::syncSynchedItems(bv::Error* error) {
    return BVManageController::sharedController()->syncItem("default", BVSharedXAttrs::itemClass(),
                                                            ".MACOSX_XATTRS", error);
}

// The menu's changes bypass the volume's own operations; the hook tells the volume (and
// through it the kernel's caches) what they changed before the command is answered, so
// whoever looks next sees the change. The wait is bounded, as a file-system call the kernel's
// invalidation waits for may itself wait for this thread (a secure folder's password).
constexpr double kChangeAppliedWait = 2;
bool BVLiveAppServices::trashItemAt(const std::string& path, bv::Error* error) {
    const bool done = BVManageController::sharedController()->trashItemAt(path, error);
    if (done)
        BVVolumeChangeHook::notify({path, "/Trash"}, kChangeAppliedWait);
    return done;
}

bool BVLiveAppServices::restoreItemAt(const std::string& path, std::string* restoredPath,
                                      bv::Error* error) {
    std::string restored;
    const bool done = BVManageController::sharedController()->restoreItemAt(path, &restored, error);
    if (done)
        BVVolumeChangeHook::notify({path, restored}, kChangeAppliedWait);
    if (restoredPath)
        *restoredPath = restored;
    return done;
}

bool BVLiveAppServices::deleteItemAt(const std::string& path, bv::Error* error) {
    const bool done = BVManageController::sharedController()->deleteItemAt(path, error);
    if (done)
        BVVolumeChangeHook::notify({path}, kChangeAppliedWait);
    return done;
}

bool BVLiveAppServices::emptyTrash(bv::Error* error) {
    const bool done = BVManageController::sharedController()->emptyTrashWithError(error);
    if (done)
        BVVolumeChangeHook::notify({"/Trash"}, kChangeAppliedWait);
    return done;
}

void BVLiveAppServices::purgeTrashListing() {
    bv::Error error;
    if (!BVManageController::sharedController()->purgeCacheForFolderAt("/Trash", &error))
        BVLog("The cached trash listing stays: %@", error);
}

void BVLiveAppServices::forgetFolderListing(const std::string& path) {
    auto* content = BVContentController::sharedController();
    auto cache = BVCacheController::sharedController();
    auto* refresher = BVBackgroundFolderUpdateController::sharedController();
    if (!content || !cache || !refresher)
        return;
    auto id = content->identifierForFolderAt(path, true);
    if (!id)
        return;
    auto parent = content->identifierForFolderAt(BVVolumePath::parent(path), true);
    // A folder being refreshed at this moment gets its fresh listing anyway.
    if (!refresher->tryLockFor(path))
        return;
    cache->purgeCacheForFolder(*id, parent.value_or(""));
    refresher->unlockFor(path);
}

void BVLiveAppServices::forgetLocalCopies(const std::string&) {
    // The temporary store and the attribute store forget a path when the volume removes it;
    // an item trashed through the menu is gone from the listing the volume answers from.
}

void BVLiveAppServices::folderChanged(const std::string& relativePath) {
    Utilities::fireFinderSyncEventAtRelativePath(relativePath);
}

void BVLiveAppServices::cancelAllUploads() {
    bv::NotificationCenter::defaultCenter().post("CancelAllUploads");
}

bool BVLiveAppServices::spawnDesktopHelper(const std::vector<std::string>& argv) {
    auto pid = bv::ProcessRunner::spawn(argv, {-1, true});
    if (!pid)
        return false;
    std::lock_guard hold(helpersLock_);
    helpers_.push_back(*pid);
    if (!reapScheduled_) {
        reapScheduled_ = true;
        bv::RunLoop::main().perform(
            [this] { bv::RunLoop::main().addTimer(0.5, false, [this] { reapDesktopHelpers(); }); });
    }
    return true;
}

void BVLiveAppServices::reapDesktopHelpers() {
    std::lock_guard hold(helpersLock_);
    std::erase_if(helpers_, [](pid_t pid) { return bv::ProcessRunner::tryWait(pid).has_value(); });
    // A helper that outlives the daemon is reaped by the system once the daemon has ended.
    reapScheduled_ = !helpers_.empty();
    if (reapScheduled_)
        bv::RunLoop::main().addTimer(0.5, false, [this] { reapDesktopHelpers(); });
}

void BVLiveAppServices::openURL(const std::string& url) {
    if (!spawnDesktopHelper({"xdg-open", url}))
        BVLog("Cannot open %@: xdg-open is not available", url);
}

std::string BVLiveAppServices::relaunch() {
    // The new instance starts once this one has let go of its sockets (main's last step).
    relaunchWanted_ = true;
    return "restarting once this instance has ended";
}

void BVLiveAppServices::terminate(int status) {
    exitStatus_ = status;
    bv::RunLoop::main().stop();
}
