#include "comms/UnixSocketPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace UnixSocketPath {

std::optional<sockaddr_un> address(const std::string& path, size_t limit) {
    if (path.empty() || path.size() + 1 > std::min(limit, kFullPathLimit) ||
        path.find('\0') != std::string::npos)
        return std::nullopt;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

std::optional<uid_t> peerUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof(cred))
        return std::nullopt;
    return cred.uid;
}

bool peerIsOurUser(int fd) {
    auto uid = peerUser(fd);
    return uid && *uid == geteuid();
}

Occupant occupantOf(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? Occupant::Nothing : Occupant::Unknown;
    if (st.st_uid != geteuid())
        return Occupant::Foreign;
    return S_ISSOCK(st.st_mode) ? Occupant::OurSocket : Occupant::OurOther;
}

std::string errorText(int err) {
    char buffer[256];
    const char* text = strerror_r(err, buffer, sizeof(buffer));
    return std::string(text) + " (" + std::to_string(err) + ")";
}

}  // namespace UnixSocketPath
