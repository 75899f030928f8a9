#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Keelhaven/SyncBackupDatabase/FileSystemObjects.h"

class SyncBackupTask;

// The operation that runs a task once. It lives on the task's own queue; the task makes a
// new one for every scheduling.
class SyncBackupTaskExecutor {
  public:
    virtual ~SyncBackupTaskExecutor() = default;
    // Starts a run: records the start time on the task and has the task queue this
    // executor (SyncBackupTask::enqueExecutor). Ignored while a run is executing.
    virtual void run() = 0;
    // The run itself, on the task's queue thread. Ends by handing the final status to
    // SyncBackupTask::rescheduleTaskWithStatus.
    virtual void main() = 0;
    virtual bool isExecuting() const = 0;
};

// The owner of a task's timer: arms it for the next run of the schedule.
class SyncBackupTaskScheduler {
  public:
    virtual ~SyncBackupTaskScheduler() = default;
    virtual void scheduleNextRunTime() = 0;
    // Invalidates and drops the armed timer, if any.
    virtual void invalidateTimer() = 0;
    // Seconds since 1970; 0 when no run is armed.
    virtual int64_t getNextRunTime() const = 0;
};

// The writer of a task's log file: one line per call.
class SyncBackupTaskLog {
  public:
    virtual ~SyncBackupTaskLog() = default;
    virtual void log(const std::string& line) = 0;
};

// The engine run over the two root folders of a task.
class SyncBackupEngine {
  public:
    virtual ~SyncBackupEngine() = default;
    // False when a listing failed.
    virtual bool startEngineWithFromFolder(const FileSystemObjects& fromFolder,
                                           const FileSystemObjects& toFolder, bool isCloudFolder,
                                           std::vector<FileSystemObjects>* taskFilesOut,
                                           double progressFactor) = 0;
};

// Makes the pieces a loaded task runs with. The program gives the real executor, scheduler,
// logger and engine; tests give fakes.
class SyncBackupTaskParts {
  public:
    virtual ~SyncBackupTaskParts() = default;
    virtual std::shared_ptr<SyncBackupTaskExecutor> makeExecutor(SyncBackupTask& task) = 0;
    virtual std::unique_ptr<SyncBackupTaskScheduler> makeScheduler(
        const nlohmann::json& scheduleDictionary,
        std::shared_ptr<SyncBackupTaskExecutor> executor) = 0;
    // Null when the log file cannot be written: the task then logs nothing.
    virtual std::shared_ptr<SyncBackupTaskLog> makeLogger(const std::string& path) = 0;
    virtual std::unique_ptr<SyncBackupEngine> makeEngine(SyncBackupTask& task) = 0;
};
