#include "brimvault/BVControlClient.h"

#include <deque>

#include "comms/CommSocketClient.h"
#include "platform/RunLoop.h"

struct BVControlClient::Receiver : CommSocketClientDelegate {
    void handleSocketClientMsgDict(const nlohmann::json& object, CommSocketClient&) override {
        messages.push_back(object);
    }
    void handleSocketClientDisconnect(CommSocketClient&) override { gone = true; }
    std::deque<nlohmann::json> messages;  // main thread only
    bool gone = false;
};

BVControlClient::BVControlClient() : receiver_(std::make_unique<Receiver>()) {}

BVControlClient::~BVControlClient() {
    if (socket_) {
        socket_->setDelegate(nullptr);
        socket_->stopClient();
    }
}

bool BVControlClient::connect(const std::string& path) {
    if (path.empty())
        return false;
    socket_ = CommSocketClient::initWithSocketURL(path);
    socket_->setDelegate(receiver_.get());
    return socket_->startClient();
}

bool BVControlClient::send(const nlohmann::json& request) {
    return socket_ && socket_->messageDict(request);
}

std::optional<nlohmann::json> BVControlClient::next(double seconds) {
    bv::RunLoop::main().runUntil([&] { return !receiver_->messages.empty() || receiver_->gone; },
                                 seconds);
    if (receiver_->messages.empty())
        return std::nullopt;
    auto message = std::move(receiver_->messages.front());
    receiver_->messages.pop_front();
    return message;
}
