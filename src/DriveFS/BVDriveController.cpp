#include "DriveFS/BVDriveController.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "DriveFS/BVDriveFSDebugProxy.h"
#include "DriveFS/BVFuseOperations.h"
#include "DriveFS/BVFusermount.h"
#include "DriveFS/BVKernelCacheInvalidator.h"
#include "DriveFS/BVKernelFolderNodes.h"
#include "DriveFS/BVMountOptions.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/Format.h"
#include "platform/ProcessRunner.h"
#include "platform/RunLoop.h"
#include "platform/UserInterface.h"

// After BVMountOptions.h, which chooses the libfuse API version.
#include <fuse_lowlevel.h>

namespace {

bv::Error mountError(const std::string& reason) {
    return bv::Error::make(BVDriveController::kErrorMountFailed, reason);
}

// Runs the program with its arguments and answers whether it exited with 0. Spawned, not
// forked: a forked child of this many-threaded process can hang before its exec on a lock
// another thread held (the sanitizers' allocator did).
bool runProgram(const std::vector<std::string>& arguments) {
    return bv::ProcessRunner::run(arguments, {-1, true}) == 0;
}

// The mount point as a usable empty folder, or the reason it is not.
std::optional<std::string> refuseMountPoint(const std::string& mountPoint) {
    std::error_code code;
    if (mountPoint.empty())
        return "No mount point (no signed-in session)";
    std::filesystem::create_directories(mountPoint, code);
    if (!std::filesystem::is_directory(mountPoint, code))
        return "The mount point " + mountPoint + " is not a folder";
    if (!std::filesystem::is_empty(mountPoint, code) || code)
        return "The mount point " + mountPoint + " is not empty";
    return std::nullopt;
}

// A second descriptor of the mount's FUSE device, numbered above every other, so that a
// killed process releases the device before fusermount3's watch socket. The kernel releases
// a dying process's files in the reverse order of their numbers. Were the socket released
// first, fusermount3 would look at the mount while the device still lived, its open would end
// with ECONNABORTED rather than ENOTCONN, and it would leave the dead mount in place.
int holdDeviceLast(int device) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur > 64) {
        const int top = static_cast<int>(std::min<rlim_t>(limit.rlim_cur - 1, 65535));
        const int held = ::fcntl(device, F_DUPFD_CLOEXEC, top - 32);
        if (held >= 0)
            return held;
    }
    return ::fcntl(device, F_DUPFD_CLOEXEC, device + 64);
}

}  // namespace

BVDriveController::BVDriveController(FileSystemFactory makeFileSystem)
    : makeFileSystem_(std::move(makeFileSystem)) {
    if (!makeFileSystem_)
        makeFileSystem_ = [] { return std::make_unique<BVDriveFSDebugProxy>(); };
}

BVDriveController::~BVDriveController() {
    if (serving_)
        forceUnmount(mountPoint_);
    joinLoop();
}

void BVDriveController::setDelegate(std::shared_ptr<BVDriveControllerDelegate> delegate) {
    delegate_.store(std::move(delegate));
}

void BVDriveController::mountBVDrive() {
    mountAt(Utilities::driveRootPath());
}

void BVDriveController::joinLoop() {
    if (loopThread_.joinable())
        loopThread_.join();
}

