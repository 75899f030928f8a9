#include "LoopbackTcpProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace bvtest {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// Copies what is readable on from to to; false when from is closed or either fails.
bool pump(int from, int to) {
    char buffer[64 * 1024];
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    for (ssize_t done = 0; done < n;) {
        ssize_t written = send(to, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

}  // namespace

LoopbackTcpProxy::LoopbackTcpProxy(int targetPort) : targetPort_(targetPort) {
    if (pipe(stopPipe_) != 0)
        throw std::runtime_error("pipe failed");
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackTcpProxy::~LoopbackTcpProxy() {
    // The write end closing wakes every poll below.
    close(stopPipe_[1]);
    acceptor_.join();
    std::vector<std::thread> relays;
    {
        std::lock_guard lock(relaysLock_);
        relays.swap(relays_);
    }
    for (auto& relay : relays)
        relay.join();
    close(listener_);
    close(stopPipe_[0]);
}

std::string LoopbackTcpProxy::baseURL() const {
    return "https://127.0.0.1:" + std::to_string(port_) + "/api/v1/";
}

void LoopbackTcpProxy::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || fds[1].revents)
            return;
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        ++accepted_;
        std::lock_guard lock(relaysLock_);
        relays_.emplace_back([this, client] { relay(client); });
    }
}

void LoopbackTcpProxy::relay(int client) {
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(targetPort_);
    if (server >= 0 &&
        connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        for (;;) {
            pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (poll(fds, 3, -1) < 0 || fds[2].revents)
                break;
            if (fds[0].revents && !pump(client, server))
                break;
            if (fds[1].revents && !pump(server, client))
                break;
        }
    }
    if (server >= 0)
        close(server);
    close(client);
}

}  // namespace bvtest
