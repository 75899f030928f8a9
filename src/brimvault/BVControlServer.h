#pragma once

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "comms/CommSocketServer.h"
#include "platform/OperationQueue.h"

class AppDelegate;
class BVDaemonUserInterface;
class BVLiveAppServices;

// The daemon's control socket, "control.sock" in the per-user runtime folder: each
// `brimvault` command connects, sends one request {"cmd": NAME, ...} and gets a reply
// {"ok": bool, "message": TEXT, ...}; a `login` command stays connected and receives the
// sign-in's prompts and its outcome as events, an `update` command the download's progress,
// its retry question and the downloaded file. Same user only (the socket server checks the
// peer). Runs on the main run loop.
class BVControlServer : private CommSocketServerDelegate {
  public:
    static std::string socketPath();

    BVControlServer(AppDelegate& app, BVDaemonUserInterface& ui, BVLiveAppServices& services);
    ~BVControlServer() override;

    // False when the socket cannot be served (another daemon holds it).
    bool start();
    // What the application controller reported ("mounted", "signInFailed", ...).
    void applicationEvent(const std::string& event, const nlohmann::json& details);
    // A prompt or alert of the user interface (any thread).
    void interfaceEvent(const nlohmann::json& event);
    nlohmann::json status() const;
    // Tells whether a file-manager extension is connected (for the menu's rules).
    void setExtensionConnected(std::function<bool()> connected) {
        extensionConnected_ = std::move(connected);
    }

  private:
    void handleSocketServerMsgDict(const nlohmann::json& request,
                                   CommSocketClient& client) override;
    nlohmann::json handle(const nlohmann::json& request, CommSocketClient& client);
    nlohmann::json login(const nlohmann::json& request, CommSocketClient& client);
    nlohmann::json pathAction(const std::string& cmd, const nlohmann::json& request);
    // Packs the logs off the main thread and answers the client when done.
    nlohmann::json sendLogs(const nlohmann::json& request, CommSocketClient& client);
    // Starts the offered update, or answers its waiting retry question.
    nlohmann::json update(const nlohmann::json& request, CommSocketClient& client);
    void sendToLoginClient(const nlohmann::json& event);
    void sendToUpdateClient(const nlohmann::json& event);

    AppDelegate& app_;
    BVDaemonUserInterface& ui_;
    BVLiveAppServices& services_;
    std::unique_ptr<CommSocketServer> server_;
    std::weak_ptr<CommSocketClient> loginClient_;   // main thread only
    std::weak_ptr<CommSocketClient> updateClient_;  // main thread only
    std::function<bool()> extensionConnected_;
    // Long work of a command (the log pack); declared last, so it ends (waiting for the
    // running pack) before anything it uses goes.
    bv::OperationQueue longWork_{"BVControlLongWork", 1};
};
