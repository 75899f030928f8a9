#pragma once

#include <memory>
#include <string>

#include "comms/BVExtensionCommsServer.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"

class AppDelegate;
namespace bv {
class UserInterface;
}

// The daemon's end of the file-manager extension: the extension server, started after the
// sign-in on the main run loop, with the extension's actions handed to the application
// controller and its folder observations to the background refresh. Main thread only, apart
// from the properties queue (the fetch waits for the service). Shutdown: shutdownClients()
// at sign-out and quit; the destructor ends the queue, then the server.
class BVExtensionLink {
  public:
    BVExtensionLink(AppDelegate& app, std::shared_ptr<bv::UserInterface> ui);
    ~BVExtensionLink();
    BVExtensionLink(const BVExtensionLink&) = delete;
    BVExtensionLink& operator=(const BVExtensionLink&) = delete;

    // Starts the server once; later calls do nothing.
    void start();
    void setDriveRoot(const std::string& mountPoint);
    // Whether a file-manager extension is connected (the status menu then leaves the file
    // actions to it).
    bool connected();
    // Tells the clients that the drive application goes away.
    void shutdownClients();

  private:
    void showProperties(const std::string& path);

    AppDelegate& app_;
    std::shared_ptr<bv::UserInterface> ui_;
    std::unique_ptr<BVExtensionCommsServer> server_;
    std::unique_ptr<bv::NotificationCenter::Token> portInvalidated_;
    bv::OperationQueue properties_{"BVExtensionProperties", 1};
};
