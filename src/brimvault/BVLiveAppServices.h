#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BVApi/Controllers/BVUploadsWindowDelegate.h"
#include "DriveFS/BVDriveController.h"
#include "app/Shell/BVAppServices.h"
#include "platform/OperationQueue.h"

// The real system behind the application controller: the shared cache, content and manage
// controllers, the volume's drive controller (owned here), the desktop through xdg-open.
// terminate() stops the main run loop; the program then tidies up in its written order.
//
// The session's queue resumes the upload journal at sign-in, off the main thread: it takes
// every staged copy into the journal, then empties the temporary store (the volume mounts
// only after that, since it works in the store), then uploads the copies while the volume is
// in use. stopSession() cancels those uploads (their records stay for the next start) and
// waits for the queue; the program calls it after the unmount. Main-thread state:
// storeReady_, mountWanted_.
class BVLiveAppServices : public BVAppServices {
  public:
    BVLiveAppServices();
    ~BVLiveAppServices() override;

    // Where mount events go (the application controller, through an adapter).
    void setDriveDelegate(std::shared_ptr<BVDriveControllerDelegate> delegate);
    // Ends the session's work: waiting work is dropped, resumed uploads are cancelled (they
    // stay in the journal), and the call returns when the queue is idle.
    void stopSession();
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
    std::shared_ptr<BVNotificationsItem> userNotifications(bv::Error* error) override;
    bool trashItemAt(const std::string& path, bv::Error* error) override;
    bool restoreItemAt(const std::string& path, std::string* restoredPath,
                       bv::Error* error) override;
    bool deleteItemAt(const std::string& path, bv::Error* error) override;
    bool emptyTrash(bv::Error* error) override;
    void purgeTrashListing() override;
    // Drops the cached listing of a volume folder, so that the next look at it asks the
    // service (what a refresh the user asks for needs: others change the account too).
    void forgetFolderListing(const std::string& path);
    void forgetLocalCopies(const std::string& path) override;
    void folderChanged(const std::string& relativePath) override;
    void cancelAllUploads() override;
    void openURL(const std::string& url) override;
    std::string relaunch() override;
    void terminate(int status) override;

    int exitStatus() const { return exitStatus_; }
    bool relaunchWanted() const { return relaunchWanted_; }
    // Runs a program found on PATH with the arguments, not waiting for it; false when it
    // cannot be started. The child is reaped here, on the main run loop, once it ends.
    bool spawnDesktopHelper(const std::vector<std::string>& argv);

  private:
    // The resume of the journal, on the session's queue.
    void resumeUploads(const std::string& cacheRoot);
    // Drops the cached content of a file whose resumed upload the service confirmed.
    void forgetStaleContent(const std::string& path);
    // The store is emptied and ready (or could not be made, error set): on the main thread.
    void storeMade(const bv::Error& error);
    void mountIfWanted();
    // Reaps the desktop helpers that ended; looks again later while any runs.
    void reapDesktopHelpers();
    void settleMount();
    void waitForMountSettled();

    // Declared before the drive: the volume's upload controllers report to it until the
    // last of them is gone.
    std::unique_ptr<BVUploadsWindowDelegate> uploads_;
    std::unique_ptr<BVDriveController> drive_;
    int exitStatus_ = 0;
    bool relaunchWanted_ = false;
    bool downloaderInstalled_ = false;  // installed once per process, at the first sign-in
    std::shared_ptr<BVDriveControllerDelegate> driveDelegate_;
    std::mutex helpersLock_;      // guards helpers_ and reapScheduled_
    std::vector<pid_t> helpers_;  // xdg-open and the like, until they end
    bool reapScheduled_ = false;
    bool storeReady_ = false;   // the temporary store is made (main thread)
    bool mountWanted_ = false;  // the mount waits for the store (main thread)
    // Resumed uploads wait until the mount attempt is over: libfuse forks to mount, and a
    // thread busy in the allocator at that moment can leave the child hung before exec.
    std::mutex mountSettledLock_;  // guards mountSettled_
    std::condition_variable mountSettledChanged_;
    bool mountSettled_ = false;
    // Declared last, stopped first: its work uses everything above.
    std::unique_ptr<bv::OperationQueue> sessionQueue_;
};
