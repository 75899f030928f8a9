#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comms/BVExtensionCommsComponent.h"
#include "platform/Clock.h"

// The extension's end of the channel. Construction registers a port of its own
// ("com.Brimvault.BVExtensionCommsClient-" and a unique string), waits for the server's
// port (polling once a second on the clock, 120 seconds at most), then announces itself
// with "ext_alive". When the server never appears, or the client's port cannot be
// registered, exitProcess(1) is called (the process ends; in tests the client is left
// unconnected).
class BVExtensionCommsClient : public BVExtensionCommsComponent {
  public:
    static constexpr const char* kPortPrefix = "com.Brimvault.BVExtensionCommsClient-";
    static constexpr double kServerWaitSeconds = 120;

    struct Options {
        std::shared_ptr<bv::Clock> clock = bv::Clock::system();
        std::function<void(int status)> exitProcess;  // default: std::exit
        std::string serverPortName = "com.Brimvault.BVExtensionCommsServer";
        std::string portName;  // default: the prefix and a fresh unique string
    };

    BVExtensionCommsClient();
    explicit BVExtensionCommsClient(Options options);

    // Polls for the server's port once a second for at most seconds; true when it answers.
    bool waitForServerPortFor(double seconds);
    const std::string& serverPort() const { return serverPort_; }
    bool isConnected() const { return !serverPort_.empty(); }

    void alive();
    void share(const std::string& relativePath);
    void showProps(const std::string& relativePath);
    void refreshFolder(const std::string& relativePath);
    void moveToTrash(const std::vector<std::string>& relativePaths);
    void deleteItems(const std::vector<std::string>& relativePaths);  // delete:
    void restore(const std::vector<std::string>& relativePaths);
    void emptyTrash();
    void requestUserInfo();
    void beginObserving(const std::string& relativePath);
    void endObserving(const std::string& relativePath);

    // A globally unique string of the form of a UUID.
    static std::string uniqueString();

  private:
    struct Filled {};
    BVExtensionCommsClient(Options options, Filled);
    void send(const char* action, std::vector<bv::Data> data = {});

    Options options_;
    std::string serverPort_;
};
