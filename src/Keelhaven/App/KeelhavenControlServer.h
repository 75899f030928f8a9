#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "Keelhaven/SyncBackupTask/KHVManager.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskObserver.h"
#include "Keelhaven/SyncRunGuard/SyncRunGuard.h"
#include "comms/CommSocketServer.h"

// The task list window of this program: a control socket in the per-user runtime folder
// (same user only) whose clients are the `keelhaven task ...` subcommands. Each request is
// one dictionary {"cmd": ...}; each answer one dictionary with "ok" and, on failure, "error".
//
// Requests are served on the main run loop; the run-end bookkeeping may come from a run's
// thread.
class KeelhavenControlServer : public CommSocketServerDelegate, public SyncBackupTaskObserver {
  public:
    static std::string socketPath();

    explicit KeelhavenControlServer(std::shared_ptr<SyncRunGuard> guard);
    ~KeelhavenControlServer() override;

    bool start();
    void setManager(KHVManager* manager) { manager_ = manager; }
    // What dry runs list the service with.
    void setEnvironment(SyncRunEnvironment environment) { environment_ = std::move(environment); }
    // Answers one request (also the socket's handler).
    nlohmann::json handle(const nlohmann::json& request);

    void handleSocketServerMsgDict(const nlohmann::json& request,
                                   CommSocketClient& client) override;
    void taskWithIDFinished(int64_t taskId, int64_t status) override;

  private:
    std::shared_ptr<SyncBackupTask> find(int64_t id, size_t* index = nullptr) const;
    nlohmann::json describe(SyncBackupTask& task) const;
    nlohmann::json add(const nlohmann::json& request);
    void notifyDesktop(int64_t taskId, int64_t status);

    std::shared_ptr<SyncRunGuard> guard_;
    KHVManager* manager_ = nullptr;
    SyncRunEnvironment environment_;
    std::unique_ptr<CommSocketServer> server_;
    mutable std::mutex runsLock_;  // guards runs_
    // Per task: the runs ended since start and the last final status.
    std::map<int64_t, std::pair<int64_t, int64_t>> runs_;
};
