#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Error.h"

class BVDriveFSDebugProxy;
class BVFusermount;
class BVDriveFS;
class BVKernelCacheInvalidator;
struct fuse;

// Told what became of the volume; always called on the main run loop.
class BVDriveControllerDelegate {
  public:
    virtual ~BVDriveControllerDelegate() = default;
    virtual void driveControllerDidMountedDrive() = 0;
    virtual void driveControllerDidUnmountedDrive() = 0;
    virtual void driveControllerDidFailedToMount(const bv::Error& error) = 0;
};

// Mounts the signed-in account as the volume, serves it with libfuse's multithreaded loop on
// a thread of its own, and reports the mount, its end and a failed mount to the delegate.
//
// The loop thread is owned here: it ends when the volume is unmounted (by unmount(), by
// fusermount3 -u from outside, or by the kernel), and the destructor unmounts and joins it.
// The mount uses auto_unmount, so a killed process leaves no mount behind.
//
// While mounted, the mount's kernel-cache invalidator is the process's BVVolumeChangeHook.
// Shutdown order at the end of the loop: the hook is removed, the invalidator stopped, then
// the session unmounted and destroyed.
class BVDriveController {
  public:
    static constexpr const char* kBusyMessage =
        "Drive is busy, please quit all application using Brimvault Drive, and try again (%d)";
    // The mount-failed error: domain "__FILE__", this code, the reason in the failure reason.
    static constexpr int64_t kErrorMountFailed = -990;

    // Makes the operations object for a mount; BVDriveFSDebugProxy with the shared
    // collaborators by default.
    using FileSystemFactory = std::function<std::unique_ptr<BVDriveFS>()>;

    explicit BVDriveController(FileSystemFactory makeFileSystem = {});
    ~BVDriveController();
    BVDriveController(const BVDriveController&) = delete;
    BVDriveController& operator=(const BVDriveController&) = delete;

    void setDelegate(std::shared_ptr<BVDriveControllerDelegate> delegate);

    // Mounts at Utilities::driveRootPath(). Returns at once; one of the events follows.
    void mountBVDrive();
    // Mounts at the folder (created when missing; refused when it holds anything).
    void mountAt(const std::string& mountPoint);
    // Forced unmount: umount2(MNT_FORCE | MNT_DETACH) when permitted, else fusermount3 -u -z.
    // When both fail, the "Drive is busy" alert (through UserInterface) and false.
    bool unmount();
    // True when the mount directory is ours (so nothing needs repairing).
    bool checkPermissions() const;

    // Waits until the kernel has dropped its copies of every change reported so far.
    void waitUntilKernelCachesInvalidated();

    bool unmounted() const { return unmounted_; }
    const std::string& mountPoint() const { return mountPoint_; }

  private:
    void serve(fuse* session, BVFusermount& mount);
    void deliverMountFailed(const bv::Error& error);
    void deliverDidMount();
    void deliverDidUnmount();
    void joinLoop();
    bool forceUnmount(const std::string& path) const;

    FileSystemFactory makeFileSystem_;
    std::atomic<std::shared_ptr<BVDriveControllerDelegate>> delegate_;
    // Keeps two did-mount deliveries from overlapping; shared with deliveries still queued.
    std::shared_ptr<std::mutex> didMountDelegateLock_ = std::make_shared<std::mutex>();
    std::unique_ptr<BVDriveFS> loop_;  // the operations of the current mount
    std::atomic<std::shared_ptr<BVKernelCacheInvalidator>> invalidator_;
    int deviceHold_ = -1;  // see holdDeviceLast; closed after the session is destroyed
    std::thread loopThread_;
    std::string mountPoint_;
    std::atomic<bool> unmounted_{false};
    std::atomic<bool> serving_{false};
};
