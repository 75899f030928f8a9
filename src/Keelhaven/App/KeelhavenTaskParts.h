#pragma once

#include <memory>

#include "Keelhaven/SyncBackTaskExecutor/SyncRunEnvironment.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskParts.h"
#include "Keelhaven/SyncRunGuard/SyncRunGuard.h"
#include "platform/Clock.h"

// The program's pieces of a loaded task: the real executor with the run guard in front,
// the main run loop's scheduler, the task's log file and the sync engine.
class KeelhavenTaskParts : public SyncBackupTaskParts {
  public:
    KeelhavenTaskParts(SyncRunEnvironment environment, std::shared_ptr<bv::Clock> clock);

    std::shared_ptr<SyncBackupTaskExecutor> makeExecutor(SyncBackupTask& task) override;
    std::unique_ptr<SyncBackupTaskScheduler> makeScheduler(
        const nlohmann::json& scheduleDictionary,
        std::shared_ptr<SyncBackupTaskExecutor> executor) override;
    std::shared_ptr<SyncBackupTaskLog> makeLogger(const std::string& path) override;
    std::unique_ptr<SyncBackupEngine> makeEngine(SyncBackupTask& task) override;

    const std::shared_ptr<SyncRunGuard>& guard() const { return guard_; }
    const SyncRunEnvironment& environment() const { return environment_; }

  private:
    std::shared_ptr<SyncRunGuard> guard_ = std::make_shared<SyncRunGuard>();
    SyncRunEnvironment environment_;
    std::shared_ptr<bv::Clock> clock_;
};
