#include "DriveFS/BVKernelFolderNodes.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The volume's root folder; libfuse numbers it so.
constexpr uint64_t kRootNode = 1;
// A walk through the cache also fails while a name on the way is being renamed; a few tries
// tell that apart from a name that is not cached.
constexpr int kAttempts = 3;

}  // namespace

BVKernelFolderNodes::BVKernelFolderNodes(std::string mountPoint)
    : mountPoint_(std::move(mountPoint)) {}

std::optional<uint64_t> BVKernelFolderNodes::nodeOfFolder(const std::string& folder) const {
    if (folder == "/")
        return kRootNode;
    if (folder.empty() || folder[0] != '/' || mountPoint_.empty())
        return std::nullopt;
    const std::string local = mountPoint_ + folder;
    open_how how{};
    // O_PATH: the file system is never asked to open it, nor told of its close.
    how.flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_CACHED | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int fd =
            static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, local.c_str(), &how, sizeof how));
        if (fd < 0) {
            if (errno != EAGAIN)
                return std::nullopt;
            sched_yield();
            continue;
        }
        struct statx st {};
        // With use_ino off, libfuse reports its node numbers as the inode numbers.
        const int rc =
            ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &st);
        ::close(fd);
        if (rc != 0 || !S_ISDIR(st.stx_mode))
            return std::nullopt;
        return st.stx_ino;
    }
    return std::nullopt;
}
