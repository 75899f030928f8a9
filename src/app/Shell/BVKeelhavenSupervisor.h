#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/Shell/BVShellScheduler.h"

// Runs Keelhaven (the program beside brimvault) as a child process while a user is signed
// in: restarts it when it ends, with a delay that doubles (1, 2, 4 ... 60 seconds) while it
// keeps ending within kQuickExit seconds of its start, and stops it by asking it to "close",
// then SIGTERM, then SIGKILL. Used on the main thread; one watcher thread per child, owned
// and joined here.
class BVKeelhavenSupervisor {
  public:
    static constexpr double kQuickExit = 10;
    static constexpr double kMaxRestartDelay = 60;

    struct Options {
        std::string binary;
        // Given to Keelhaven as --mount-dir, so that it places cloud paths and tells the
        // drive's unmount as this program does (nothing when empty).
        std::string mountDirectory;
        std::shared_ptr<BVShellScheduler> scheduler;
        // Asks the running Keelhaven to close (over its command socket); may fail.
        std::function<bool()> sendClose;
        // Real seconds to wait for the child to end after "close" and after SIGTERM.
        double closeGrace = 3;
        double termGrace = 3;
    };

    explicit BVKeelhavenSupervisor(Options options);
    ~BVKeelhavenSupervisor();
    BVKeelhavenSupervisor(const BVKeelhavenSupervisor&) = delete;
    BVKeelhavenSupervisor& operator=(const BVKeelhavenSupervisor&) = delete;

    // Starts it unless it runs or the binary is missing or not safe to run (a file or folder
    // others may write). Answers whether a child runs afterwards.
    bool start();
    // Stops it and cancels a pending restart; returns when the child is gone.
    void stop();

    bool running() const;
    pid_t pid() const;
    int launches() const { return launches_; }
    // The delay before the next restart (0 while it does not end early).
    double restartDelay() const { return restartDelay_; }
    // Whether path may be executed: a regular executable file whose file and folder are ours
    // or root's and not writable by group or others.
    static bool isSafeToRun(const std::string& path);

  private:
    struct Child;
    void childEnded(const std::shared_ptr<Child>& child);
    bool waitForEnd(const std::shared_ptr<Child>& child, double seconds);

    Options options_;
    std::shared_ptr<Child> child_;  // the running child, main thread only
    std::thread watcher_;
    bool wanted_ = false;  // a user is signed in: keep it running
    int launches_ = 0;
    double restartDelay_ = 0;
    uint64_t restartGeneration_ = 0;  // a stop() voids the restarts scheduled before it
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};
