#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "comms/BVExtensionActions.h"
#include "comms/BVExtensionPort.h"

// One end of the extension channel: its own port, registered under portName and served by
// the creating thread's run loop, and the handlers of the actions it takes. A message is
// handed on only when its action is in the table, a handler of the matching shape is
// registered and its arguments have the count and kinds the table gives; anything else is
// dropped (an unknown action or bad arguments with one log record).
class BVExtensionCommsComponent {
  public:
    using AliveHandler = std::function<void(const std::string& senderPort)>;
    using ObservingHandler =
        std::function<void(const std::string& path, const std::string& senderPort)>;
    using DataHandler = std::function<void(const std::vector<BVExtensionActions::Value>& args)>;
    using Handler = std::variant<AliveHandler, ObservingHandler, DataHandler>;

    // initWithPortName: registers the port; isRegistered() tells whether that worked.
    explicit BVExtensionCommsComponent(std::string portName);
    virtual ~BVExtensionCommsComponent();
    BVExtensionCommsComponent(const BVExtensionCommsComponent&) = delete;
    BVExtensionCommsComponent& operator=(const BVExtensionCommsComponent&) = delete;

    const std::string& portName() const { return portName_; }
    bool isRegistered() const { return port_ != nullptr; }

    // setTarget:selector:for: — replaces any handler of action.
    void setTarget(Handler handler, const std::string& action);
    // Sends without waiting; Dead when the destination port is gone.
    BVExtensionPort::SendResult sendAction(const std::string& action,
                                           const std::vector<bv::Data>& data,
                                           const std::string& destination);
    void handlePortMessage(const BVExtensionMessage& message);

  private:
    std::string portName_;
    std::map<std::string, Handler> actions_;
    std::unique_ptr<BVExtensionPort> port_;  // last: destroyed first, so no message arrives late
};
