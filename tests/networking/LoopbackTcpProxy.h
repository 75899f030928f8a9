#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bvtest {

// A TCP relay on 127.0.0.1 in front of a server on another loopback port; it counts the
// connections it accepts, that is the connections clients opened to the server. TLS passes
// through untouched, so a client verifies the server as if it talked to it directly.
class LoopbackTcpProxy {
  public:
    explicit LoopbackTcpProxy(int targetPort);
    ~LoopbackTcpProxy();
    LoopbackTcpProxy(const LoopbackTcpProxy&) = delete;
    LoopbackTcpProxy& operator=(const LoopbackTcpProxy&) = delete;

    int port() const { return port_; }
    // "https://127.0.0.1:<port>/api/v1/"
    std::string baseURL() const;
    int acceptedConnections() const { return accepted_.load(); }

  private:
    void acceptLoop();
    void relay(int client);

    int targetPort_;
    int listener_ = -1;
    int port_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::atomic<int> accepted_{0};
    std::thread acceptor_;
    std::mutex relaysLock_;  // guards relays_
    std::vector<std::thread> relays_;
};

}  // namespace bvtest
