#include "comms/CommSocketClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "app/Logging/BVLogging.h"
#include "comms/CommValue.h"
#include "comms/UnixSocketPath.h"

namespace {

constexpr int kTimeoutSeconds = 5;

void setTimeouts(int fd) {
    timeval tv{kTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

}  // namespace

std::shared_ptr<CommSocketClient> CommSocketClient::initWithSocketURL(const std::string& path) {
    return std::shared_ptr<CommSocketClient>(new CommSocketClient(path));
}

std::shared_ptr<CommSocketClient> CommSocketClient::initAndStartClient(const std::string& path) {
    auto client = initWithSocketURL(path);
    client->startClient();
    return client;
}

std::shared_ptr<CommSocketClient> CommSocketClient::initWithSocket(
    bv::UniqueFd socket, CommSocketClientDelegate* delegate) {
    auto client = std::shared_ptr<CommSocketClient>(new CommSocketClient(""));
    client->delegate_ = delegate;
    client->sockRef_ = std::move(socket);
    if (!client->sockRef_.valid())
        return client;
    if (!UnixSocketPath::peerIsOurUser(client->sockRef_.get())) {
        auto uid = UnixSocketPath::peerUser(client->sockRef_.get());
        BVLog("refused a command-socket peer of user %d", uid ? static_cast<long>(*uid) : -1L);
        client->sockRef_.reset();
        return client;
    }
    setTimeouts(client->sockRef_.get());
    client->sockStatus_ = kConnected;
    client->serveOnCurrentRunLoop();
    return client;
}

CommSocketClient::~CommSocketClient() {
    if (runLoop_ && source_)
        runLoop_->removeFdSource(source_);
}

bool CommSocketClient::startClient() {
    if (status() == kConnected)
        return true;
    sockStatus_ = kConnecting;
    if (!connectSocket()) {
        stopClient();
        return false;
    }
    serveOnCurrentRunLoop();
    sockStatus_ = kConnected;
    return true;
}

bool CommSocketClient::connectSocket() {
    auto addr = UnixSocketPath::address(sockURL_);
    if (!addr) {
        setLastErrorText("socket path too long: " + sockURL_);
        return false;
    }
    // connect() would follow a link planted at the path; only a socket of ours is dialled.
    auto occupant = UnixSocketPath::occupantOf(sockURL_);
    if (occupant != UnixSocketPath::Occupant::OurSocket) {
        if (occupant == UnixSocketPath::Occupant::Foreign ||
            occupant == UnixSocketPath::Occupant::OurOther)
            BVLog("not connecting to %@: it is not a socket of our own user", sockURL_);
        setLastError(occupant == UnixSocketPath::Occupant::Nothing ? ENOENT : EACCES);
        return false;
    }
    bv::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        setLastError(errno);
        return false;
    }
    setTimeouts(fd.get());
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof(*addr)) != 0) {
        setLastError(errno);
        return false;
    }
    if (!UnixSocketPath::peerIsOurUser(fd.get())) {
        BVLog("not talking to %@: its server is not of our own user", sockURL_);
        setLastError(EACCES);
        return false;
    }
    std::lock_guard<std::mutex> guard(lock);
    sockRef_ = std::move(fd);
    return true;
}

void CommSocketClient::serveOnCurrentRunLoop() {
    runLoop_ = &bv::RunLoop::current();
    std::weak_ptr<CommSocketClient> weak = weak_from_this();
    source_ = runLoop_->addFdSource(sockRef_.get(), POLLIN, [weak](short) {
        // Keeps the client alive while a delegate it calls lets go of it.
        if (auto self = weak.lock())
            self->handleReadable();
    });
}

void CommSocketClient::handleReadable() {
    if (!sockRef_.valid())
        return;
    uint8_t buffer[64 * 1024];
    ssize_t n = recv(sockRef_.get(), buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        if (n < 0)
            setLastError(errno);
        stopClient();
        return;
    }
    if (!reader_.append(buffer, static_cast<size_t>(n))) {
        BVLog("command socket %@: message too long, connection dropped", sockURL_);
        stopClient();
        return;
    }
    while (auto message = reader_.next()) {
        dispatch(*message);
        if (!sockRef_.valid())
            return;
    }
    if (reader_.failed()) {
        BVLog("command socket %@: message too long, connection dropped", sockURL_);
        stopClient();
    }
}

void CommSocketClient::dispatch(const bv::Data& message) {
    auto value = CommValue::unarchive(message);
    if (!value) {
        BVLog("command socket %@: dropped a message that is no archived value", sockURL_);
        return;
    }
    if (!delegate_)
        return;
    switch (value->kind) {
        case CommValue::Kind::URL:
            delegate_->handleSocketClientMsgURL(value->value.get<std::string>(), *this);
            break;
        case CommValue::Kind::String:
            delegate_->handleSocketClientMsgString(value->value.get<std::string>(), *this);
            break;
        case CommValue::Kind::Number:
            delegate_->handleSocketClientMsgNumber(value->value.get<double>(), *this);
            break;
        case CommValue::Kind::Array:
            delegate_->handleSocketClientMsgArray(value->value, *this);
            break;
        case CommValue::Kind::Dictionary:
            delegate_->handleSocketClientMsgDict(value->value, *this);
            break;
    }
}

void CommSocketClient::stopClient() {
    bool wasRunning = status() == kConnected || status() == kConnecting;
    sockStatus_ = kDisconnecting;
    if (runLoop_ && source_)
        runLoop_->removeFdSource(source_);
    source_ = 0;
    runLoop_ = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        sockRef_.reset();
    }
    auto keep = weak_from_this().lock();
    if (wasRunning && delegate_)
        delegate_->handleSocketClientDisconnect(*this);
    sockStatus_ = kDisconnected;
}

bool CommSocketClient::messageString(const std::string& text) {
    return messageData(CommValue::string(text).archived());
}
bool CommSocketClient::messageNumber(double number) {
    return messageData(CommValue::number(number).archived());
}
bool CommSocketClient::messageURL(const std::string& url) {
    return messageData(CommValue::url(url).archived());
}
bool CommSocketClient::messageArray(const nlohmann::json& items) {
    return messageData(CommValue::array(items).archived());
}
bool CommSocketClient::messageDict(const nlohmann::json& object) {
    return messageData(CommValue::dictionary(object).archived());
}

bool CommSocketClient::messageData(const bv::Data& data) {
    if (status() != kConnected)
        return false;
    bv::Data framed = CommFrameReader::frame(data);
    if (framed.empty()) {
        BVLog("command socket %@: message of %lu bytes not sent, too long", sockURL_, data.size());
        return true;
    }
    std::lock_guard<std::mutex> guard(lock);
    size_t sent = 0;
    while (sockRef_.valid() && sent < framed.size()) {
        ssize_t n = send(sockRef_.get(), framed.bytes() + sent, framed.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            setLastError(errno);
            // Half a frame on the wire would garble every later message: end the connection;
            // the serving loop sees the close and stops the client.
            if (sent > 0)
                shutdown(sockRef_.get(), SHUT_RDWR);
            break;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}
