#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "comms/CommFrameReader.h"
#include "comms/CommSocket.h"
#include "platform/Data.h"
#include "platform/RunLoop.h"

class CommSocketClient;

// Every operation is optional. Called on the run loop that serves the client.
class CommSocketClientDelegate {
  public:
    virtual ~CommSocketClientDelegate() = default;
    virtual void handleSocketClientMsgURL(const std::string&, CommSocketClient&) {}
    virtual void handleSocketClientMsgString(const std::string&, CommSocketClient&) {}
    virtual void handleSocketClientMsgNumber(double, CommSocketClient&) {}
    virtual void handleSocketClientMsgArray(const nlohmann::json&, CommSocketClient&) {}
    virtual void handleSocketClientMsgDict(const nlohmann::json&, CommSocketClient&) {}
    virtual void handleSocketClientDisconnect(CommSocketClient&) {}
};

// One connection of a command socket, dialled out to a path or accepted by a server.
// Messages are single archived values, each sent with a length prefix and no reply; a
// message stating more than CommFrameReader::kMaxMessage bytes drops the connection, as
// does a peer of another user. Received messages are dispatched by kind to the delegate;
// damaged ones are dropped with a log record. Lives in a shared_ptr so that a delegate may
// let go of it while it is telling it something.
class CommSocketClient : public CommSocket, public std::enable_shared_from_this<CommSocketClient> {
  public:
    static std::shared_ptr<CommSocketClient> initWithSocketURL(const std::string& path);
    // Created and started; see status() for the outcome.
    static std::shared_ptr<CommSocketClient> initAndStartClient(const std::string& path);
    // An accepted connection, served at once by the current thread's run loop; stopped
    // when the peer is not of our own user.
    static std::shared_ptr<CommSocketClient> initWithSocket(bv::UniqueFd socket,
                                                            CommSocketClientDelegate* delegate);
    ~CommSocketClient() override;

    // Connects (5 seconds at most) and serves the socket on the current thread's run loop.
    // True when connected afterwards; a failure leaves the client stopped.
    bool startClient();
    void stopClient();

    // Each answers true whenever the client was connected (the value may still be lost).
    bool messageString(const std::string& text);
    bool messageNumber(double number);
    bool messageURL(const std::string& url);
    bool messageArray(const nlohmann::json& items);
    bool messageDict(const nlohmann::json& object);
    // Sends raw message bytes (an archived value) under the send lock, 5 seconds at most.
    bool messageData(const bv::Data& data);

    bool isSockConnected() const override { return status() == kConnected; }
    Status status() const { return sockStatus_.load(); }
    // Not owned; must outlive the client or be reset first.
    void setDelegate(CommSocketClientDelegate* delegate) { delegate_ = delegate; }
    CommSocketClientDelegate* delegate() const { return delegate_; }

  private:
    explicit CommSocketClient(std::string path) : CommSocket(std::move(path)) {}
    bool connectSocket();
    void serveOnCurrentRunLoop();
    void handleReadable();
    void dispatch(const bv::Data& message);

    CommSocketClientDelegate* delegate_ = nullptr;
    std::atomic<Status> sockStatus_{kDisconnected};
    bv::RunLoop* runLoop_ = nullptr;  // the loop serving the socket, while it does
    bv::RunLoop::SourceId source_ = 0;
    CommFrameReader reader_;  // touched on the serving loop only
    std::mutex lock;          // serialises sends, so frames never interleave
};