void BVDriveController::mountAt(const std::string& mountPoint) {
    joinLoop();
    mountPoint_ = mountPoint;
    unmounted_ = false;
    if (auto refusal = refuseMountPoint(mountPoint)) {
        deliverMountFailed(mountError(*refusal));
        return;
    }
    loop_ = makeFileSystem_();
    auto arguments = BVMountOptions::arguments();
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fuse* session =
        fuse_new(&args, &BVFuseOperations::table(), sizeof(fuse_operations), loop_.get());
    fuse_opt_free_args(&args);
    if (!session) {
        deliverMountFailed(mountError("The file-system layer refused the mount options"));
        return;
    }
    std::string refusal;
    auto mounted =
        BVFusermount::mount(mountPoint, BVMountOptions::fusermountOptionText(), &refusal);
    if (!mounted) {
        fuse_destroy(session);
        deliverMountFailed(
            mountError("Could not mount the volume at " + mountPoint + ": " + refusal));
        return;
    }
    if (fuse_mount(session, mounted->deviceMountPoint().c_str()) != 0) {
        fuse_destroy(session);
        forceUnmount(mountPoint);
        deliverMountFailed(mountError("Could not mount the volume at " + mountPoint));
        return;
    }
    (void)mounted->takeDevice();  // the session's now
    deviceHold_ = holdDeviceLast(fuse_session_fd(fuse_get_session(session)));
    BVKernelCacheInvalidator::Kernel kernel;
    // An item the kernel never looked up, or already forgot, has nothing to drop.
    kernel.invalidateItem = [session](const std::string& path) {
        fuse_invalidate_path(session, path.c_str());
    };
    // The folder's node number comes from the kernel's caches alone (BVKernelFolderNodes),
    // never from a stat through this mount: a daemon killed while its own request waits on it
    // never ends. A folder the kernel holds no name for holds no cached names to drop.
    kernel.invalidateEntry = [session, nodes = BVKernelFolderNodes(mountPoint)](
                                 const std::string& folder, const std::string& name) {
        if (auto node = nodes.nodeOfFolder(folder))
            fuse_lowlevel_notify_inval_entry(fuse_get_session(session), *node, name.c_str(),
                                             name.size());
    };
    // loop_ outlives the invalidator's thread: serve() stops it before the next mount.
    auto invalidator =
        std::make_shared<BVKernelCacheInvalidator>(std::move(kernel), &loop_->folderRequests());
    invalidator_.store(invalidator);
    BVVolumeChangeHook::install(invalidator);
    serving_ = true;
    loopThread_ = std::thread(
        [this, session, mount = std::move(*mounted)]() mutable { serve(session, mount); });
    deliverDidMount();
}

void BVDriveController::serve(fuse* session, BVFusermount& mount) {
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, 16);
    fuse_loop_mt(session, config);
    fuse_loop_cfg_destroy(config);
    BVVolumeChangeHook::install(nullptr);
    if (auto invalidator = invalidator_.load())
        invalidator->stop();
    // A loop that ended while the volume is still mounted (a dead connection, or the session
    // told to exit) leaves the unmount to be done here: libfuse, handed the device, unmounts
    // nothing itself.
    if (BVFusermount::isMounted(mountPoint_))
        forceUnmount(mountPoint_);
    fuse_destroy(session);
    if (deviceHold_ >= 0)
        ::close(deviceHold_);
    deviceHold_ = -1;
    // Last, once the device is closed: the watcher sees its socket close and ends.
    mount.release(!BVFusermount::isMounted(mountPoint_));
    serving_ = false;
    deliverDidUnmount();
}

void BVDriveController::waitUntilKernelCachesInvalidated() {
    if (auto invalidator = invalidator_.load())
        invalidator->waitUntilIdle();
}

bool BVDriveController::forceUnmount(const std::string& path) const {
    if (umount2(path.c_str(), MNT_FORCE | MNT_DETACH) == 0)
        return true;
    return runProgram({"fusermount3", "-u", "-z", path});
}

bool BVDriveController::unmount() {
    if (forceUnmount(mountPoint_))
        return true;
    auto ui = bv::UserInterface::current();
    if (ui)
        ui->alert(bv::format(kBusyMessage, -1), "", {"OK"});
    return false;
}

bool BVDriveController::checkPermissions() const {
    struct stat st {};
    const std::string folder = Utilities::driveMountDirectory();
    if (::stat(folder.c_str(), &st) == 0 && st.st_uid == geteuid())
        return true;
    BVLog("%@ is not ours; the volume cannot be mounted there", folder);
    return false;
}

void BVDriveController::deliverMountFailed(const bv::Error& error) {
    BVLog("Mount failed: %@", error.description());
    bv::RunLoop::main().perform([delegate = delegate_.load(), error] {
        if (delegate)
            delegate->driveControllerDidFailedToMount(error);
    });
}

void BVDriveController::deliverDidMount() {
    bv::RunLoop::main().perform([delegate = delegate_.load(), lock = didMountDelegateLock_] {
        std::unique_lock<std::mutex> delivery(*lock, std::try_to_lock);
        if (!delivery.owns_lock())
            return;
        if (delegate)
            delegate->driveControllerDidMountedDrive();
    });
}

void BVDriveController::deliverDidUnmount() {
    unmounted_ = true;
    bv::RunLoop::main().perform([delegate = delegate_.load()] {
        if (delegate)
            delegate->driveControllerDidUnmountedDrive();
    });
}
