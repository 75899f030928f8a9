#include "comms/BVExtensionPort.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "app/Logging/BVLogging.h"
#include "comms/UnixSocketPath.h"
#include "platform/XdgPaths.h"

namespace {

bool answers(const sockaddr_un& addr) {
    bv::UniqueFd probe(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return probe &&
           connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
}

}  // namespace

std::optional<std::filesystem::path> BVExtensionPort::pathOf(const std::string& name) {
    if (!BVExtensionMessage::isValidPortName(name))
        return std::nullopt;
    auto dir = bv::XdgPaths::runtimeDir();
    if (dir.empty())
        return std::nullopt;
    return dir / name;
}

bool BVExtensionPort::exists(const std::string& name) {
    auto path = pathOf(name);
    if (!path || UnixSocketPath::occupantOf(*path) != UnixSocketPath::Occupant::OurSocket)
        return false;
    auto addr = UnixSocketPath::address(*path, UnixSocketPath::kFullPathLimit);
    return addr && answers(*addr);
}

std::unique_ptr<BVExtensionPort> BVExtensionPort::open(const std::string& name, Receiver receiver) {
    auto path = pathOf(name);
    auto addr =
        path ? UnixSocketPath::address(*path, UnixSocketPath::kFullPathLimit) : std::nullopt;
    if (!addr) {
        BVLog("port %@ not registered: no runtime folder or the name does not fit", name);
        return nullptr;
    }
    switch (UnixSocketPath::occupantOf(*path)) {
        case UnixSocketPath::Occupant::Nothing:
            break;
        case UnixSocketPath::Occupant::OurSocket:
            if (answers(*addr)) {
                BVLog("port %@ not registered: a live port holds the name", name);
                return nullptr;
            }
            unlink(path->c_str());
            break;
        default:
            BVLog("port %@ not registered: %@ is not a socket of our own user", name,
                  path->string());
            return nullptr;
    }
    bv::UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int one = 1;
    if (!fd || setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &one, sizeof(one)) != 0 ||
        bind(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof(*addr)) != 0) {
        BVLog("port %@ not registered: %@", name, UnixSocketPath::errorText(errno));
        return nullptr;
    }
    chmod(path->c_str(), 0600);
    return std::unique_ptr<BVExtensionPort>(
        new BVExtensionPort(name, *path, std::move(fd), std::move(receiver)));
}

BVExtensionPort::BVExtensionPort(std::string name, std::filesystem::path path, bv::UniqueFd fd,
                                 Receiver receiver)
    : name_(std::move(name)),
      path_(std::move(path)),
      fd_(std::move(fd)),
      receiver_(std::move(receiver)) {
    runLoop_ = &bv::RunLoop::current();
    source_ = runLoop_->addFdSource(fd_.get(), POLLIN, [this](short) { handleReadable(); });
}

BVExtensionPort::~BVExtensionPort() {
    runLoop_->removeFdSource(source_);
    if (UnixSocketPath::occupantOf(path_) == UnixSocketPath::Occupant::OurSocket)
        unlink(path_.c_str());
}

BVExtensionPort::SendResult BVExtensionPort::send(const std::string& destination,
                                                  const bv::Data& datagram) const {
    auto path = pathOf(destination);
    auto addr =
        path ? UnixSocketPath::address(*path, UnixSocketPath::kFullPathLimit) : std::nullopt;
    if (!addr || UnixSocketPath::occupantOf(*path) != UnixSocketPath::Occupant::OurSocket)
        return SendResult::Dead;
    ssize_t n = sendto(fd_.get(), datagram.bytes(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&*addr), sizeof(*addr));
    if (n >= 0)
        return SendResult::Sent;
    return errno == ECONNREFUSED || errno == ENOENT ? SendResult::Dead : SendResult::Busy;
}

void BVExtensionPort::handleReadable() {
    // One datagram per wake-up keeps a flooding peer from starving the loop.
    static thread_local std::vector<uint8_t> buffer(kMaxDatagram);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n = recvmsg(fd_.get(), &msg, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
    if (n < 0)
        return;
    const ucred* cred = nullptr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len == CMSG_LEN(sizeof(ucred)))
            cred = reinterpret_cast<const ucred*>(CMSG_DATA(c));
    }
    if (!cred || cred->uid != geteuid()) {
        BVLog("port %@: dropped a message of another user", name_);
        return;
    }
    if ((msg.msg_flags & MSG_TRUNC) || static_cast<size_t>(n) > buffer.size()) {
        BVLog("port %@: dropped a message of %ld bytes, longer than the port takes", name_,
              static_cast<long>(n));
        return;
    }
    auto message = BVExtensionMessage::decode(buffer.data(), static_cast<size_t>(n));
    if (!message) {
        BVLog("port %@: dropped a damaged message of %ld bytes", name_, static_cast<long>(n));
        return;
    }
    receiver_(*message);
}
