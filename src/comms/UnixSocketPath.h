#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <optional>
#include <string>

// Helpers shared by the command sockets and the extension ports: socket addresses, the
// same-user checks and the handling of what lies at a socket's path.
namespace UnixSocketPath {

// The command sockets keep to 104 bytes with the terminator, the limit every platform of
// the suite honours; the extension ports, which exist only here, may use the whole field.
constexpr size_t kPortablePathLimit = 104;
constexpr size_t kFullPathLimit = sizeof(sockaddr_un::sun_path);

// The address of path; nothing when the path with its terminator is longer than limit.
std::optional<sockaddr_un> address(const std::string& path, size_t limit = kPortablePathLimit);

// The user of the process at the other end of a connected stream socket; nothing when the
// kernel does not tell.
std::optional<uid_t> peerUser(int fd);
bool peerIsOurUser(int fd);

enum class Occupant { Nothing, OurSocket, OurOther, Foreign, Unknown };
// What lies at path, looked at without following a link: a socket of ours, something else
// of ours (a link counts as that), or anything of another user.
Occupant occupantOf(const std::string& path);

// "%s (%d)" of errno value err.
std::string errorText(int err);

}  // namespace UnixSocketPath
