#include "comms/CommSocket.h"

#include "comms/UnixSocketPath.h"

sockaddr_un CommSocket::sockAddress() const {
    auto addr = UnixSocketPath::address(sockURL_);
    if (addr)
        return *addr;
    sockaddr_un empty{};
    empty.sun_family = AF_UNIX;
    return empty;
}

void CommSocket::setLastError(int err) {
    setLastErrorText(UnixSocketPath::errorText(err));
}
