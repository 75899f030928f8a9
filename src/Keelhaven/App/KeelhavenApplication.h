#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Keelhaven/BrimvaultAPIClient/BrimvaultUserInfo.h"
#include "Keelhaven/SyncBackupTask/KHVManager.h"
#include "comms/CommSocketServer.h"
#include "platform/RunLoop.h"

// Keelhaven's application object: the link to the drive application. It reads the session
// files the drive application wrote, serves the command socket through which that
// application asks it to show its task list ("open") or to quit ("close"), brings up the
// task registry, and quits when the drive application ends or the drive's volume goes away.
//
// Lives on the main thread; every method belongs to it. Shutdown order: the command socket
// server stops first (no more requests), then the parent watch, then the registry.
class KeelhavenApplication : public CommSocketServerDelegate {
  public:
    static constexpr const char* kCommandSocket = "/tmp/brimvault.sock";
    static constexpr const char* kWorkingFolder = "/tmp/Brimvault/KHD";
    static constexpr size_t kMaxTextBytes = 250;

    struct Hooks {
        // Ends the application; stops the main run loop by default.
        std::function<void()> terminate;
        // Brings the task list window to the front.
        std::function<void()> bringTaskListForward;
        // Called after each simulateApp with the registry (the program's own wiring).
        std::function<void(KHVManager&)> registryStarted;
        // Told about every task's load and the end of each run.
        std::shared_ptr<SyncBackupTaskObserver> observer;
    };

    KeelhavenApplication(std::shared_ptr<SyncBackupTaskContext> context, Hooks hooks = {});
    ~KeelhavenApplication() override;
    KeelhavenApplication(const KeelhavenApplication&) = delete;
    KeelhavenApplication& operator=(const KeelhavenApplication&) = delete;

    // Logging set-up aside (the program's), the launch: banner, working folder, parameters,
    // command socket, registry. False when the command socket could not be served.
    bool applicationDidFinishLaunching();
    // Reads the five session files into BrimvaultUser. A file that is missing, not a regular
    // file or not ours leaves its value empty or 0.
    void loadParameters();
    // Hands the parameters to the current user, whose values every later request uses, and
    // brings up the registry once; a registry already up keeps its tasks and their runs.
    void simulateApp();
    // Quits when pid (the drive application that launched us) ends.
    bool watchDrivingApplication(pid_t pid);

    void handleSocketServerMsgString(const std::string& text, CommSocketClient& client) override;

    KHVManager* manager() const { return manager_.get(); }
    std::string workingFolder() const { return workingFolder_; }
    void terminate();

    // The session-file readers, open for tests: each reads only a regular file of our own
    // user, never through a link.
    static std::optional<std::string> readText(const std::string& path);
    // "/tmp/Inhb.dat": 8 bytes as the drive application writes it, 4 as designed.
    static int64_t readSpeedLimit(const std::string& path);
    static bool readAccessFlag(const std::string& path);
    // The banner lines, rows of "=" around them.
    static std::vector<std::string> bannerLines();

  private:
    std::shared_ptr<SyncBackupTaskContext> context_;
    Hooks hooks_;
    std::string workingFolder_;
    std::unique_ptr<CommSocketServer> server_;
    bv::RunLoop::SourceId parentSource_ = 0;
    int parentFd_ = -1;
    std::unique_ptr<KHVManager> manager_;
};
