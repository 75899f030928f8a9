#pragma once

#include <cstdint>
#include <string>

// Receives a task's load and the end of each of its runs. Every call has a default that does
// nothing, so an observer overrides only what it needs.
class SyncBackupTaskObserver {
  public:
    virtual ~SyncBackupTaskObserver() = default;
    virtual void taskWithIDStarted(int64_t /*taskId*/, const std::string& /*taskType*/,
                                   const std::string& /*fromPath*/, const std::string& /*toPath*/,
                                   int64_t /*status*/) {}
    virtual void taskWithIDFinished(int64_t /*taskId*/, int64_t /*status*/) {}
};

// The task list window: what it is told about every task and about the registry. Calls may
// come from any thread.
class SyncBackupTaskListWindow {
  public:
    virtual ~SyncBackupTaskListWindow() = default;
    virtual void taskWithIDChangedStatus(int64_t /*taskId*/, int64_t /*status*/) {}
    virtual void taskWithIDMadeProgress(int64_t /*taskId*/, double /*progress*/) {}
    virtual void taskWithIDRescheduled(int64_t /*taskId*/) {}
    virtual void taskWasRemovedWithID(int64_t /*taskId*/) {}
    virtual void managerDidLoadAllTasks() {}
};
