#include "DriveFS/BVFusermount.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/ProcessRunner.h"

namespace {

// Only where root installs it: nothing runs from a folder another user may change.
std::optional<std::string> fusermountProgram() {
    for (const char* path : {"/usr/bin/fusermount3", "/bin/fusermount3"})
        if (::access(path, X_OK) == 0)
            return std::string(path);
    return std::nullopt;
}

// The descriptor fusermount3 sends with one byte of data; -1 at its end of the socket
// (it refused and exited) or after the wait.
int receiveDevice(int socket, int waitSeconds, bool* timedOut) {
    pollfd ready{socket, POLLIN, 0};
    int polled;
    while ((polled = ::poll(&ready, 1, waitSeconds * 1000)) < 0 && errno == EINTR) {
    }
    if (polled == 0) {
        *timedOut = true;
        return -1;
    }
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    while ((received = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (received <= 0)
        return -1;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
            header->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int device = -1;
            std::memcpy(&device, CMSG_DATA(header), sizeof device);
            return device;
        }
    }
    return -1;
}

// The watcher ends soon after its socket closes; one that does not is not waited for.
void reap(pid_t child) {
    for (int i = 0; i < 50; ++i) {
        if (bv::ProcessRunner::tryWait(child))
            return;
        ::usleep(20000);
    }
}

// A mount point as /proc/self/mounts writes it: space, tab, newline and backslash in octal.
std::string unescapeMountField(const std::string& field) {
    auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
            isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
            continue;
        }
        text += field[i];
    }
    return text;
}

}  // namespace

bool BVFusermount::isMounted(const std::string& path) {
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string device, point;
        if (fields >> device >> point && unescapeMountField(point) == path)
            return true;
    }
    return false;
}

std::optional<BVFusermount> BVFusermount::mount(const std::string& mountPoint,
                                                const std::string& options, std::string* reason) {
    auto program = fusermountProgram();
    if (!program) {
        *reason = "fusermount3 is not installed (package fuse3)";
        return std::nullopt;
    }
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        *reason = std::string("no socket for fusermount3: ") + std::strerror(errno);
        return std::nullopt;
    }
    bv::ProcessRunner::Options spawnOptions;
    spawnOptions.environment = {"_FUSE_COMMFD=" + std::to_string(sockets[0])};
    spawnOptions.inheritedFds = {sockets[0]};
    auto child =
        bv::ProcessRunner::spawn({*program, "-o", options, "--", mountPoint}, spawnOptions);
    ::close(sockets[0]);
    if (!child) {
        ::close(sockets[1]);
        *reason = *program + " could not be started";
        return std::nullopt;
    }
    bool timedOut = false;
    const int device = receiveDevice(sockets[1], kMountWaitSeconds, &timedOut);
    if (device < 0) {
        if (timedOut)
            ::kill(*child, SIGKILL);
        ::close(sockets[1]);
        const int status = bv::ProcessRunner::wait(*child);
        *reason =
            timedOut
                ? "fusermount3 did not answer within " + std::to_string(kMountWaitSeconds) + " s"
                : "fusermount3 refused the mount (exit status " + std::to_string(status) + ")";
        return std::nullopt;
    }
    return BVFusermount(device, sockets[1], *child);
}

BVFusermount::BVFusermount(int device, int watch, pid_t watcher)
    : device_(device), watch_(watch), watcher_(watcher) {}

BVFusermount::BVFusermount(BVFusermount&& other) noexcept
    : device_(std::exchange(other.device_, -1)),
      watch_(std::exchange(other.watch_, -1)),
      watcher_(std::exchange(other.watcher_, -1)) {}

BVFusermount& BVFusermount::operator=(BVFusermount&& other) noexcept {
    if (this != &other) {
        release();
        device_ = std::exchange(other.device_, -1);
        watch_ = std::exchange(other.watch_, -1);
        watcher_ = std::exchange(other.watcher_, -1);
    }
    return *this;
}

BVFusermount::~BVFusermount() {
    release();
}

std::string BVFusermount::deviceMountPoint() const {
    return "/dev/fd/" + std::to_string(device_);
}

int BVFusermount::takeDevice() {
    return std::exchange(device_, -1);
}

void BVFusermount::release(bool mountGone) {
    // The device before the socket: the watcher, seeing its socket close, unmounts a mount
    // whose device is gone.
    if (device_ >= 0)
        ::close(std::exchange(device_, -1));
    if (mountGone && watcher_ > 0)
        ::kill(watcher_, SIGKILL);
    if (watch_ >= 0)
        ::close(std::exchange(watch_, -1));
    if (watcher_ > 0)
        reap(std::exchange(watcher_, -1));
}
