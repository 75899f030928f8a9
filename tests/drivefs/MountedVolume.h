#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ReferenceServer.h"
#include "TempDir.h"

namespace bvtest {

// The volume of one account mounted in a temporary folder by a bvmount child process.
// Unmounts on every path: the destructor stops the child (SIGTERM, then SIGKILL) and, as a
// last resort, lazily unmounts the folder with fusermount3.
class MountedVolume {
  public:
    // Why the volume cannot be mounted on this machine (/dev/fuse missing or not usable),
    // or empty when it can.
    static std::string unavailableReason();
    // Whether the folder is a mount point now (/proc/mounts).
    static bool isMounted(const std::filesystem::path& folder);

    // Starts bvmount and waits until the volume is mounted. Throws std::runtime_error when
    // it does not mount within 30 seconds.
    // extraArguments go to bvmount as they are.
    MountedVolume(const ReferenceServer& server, const std::string& user,
                  const std::string& password, const std::vector<std::string>& extraArguments = {});
    ~MountedVolume();
    MountedVolume(const MountedVolume&) = delete;
    MountedVolume& operator=(const MountedVolume&) = delete;

    const std::filesystem::path& root() const { return mountPoint_; }
    std::filesystem::path operator/(const std::string& relative) const {
        return mountPoint_ / relative;
    }
    pid_t pid() const { return pid_; }
    // Kills the child with SIGKILL and waits for it (a crash of the daemon).
    void kill();
    // Has the daemon refresh the folders (volume paths) in the background as if their cached
    // listings were old, and waits until the refresh and the kernel invalidations it causes
    // are done. Throws std::runtime_error when that takes over 30 seconds.
    void refresh(const std::vector<std::string>& folders);
    // Asks the child to unmount and waits until it ended; false when it did not in time.
    bool stop();

  private:
    bool waitForExit(double seconds);

    TempDir dir_;
    std::filesystem::path mountPoint_;
    std::filesystem::path refreshRequests_;
    pid_t pid_ = -1;
};

}  // namespace bvtest
