#pragma once

#include <sys/un.h>

#include <string>

#include "platform/UniqueFd.h"

// What the command-socket server and client share: the socket's path, its handle and the
// last system error. Unix stream sockets, served by the run loop of the thread that
// started them; only peers of our own user are ever talked to.
class CommSocket {
  public:
    // The states of a server or client.
    enum Status { kConnected = 1, kDisconnected = 2, kConnecting = 3, kDisconnecting = 4 };

    virtual ~CommSocket() = default;
    CommSocket(const CommSocket&) = delete;
    CommSocket& operator=(const CommSocket&) = delete;

    const std::string& sockURL() const { return sockURL_; }
    int sockRef() const { return sockRef_.get(); }
    bool isSockRefValid() const { return sockRef_.valid(); }
    virtual bool isSockConnected() const = 0;
    // The address of sockURL(); an empty path when it does not fit.
    sockaddr_un sockAddress() const;
    // "%s (%d)": the system error text and number of the last failure.
    const std::string& sockLastError() const { return sockLastError_; }

  protected:
    explicit CommSocket(std::string path) : sockURL_(std::move(path)) {}
    void setLastError(int err);
    void setLastErrorText(std::string text) { sockLastError_ = std::move(text); }

    std::string sockURL_;
    bv::UniqueFd sockRef_;

  private:
    std::string sockLastError_;
};
