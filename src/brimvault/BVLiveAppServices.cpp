#include "brimvault/BVLiveAppServices.h"

#include <spawn.h>
#include <sys/wait.h>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVSynchedItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVDownloadController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Controllers/BVUploadController.h"
#include "BVApi/Controllers/BVUploadJournal.h"
#include "DriveFS/BVDriveFSDebugProxy.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

extern char** environ;

BVLiveAppServices::BVLiveAppServices()
    : uploads_(std::make_unique<BVUploadsWindowDelegate>()),
      drive_(std::make_unique<BVDriveController>([this] {
          BVDriveFS::Options options;
          options.uploadsDelegate = uploads_.get();
          return std::make_unique<BVDriveFSDebugProxy>(std::move(options));
      })) {}

BVLiveAppServices::~BVLiveAppServices() = default;

void BVLiveAppServices::setDriveDelegate(std::shared_ptr<BVDriveControllerDelegate> delegate) {
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
    // Files closed on the volume whose upload did not finish before the last run ended
    // are sent now, before the temporary store that may hold their copies is emptied.
    BVUploadJournal journal(*cacheRoot);
    for (const auto& resumed : journal.resumeJournal(
             [this](const std::string& path) {
                 return std::make_unique<BVUploadController>(path, uploads_.get(),
                                                             BVUploadController::Options{});
             },
             nullptr))
        BVLog("Resumed upload of %@: %@", resumed.entry.path,
              resumed.uploaded ? std::string("uploaded") : resumed.error.description());
    BVTmpController::initSharedController();
    return true;
}

void BVLiveAppServices::mountDrive() {
    drive_->mountBVDrive();
}

bool BVLiveAppServices::unmountDrive() {
    return drive_->unmount();
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

bool BVLiveAppServices::syncSynchedItems(bv::Error* error) {
    return BVManageController::sharedController()->syncItem("default", BVSharedXAttrs::itemClass(),
                                                            ".MACOSX_XATTRS", error);
}

bool BVLiveAppServices::trashItemAt(const std::string& path, bv::Error* error) {
    return BVManageController::sharedController()->trashItemAt(path, error);
}

bool BVLiveAppServices::restoreItemAt(const std::string& path, std::string* restoredPath,
                                      bv::Error* error) {
    return BVManageController::sharedController()->restoreItemAt(path, restoredPath, error);
}

bool BVLiveAppServices::deleteItemAt(const std::string& path, bv::Error* error) {
    return BVManageController::sharedController()->deleteItemAt(path, error);
}

bool BVLiveAppServices::emptyTrash(bv::Error* error) {
    return BVManageController::sharedController()->emptyTrashWithError(error);
}

void BVLiveAppServices::purgeTrashListing() {
    bv::Error error;
    if (!BVManageController::sharedController()->purgeCacheForFolderAt("/Trash", &error))
        BVLog("The cached trash listing stays: %@", error);
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

bool BVLiveAppServices::spawnDetached(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return false;
    // Reaped by a thread of its own so that no zombie stays; the program is short-lived.
    std::thread([pid] {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
    return true;
}

void BVLiveAppServices::openURL(const std::string& url) {
    if (!spawnDetached({"xdg-open", url}))
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
