#include "comms/BVExtensionCommsComponent.h"

#include "app/Logging/BVLogging.h"

using namespace BVExtensionActions;

BVExtensionCommsComponent::BVExtensionCommsComponent(std::string portName)
    : portName_(std::move(portName)) {
    port_ = BVExtensionPort::open(portName_,
                                  [this](const BVExtensionMessage& m) { handlePortMessage(m); });
}

BVExtensionCommsComponent::~BVExtensionCommsComponent() = default;

void BVExtensionCommsComponent::setTarget(Handler handler, const std::string& action) {
    actions_[action] = std::move(handler);
}

BVExtensionPort::SendResult BVExtensionCommsComponent::sendAction(const std::string& action,
                                                                  const std::vector<bv::Data>& data,
                                                                  const std::string& destination) {
    if (!port_)
        return BVExtensionPort::SendResult::Busy;
    BVExtensionMessage message{portName_, {bv::Data::fromString(action)}};
    message.blocks.insert(message.blocks.end(), data.begin(), data.end());
    return port_->send(destination, message.encoded());
}

void BVExtensionCommsComponent::handlePortMessage(const BVExtensionMessage& message) {
    const std::string action = message.actionName();
    const Entry* entry = find(action);
    if (!entry) {
        BVLog("port %@: dropped unknown action %@ from %@", portName_, action, message.senderPort);
        return;
    }
    auto handler = actions_.find(action);
    if (handler == actions_.end())
        return;
    if (message.blocks.size() - 1 != entry->args.size()) {
        BVLog("port %@: dropped %@ with %lu arguments instead of %lu", portName_, action,
              message.blocks.size() - 1, entry->args.size());
        return;
    }
    std::vector<Value> args;
    for (size_t i = 0; i < entry->args.size(); ++i) {
        auto value = unarchive(entry->args[i], message.blocks[i + 1]);
        if (!value) {
            BVLog("port %@: dropped %@ whose argument %lu is damaged or of the wrong kind",
                  portName_, action, i + 1);
            return;
        }
        args.push_back(std::move(*value));
    }
    // A copy: the handler may replace itself.
    Handler call = handler->second;
    switch (entry->parser) {
        case Parser::Alive:
            if (auto* alive = std::get_if<AliveHandler>(&call))
                return (*alive)(message.senderPort);
            break;
        case Parser::ObservingStatus:
            if (auto* observing = std::get_if<ObservingHandler>(&call))
                return (*observing)(std::get<std::string>(args[0]), message.senderPort);
            break;
        case Parser::ArchivedData:
            if (auto* data = std::get_if<DataHandler>(&call))
                return (*data)(args);
            break;
    }
    BVLog("port %@: the handler of %@ has the wrong shape", portName_, action);
}
