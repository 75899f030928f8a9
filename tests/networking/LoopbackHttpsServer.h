#pragma once

#include <httplib.h>

#include <memory>
#include <string>
#include <thread>

#include "TempDir.h"

namespace bvtest {

// An HTTPS server on 127.0.0.1 with a certificate made for the occasion. Register
// routes on server() before start(); the destructor stops it.
class LoopbackHttpsServer {
  public:
    LoopbackHttpsServer();
    ~LoopbackHttpsServer();
    LoopbackHttpsServer(const LoopbackHttpsServer&) = delete;
    LoopbackHttpsServer& operator=(const LoopbackHttpsServer&) = delete;

    httplib::Server& server() { return *server_; }
    // Binds a free port and serves on a thread of its own; false when it cannot.
    bool start();
    int port() const { return port_; }
    // "https://127.0.0.1:<port>/api/v1/"
    std::string baseURL() const;
    // The PEM file a client must trust to talk to this server.
    std::string certificateFile() const { return certificate_; }

  private:
    TempDir folder_{"bvtls"};
    std::string certificate_;
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    int port_ = -1;
};

}  // namespace bvtest
