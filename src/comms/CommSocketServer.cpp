#include "comms/CommSocketServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/Logging/BVLogging.h"
#include "comms/UnixSocketPath.h"

std::unique_ptr<CommSocketServer> CommSocketServer::initWithSocketURL(const std::string& path) {
    return std::make_unique<CommSocketServer>(path);
}

std::unique_ptr<CommSocketServer> CommSocketServer::initAndStartServer(const std::string& path) {
    auto server = initWithSocketURL(path);
    server->startServer();
    return server;
}

CommSocketServer::~CommSocketServer() {
    // The owner is going away; it hears nothing more.
    delegate_ = nullptr;
    if (status() != kDisconnected)
        stopServer();
}

bool CommSocketServer::startServer() {
    if (status() == kConnected)
        return true;
    sockStatus_ = kConnecting;
    if (!listenSocket()) {
        BVLog("command socket server at %@ not started: %@", sockURL_, sockLastError());
        stopServer();
        return false;
    }
    runLoop_ = &bv::RunLoop::current();
    source_ = runLoop_->addFdSource(sockRef_.get(), POLLIN, [this](short) { acceptClient(); });
    sockStatus_ = kConnected;
    return true;
}

bool CommSocketServer::clearPath() {
    switch (UnixSocketPath::occupantOf(sockURL_)) {
        case UnixSocketPath::Occupant::Nothing:
            return true;
        case UnixSocketPath::Occupant::OurSocket:
            if (unlink(sockURL_.c_str()) == 0 || errno == ENOENT)
                return true;
            setLastError(errno);
            return false;
        case UnixSocketPath::Occupant::Foreign:
            setLastErrorText("the file at the socket path belongs to another user");
            return false;
        case UnixSocketPath::Occupant::OurOther:
            setLastErrorText("the file at the socket path is not a socket");
            return false;
        case UnixSocketPath::Occupant::Unknown:
            setLastError(errno);
            return false;
    }
    return false;
}

bool CommSocketServer::listenSocket() {
    auto addr = UnixSocketPath::address(sockURL_);
    if (!addr) {
        setLastErrorText("socket path too long");
        return false;
    }
    bv::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        setLastError(errno);
        return false;
    }
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (!clearPath())
        return false;
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof(*addr)) != 0) {
        setLastError(errno);
        return false;
    }
    boundPath_ = true;
    if (chmod(sockURL_.c_str(), 0600) != 0 || listen(fd.get(), SOMAXCONN) != 0) {
        setLastError(errno);
        sockRef_ = std::move(fd);
        return false;
    }
    sockRef_ = std::move(fd);
    return true;
}

void CommSocketServer::acceptClient() {
    bv::UniqueFd fd(accept4(sockRef_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd)
        return;
    auto client = CommSocketClient::initWithSocket(std::move(fd), this);
    if (!client->isSockConnected())
        return;
    std::lock_guard<std::mutex> guard(clientsLock_);
    auto next = std::make_shared<ClientSet>(*clients_);
    next->insert(client);
    clients_ = std::move(next);
}

void CommSocketServer::removeClient(CommSocketClient& client) {
    std::lock_guard<std::mutex> guard(clientsLock_);
    auto next = std::make_shared<ClientSet>();
    for (const auto& c : *clients_) {
        if (c.get() != &client)
            next->insert(c);
    }
    clients_ = std::move(next);
}

std::shared_ptr<const CommSocketServer::ClientSet> CommSocketServer::sockClients() const {
    std::lock_guard<std::mutex> guard(clientsLock_);
    return clients_;
}

void CommSocketServer::stopServer() {
    bool wasRunning = status() == kConnected;
    sockStatus_ = kDisconnecting;
    disconnectClients();
    if (runLoop_ && source_)
        runLoop_->removeFdSource(source_);
    source_ = 0;
    runLoop_ = nullptr;
    sockRef_.reset();
    // Only a file we bound is removed: a failed start must not take another's socket away.
    if (boundPath_ && UnixSocketPath::occupantOf(sockURL_) == UnixSocketPath::Occupant::OurSocket)
        unlink(sockURL_.c_str());
    boundPath_ = false;
    if (wasRunning && delegate_)
        delegate_->handleSocketServerStopped(*this);
    sockStatus_ = kDisconnected;
}

template <class Send>
void CommSocketServer::messageClients(Send send) {
    for (const auto& client : *sockClients())
        send(*client);
}

void CommSocketServer::messageClientsString(const std::string& text) {
    messageClients([&](CommSocketClient& c) { c.messageString(text); });
}
void CommSocketServer::messageClientsNumber(double number) {
    messageClients([&](CommSocketClient& c) { c.messageNumber(number); });
}
void CommSocketServer::messageClientsURL(const std::string& url) {
    messageClients([&](CommSocketClient& c) { c.messageURL(url); });
}
void CommSocketServer::messageClientsArray(const nlohmann::json& items) {
    messageClients([&](CommSocketClient& c) { c.messageArray(items); });
}
void CommSocketServer::messageClientsDict(const nlohmann::json& object) {
    messageClients([&](CommSocketClient& c) { c.messageDict(object); });
}

void CommSocketServer::disconnectClients() {
    for (const auto& client : *sockClients())
        client->stopClient();
}

void CommSocketServer::disconnectClient(const std::shared_ptr<CommSocketClient>& client) {
    if (client)
        client->stopClient();
}

void CommSocketServer::handleSocketClientMsgString(const std::string& text, CommSocketClient& c) {
    if (delegate_)
        delegate_->handleSocketServerMsgString(text, c);
}
void CommSocketServer::handleSocketClientMsgNumber(double number, CommSocketClient& c) {
    if (delegate_)
        delegate_->handleSocketServerMsgNumber(number, c);
}
void CommSocketServer::handleSocketClientMsgArray(const nlohmann::json& items,
                                                  CommSocketClient& c) {
    if (delegate_)
        delegate_->handleSocketServerMsgArray(items, c);
}
void CommSocketServer::handleSocketClientMsgDict(const nlohmann::json& object,
                                                 CommSocketClient& c) {
    if (delegate_)
        delegate_->handleSocketServerMsgDict(object, c);
}
void CommSocketServer::handleSocketClientDisconnect(CommSocketClient& c) {
    removeClient(c);
}
