#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "Keelhaven/SyncBackTaskExecutor/SyncRunEnvironment.h"

class SyncBackupDatabase;
class SyncBackupTask;

// Refuses a run that would do damage because one side went away by mistake, before the run
// changes anything:
// - a task that has run before whose local folder is missing (an unmounted disk, a renamed
//   folder) fails instead of getting an empty folder whose emptiness would be carried over;
// - a synchronisation that would delete more than half of the files recorded for one side,
//   and at least kMinimumDeletions, fails naming the count, unless allowed once by hand.
//
// Thread-safe: runs of several tasks may ask at once.
class SyncRunGuard : public std::enable_shared_from_this<SyncRunGuard> {
  public:
    static constexpr int64_t kMinimumDeletions = 50;

    // What the snapshot records for one side and how much of it is gone there now.
    struct SideCount {
        int64_t recorded = 0;
        int64_t missing = 0;
    };

    // Sets environment.beforeRun to this guard's check; the check lists the service with
    // the environment's client and user.
    void install(SyncRunEnvironment& environment);
    // The next run of that task may delete as much as it finds.
    void allowDeletesOnce(int64_t taskId);

    // False with the reason when the run must not go on.
    bool check(SyncBackupTask& task, const SyncRunEnvironment& environment,
               const std::string& localFolder, const std::string& cloudFolder, std::string* reason);

    // The recorded local files below localFolder and those no longer on the disk.
    static SideCount countLocal(SyncBackupDatabase& db, const std::string& localFolder);
    // The recorded cloud files below cloudFolder and those no longer at the service; false
    // with the reason when a listing failed for another reason than "no such item".
    static bool countCloud(SyncBackupDatabase& db, const SyncRunEnvironment& environment,
                           const std::string& cloudFolder, SideCount* count, std::string* reason);

  private:
    bool takeAllowance(int64_t taskId);

    std::mutex allowedLock_;  // guards allowed_
    std::set<int64_t> allowed_;
};
