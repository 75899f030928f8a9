#pragma once

#include <memory>
#include <string>

#include "BVApi/Controllers/BVUploadsWindowDelegate.h"
#include "DriveFS/BVDriveController.h"
#include "app/Shell/BVAppServices.h"

// The real system behind the application controller: the shared cache, content and manage
// controllers, the volume's drive controller (owned here), the desktop through xdg-open.
// terminate() stops the main run loop; the program then tidies up in its written order.
class BVLiveAppServices : public BVAppServices {
  public:
    BVLiveAppServices();
    ~BVLiveAppServices() override;

    // Where mount events go (the application controller, through an adapter).
    void setDriveDelegate(std::shared_ptr<BVDriveControllerDelegate> delegate);
    BVDriveController& driveController() { return *drive_; }
    // The uploads window: a record per running upload of the volume and of the journal.
    const BVUploadsWindowDelegate& uploads() const { return *uploads_; }

    bool startUserSession(const std::shared_ptr<BVUserSessionItem>& session,
                          bv::Error* error) override;
    void mountDrive() override;
    bool unmountDrive() override;
    std::string mountPoint() const override;
    bool logoutAtService(bv::Error* error) override;
    std::shared_ptr<BVUserInfoItem> userInfoNoCache(bv::Error* error) override;
    std::shared_ptr<BVUserLinksItem> userLinks(bv::Error* error) override;
    bool syncSynchedItems(bv::Error* error) override;
    bool trashItemAt(const std::string& path, bv::Error* error) override;
    bool restoreItemAt(const std::string& path, std::string* restoredPath,
                       bv::Error* error) override;
    bool deleteItemAt(const std::string& path, bv::Error* error) override;
    bool emptyTrash(bv::Error* error) override;
    void purgeTrashListing() override;
    void forgetLocalCopies(const std::string& path) override;
    void folderChanged(const std::string& relativePath) override;
    void cancelAllUploads() override;
    void openURL(const std::string& url) override;
    std::string relaunch() override;
    void terminate(int status) override;

    int exitStatus() const { return exitStatus_; }
    bool relaunchWanted() const { return relaunchWanted_; }
    // Runs a program found on PATH with the arguments, not waiting for it; false when it
    // cannot be started.
    static bool spawnDetached(const std::vector<std::string>& argv);

  private:
    // Declared before the drive: the volume's upload controllers report to it until the
    // last of them is gone.
    std::unique_ptr<BVUploadsWindowDelegate> uploads_;
    std::unique_ptr<BVDriveController> drive_;
    int exitStatus_ = 0;
    bool relaunchWanted_ = false;
    bool downloaderInstalled_ = false;  // installed once per process, at the first sign-in
};
