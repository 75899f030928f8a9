#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "comms/CommSocket.h"
#include "comms/CommSocketClient.h"
#include "platform/RunLoop.h"

class CommSocketServer;

// Every operation is optional. Called on the run loop that serves the server.
class CommSocketServerDelegate {
  public:
    virtual ~CommSocketServerDelegate() = default;
    virtual void handleSocketServerMsgString(const std::string&, CommSocketClient&) {}
    virtual void handleSocketServerMsgNumber(double, CommSocketClient&) {}
    virtual void handleSocketServerMsgArray(const nlohmann::json&, CommSocketClient&) {}
    virtual void handleSocketServerMsgDict(const nlohmann::json&, CommSocketClient&) {}
    virtual void handleSocketServerStopped(CommSocketServer&) {}
};

// Listens on a command socket and keeps the connected clients, accepting only peers of our
// own user. A socket file of another user, or anything but a socket at the path, is left
// alone and the start fails; a stale socket of ours is replaced. Served by the run loop of
// the thread that started it; use and destroy it on that thread.
class CommSocketServer : public CommSocket, private CommSocketClientDelegate {
  public:
    using ClientSet = std::set<std::shared_ptr<CommSocketClient>>;

    explicit CommSocketServer(std::string path) : CommSocket(std::move(path)) {}
    static std::unique_ptr<CommSocketServer> initWithSocketURL(const std::string& path);
    // Created and started; see status() for the outcome.
    static std::unique_ptr<CommSocketServer> initAndStartServer(const std::string& path);
    ~CommSocketServer() override;

    // True when listening afterwards; a second start of a running server changes nothing.
    bool startServer();
    void stopServer();

    // Sends one value to every connected client.
    void messageClientsString(const std::string& text);
    void messageClientsNumber(double number);
    void messageClientsURL(const std::string& url);
    void messageClientsArray(const nlohmann::json& items);
    void messageClientsDict(const nlohmann::json& object);
    void disconnectClients();
    void disconnectClient(const std::shared_ptr<CommSocketClient>& client);

    bool isSockConnected() const override { return status() == kConnected; }
    Status status() const { return sockStatus_.load(); }
    // The connected clients; the set is replaced as a whole on every change.
    std::shared_ptr<const ClientSet> sockClients() const;
    void setDelegate(CommSocketServerDelegate* delegate) { delegate_ = delegate; }

  private:
    bool listenSocket();
    bool clearPath();
    void acceptClient();
    void removeClient(CommSocketClient& client);
    template <class Send>
    void messageClients(Send send);

    void handleSocketClientMsgString(const std::string& text, CommSocketClient& c) override;
    void handleSocketClientMsgNumber(double number, CommSocketClient& c) override;
    void handleSocketClientMsgArray(const nlohmann::json& items, CommSocketClient& c) override;
    void handleSocketClientMsgDict(const nlohmann::json& object, CommSocketClient& c) override;
    void handleSocketClientDisconnect(CommSocketClient& c) override;

    CommSocketServerDelegate* delegate_ = nullptr;
    std::atomic<Status> sockStatus_{kDisconnected};
    bv::RunLoop* runLoop_ = nullptr;
    bv::RunLoop::SourceId source_ = 0;
    bool boundPath_ = false;          // the socket file is ours to remove
    mutable std::mutex clientsLock_;  // guards clients_ (the pointer, not the set it holds)
    std::shared_ptr<const ClientSet> clients_ = std::make_shared<ClientSet>();
};
