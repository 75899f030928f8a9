#include "DriveFS/BVDriveController.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "DriveFS/BVDriveFSDebugProxy.h"
#include "DriveFS/BVFuseOperations.h"
#include "DriveFS/BVKernelCacheInvalidator.h"
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
    if (fuse_mount(session, mountPoint.c_str()) != 0) {
        fuse_destroy(session);
        deliverMountFailed(mountError("Could not mount the volume at " + mountPoint));
        return;
    }
    BVKernelCacheInvalidator::Kernel kernel;
    // An item the kernel never looked up, or already forgot, has nothing to drop.
    kernel.invalidateItem = [session](const std::string& path) {
        fuse_invalidate_path(session, path.c_str());
    };
    // Names are not cached by the kernel (see BVMountOptions), so there is no name to drop.
    // Finding a folder's node number would take a stat through this very mount, and a
    // daemon killed while such a stat waits on it never ends: its own request can no longer
    // be answered, and the kernel keeps the process until it is.
    kernel.invalidateEntry = [](const std::string&, const std::string&) {};
    auto invalidator = std::make_shared<BVKernelCacheInvalidator>(std::move(kernel));
    invalidator_.store(invalidator);
    BVVolumeChangeHook::install(invalidator);
    serving_ = true;
    loopThread_ = std::thread([this, session] { serve(session); });
    deliverDidMount();
}

void BVDriveController::serve(fuse* session) {
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, 16);
    fuse_loop_mt(session, config);
    fuse_loop_cfg_destroy(config);
    BVVolumeChangeHook::install(nullptr);
    if (auto invalidator = invalidator_.load())
        invalidator->stop();
    fuse_unmount(session);
    fuse_destroy(session);
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
