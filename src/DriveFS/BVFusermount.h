#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

// A mount made by fusermount3 with auto_unmount, started without forking this process.
//
// Asked for auto_unmount, libfuse starts fusermount3 itself by fork(), and its child runs
// setenv() before the exec. In this many-threaded process a child forked while another
// thread held the allocator's lock waits for it for good (the sanitizers' allocator did),
// and the mount never came. fusermount3 is spawned here instead, the FUSE device it hands
// over is given to libfuse as "/dev/fd/N", and libfuse then mounts nothing itself.
//
// fusermount3 stays as the watcher of the socket held here: when this process ends in any
// way the socket closes and the watcher unmounts whatever is left. Ownership: the device
// passes to libfuse's session with takeDevice(); the socket and the watcher are this
// object's until it is destroyed, which closes the socket and reaps the watcher.
class BVFusermount {
  public:
    // The longest wait for fusermount3 to hand the device over.
    static constexpr int kMountWaitSeconds = 60;

    // Mounts at the folder with the options ("-o" text of fusermount3). Nothing, with the
    // reason, when fusermount3 is missing, refused, or did not answer in time.
    static std::optional<BVFusermount> mount(const std::string& mountPoint,
                                             const std::string& options, std::string* reason);

    BVFusermount(BVFusermount&& other) noexcept;
    BVFusermount& operator=(BVFusermount&& other) noexcept;
    BVFusermount(const BVFusermount&) = delete;
    BVFusermount& operator=(const BVFusermount&) = delete;
    ~BVFusermount();

    // "/dev/fd/N" for the device, the mount point libfuse takes an open device as.
    std::string deviceMountPoint() const;
    // The device, now the caller's to close (libfuse's session closes it when destroyed).
    int takeDevice();
    // Closes the device (unless taken) and the socket, and reaps the watcher. A watcher of a
    // mount known to be gone is ended first, as it would only report "not mounted".
    void release(bool mountGone = false);

    // True while the folder is a mount point in this process's view (/proc/self/mounts).
    static bool isMounted(const std::string& path);

  private:
    BVFusermount(int device, int watch, pid_t watcher);

    int device_ = -1;
    int watch_ = -1;
    pid_t watcher_ = -1;
};
