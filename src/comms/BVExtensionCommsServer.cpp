#include "comms/BVExtensionCommsServer.h"

#include <algorithm>

#include "BVApi/Content/BVUserItems.h"
#include "app/Logging/BVLogging.h"

using namespace BVExtensionActions;

BVExtensionCommsServer::BVExtensionCommsServer(const std::string& portName)
    : BVExtensionCommsComponent(portName) {
    setTarget(AliveHandler([this](const std::string& port) { extensionAlive(port); }), kAlive);
    BVLog("started ext. server %@", portName);
}

BVExtensionCommsServer& BVExtensionCommsServer::defaultServer() {
    static BVExtensionCommsServer server;
    return server;
}

void BVExtensionCommsServer::extensionAlive(const std::string& port) {
    if (std::find(ports_.begin(), ports_.end(), port) == ports_.end())
        ports_.push_back(port);
    if (sendAction(kInit, {archive(driveRootPath_)}, port) == BVExtensionPort::SendResult::Dead)
        removeInvalidatedPort(port);
}

void BVExtensionCommsServer::broadcastAction(const std::string& action,
                                             const std::vector<bv::Data>& data) {
    for (const auto& port : std::vector<std::string>(ports_)) {
        if (sendAction(action, data, port) == BVExtensionPort::SendResult::Dead)
            removeInvalidatedPort(port);
    }
}

void BVExtensionCommsServer::broadcastUserInfo(const BVUserInfoItem& info) {
    broadcastAction(kBroadcastUserInfo, {info.archivedData()});
}

void BVExtensionCommsServer::broadcastNetworkActivityBegin() {
    broadcastAction(kActivityBegin, {});
}

void BVExtensionCommsServer::broadcastNetworkActivityEnd() {
    broadcastAction(kActivityEnd, {});
}

void BVExtensionCommsServer::broadcastShutdown() {
    broadcastAction(kServerShutdown, {});
}

bool BVExtensionCommsServer::hasClients() {
    bool any = false;
    for (const auto& port : std::vector<std::string>(ports_)) {
        if (BVExtensionPort::exists(port))
            any = true;
        else
            removeInvalidatedPort(port);
    }
    return any;
}

void BVExtensionCommsServer::removeInvalidatedPort(const std::string& port) {
    auto it = std::find(ports_.begin(), ports_.end(), port);
    if (it == ports_.end())
        return;
    // Posted before the removal, so observers still find what they kept for that port.
    notificationCenter_.post(kPortInvalidated, port);
    ports_.erase(std::find(ports_.begin(), ports_.end(), port));
}
