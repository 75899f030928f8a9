#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskObserver.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskParts.h"
#include "platform/Clock.h"

// What every task of one registry shares: the clock, the registry database, the makers of
// the run's pieces, the task list window, the signed-in user and the way to reach the main
// thread. The registry fills it once; tasks only read it.
struct SyncBackupTaskContext {
    using Task = std::function<void()>;

    std::shared_ptr<bv::Clock> clock = bv::Clock::system();
    std::shared_ptr<SyncBackupDatabase> registry;
    std::shared_ptr<SyncBackupTaskParts> parts;
    std::shared_ptr<SyncBackupTaskListWindow> window;
    // The signed-in user whose folder below the data folder holds the task files; empty
    // means the user of the session file.
    std::string userName;
    // Runs a task on the main thread and waits for it (the main run loop by default).
    std::function<void(Task)> performOnMainAndWait;
    // Runs a task on the main thread after a delay in seconds (a main run loop timer by
    // default).
    std::function<void(double, Task)> performAfterDelay;
    // Runs a task on the main thread later, never on the calling thread (the main run loop by
    // default).
    std::function<void(Task)> performOnMain;

    // A context with the main run loop behind both main-thread functions.
    static std::shared_ptr<SyncBackupTaskContext> make();
};
