#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "comms/BVExtensionCommsComponent.h"
#include "platform/NotificationCenter.h"

class BVUserInfoItem;

// The drive application's end of the extension channel. Client ports that announce
// themselves with "ext_alive" are kept in arrival order and answered "ext_init" with the
// drive root path; a client port found dead is posted as "nc_portinv" (user info: its
// name) on the server's own notification centre, once, and then forgotten. Use it on the
// thread that created it.
class BVExtensionCommsServer : public BVExtensionCommsComponent {
  public:
    static constexpr const char* kPortName = "com.Brimvault.BVExtensionCommsServer";
    static constexpr const char* kPortInvalidated = "nc_portinv";

    explicit BVExtensionCommsServer(const std::string& portName = kPortName);
    // The process's instance, created on first use.
    static BVExtensionCommsServer& defaultServer();

    // What "ext_init" tells a client.
    void setDriveRootPath(std::string path) { driveRootPath_ = std::move(path); }
    const std::string& driveRootPath() const { return driveRootPath_; }

    void broadcastAction(const std::string& action, const std::vector<bv::Data>& data);
    void broadcastUserInfo(const BVUserInfoItem& info);
    void broadcastNetworkActivityBegin();
    void broadcastNetworkActivityEnd();
    void broadcastShutdown();
    // True when a recorded port still answers; the dead ones are removed on the way.
    bool hasClients();
    void removeInvalidatedPort(const std::string& port);
    void extensionAlive(const std::string& port);

    std::vector<std::string> ports() const { return ports_; }
    bv::NotificationCenter& notificationCenter() { return notificationCenter_; }

  private:
    std::vector<std::string> ports_;
    std::string driveRootPath_;
    bv::NotificationCenter notificationCenter_;
};
