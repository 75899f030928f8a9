#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"
#include "Keelhaven/SyncBackupTask/SyncBackupNotificationEvents.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskContext.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskObserver.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskParts.h"
#include "platform/OperationQueue.h"

// One backup or synchronisation task: its settings record, its status, its life cycle
// (load, schedule, run, pause, resume, stop, remove), its counters and its files. The run
// itself is the executor's (SyncBackupTaskParts); the task owns the queue it runs on.
//
// Thread-safe. Run control (runTask, start, stop, pause, resume, removed, the scheduling
// calls) belongs to the main thread; the counters and progress are written from the run's
// threads; the control flags are read by the running engine.
class SyncBackupTask : public std::enable_shared_from_this<SyncBackupTask> {
  public:
    enum Status : int64_t {
        kIdle = 0,
        kSucceeded = 1,
        kFailed = 2,
        kStopped = 3,
        kPaused = 4,
        kRunning = 5,
        kStopping = 6,
        kRemoving = 7,
    };
    static constexpr double kMaxRunProgress = 95;
    static constexpr double kRescheduleDelay = 0.2;
    static constexpr int32_t kDefaultThreadCount = 4;
    static constexpr const char* kSynchronization = "Synchronization";
    static constexpr const char* kBackup = "Backup";

    // The display text of a status code; empty for 5 and for unknown codes.
    static std::string statusText(int64_t status);

    // A new task with an empty record.
    static std::shared_ptr<SyncBackupTask> taskObject(
        std::string name, int64_t taskId, std::shared_ptr<SyncBackupTaskContext> context);
    // A task as the registry stores it.
    static std::shared_ptr<SyncBackupTask> fromRow(const SyncBackupTaskRow& row,
                                                   std::shared_ptr<SyncBackupTaskContext> context);
    // The registry row of this task ("FromPath" and "ToPath" from the record).
    SyncBackupTaskRow row() const;

    ~SyncBackupTask();
    SyncBackupTask(const SyncBackupTask&) = delete;
    SyncBackupTask& operator=(const SyncBackupTask&) = delete;

    // Record editing.
    void setTaskType(const std::string& type);
    void setFromPath(const std::string& path);
    void setToPath(const std::string& path);
    void setToAddress(const std::string& address);
    void setCcAddress(const std::string& address);
    std::string getTaskType() const;
    std::string getFromPath() const;
    std::string getToPath() const;
    std::string getToAddress() const;
    std::string getCcAddress() const;
    // The "schedular" and "filter" dictionaries are made when absent.
    void setSchedularType(const std::string& type);
    void setDailySchedularInfo(const nlohmann::json& daily);
    nlohmann::json getSchedularDictionary() const;
    void setFilterType(const std::string& type);
    void setIncludeFilter(const nlohmann::json& include);
    void setExcludeFilter(const nlohmann::json& exclude);
    nlohmann::json getFilterDictionary() const;
    // Keeps events (a default object for null) and writes its switches into the record.
    void setSyncBackupNotificationEvents(std::shared_ptr<SyncBackupNotificationEvents> events);
    // The kept object with the record's switches read back; an absent key reads as off.
    std::shared_ptr<SyncBackupNotificationEvents> getSyncBackupNotificationEvents();
    bool isSynchronizeTask() const;
    nlohmann::json record() const;
    void setRecord(nlohmann::json record);

    // Run control.
    // Loads the task: logger, executor, scheduler, pause state from the stored status; tells
    // the observer and arms the schedule.
    void runTask(std::shared_ptr<SyncBackupTaskObserver> observer);
    // Runs now, unless paused or already running.
    void start();
    void stop();
    void pause();
    void resume();
    void removed();
    void scheduleNextRunTime();
    void resetTaskSchedule();
    // Queues the executor on a fresh queue of the task (called by the executor's run()).
    void enqueExecutor();
    // The end of a run, called by the executor with the final status.
    void rescheduleTaskWithStatus(int64_t status);
    bool checkIfWasRunning() const;
    int64_t getNextRunTime() const;
    int64_t getLastRunTime() const { return lastRunTime_.load(); }
    void setLastRunTime(int64_t secondsSince1970) { lastRunTime_.store(secondsSince1970); }

    // Counters of the current run.
    void resetCounters();
    void addItemProcessed(int64_t count);
    void addError(int64_t count);
    // Adds delta percent; the result never exceeds 95 within a run.
    void taskDidProgress(double delta);
    int64_t itemsProcessed() const { return itemProcessed_.load(); }
    int64_t errorCount() const { return errorCount_.load(); }
    double progress() const;

    // The task's files below the signed-in user's KHD folder ("Data/<name>/<id>/"); nothing
    // when the folder cannot be found or made.
    std::optional<std::string> getDbFilePath() const;
    std::optional<std::string> getLogFilePath() const;
    // The snapshot database, opened on first use; null when it has no path.
    std::shared_ptr<SyncBackupDatabase> taskDb();

    std::string taskName() const;
    void setTaskName(const std::string& name);
    int64_t taskId() const { return taskId_; }
    int64_t lastStatus() const { return lastStatus_.load(); }
    void setLastStatus(int64_t status) { lastStatus_.store(status); }
    // 4 when the stored value is below 1.
    int32_t threadCount() const;
    void setThreadCount(int32_t count) { threadCount_.store(count); }
    bool isStopped() const { return taskStopped_.load(); }
    bool isPaused() const { return taskPaused_.load(); }
    bool isRemoved() const { return taskRemoved_.load(); }
    bool emailNotificationsEnabled() const { return emailNotificationsEnabled_.load(); }
    std::shared_ptr<SyncBackupTaskLog> logger() const;
    // Writes to the task log, when there is one.
    void log(const std::string& line) const;
    const std::shared_ptr<SyncBackupTaskContext>& context() const { return context_; }

  private:
    SyncBackupTask(std::string name, int64_t taskId,
                   std::shared_ptr<SyncBackupTaskContext> context);

    std::optional<std::string> taskFolder() const;
    std::optional<std::string> taskFile(const char* extension) const;
    void setRecordValue(const std::string& key, nlohmann::json value);
    std::string recordText(const std::string& key) const;
    void setNestedValue(const char* dictionary, const char* key, nlohmann::json value);
    void invalidateTimer();
    void saveLastRun();

    const int64_t taskId_;
    const std::shared_ptr<SyncBackupTaskContext> context_;

    // Guards the record, the name, the notification object and the run's pieces below. Never
    // held while calling out (observer, window, scheduler, executor, database).
    mutable std::mutex propertiesLock_;
    std::string taskName_;
    nlohmann::json record_ = nlohmann::json::object();
    std::shared_ptr<SyncBackupNotificationEvents> notificationEvents_;
    std::shared_ptr<SyncBackupTaskLog> logger_;
    std::shared_ptr<SyncBackupTaskObserver> observer_;
    std::shared_ptr<SyncBackupTaskExecutor> executor_;
    std::shared_ptr<SyncBackupTaskScheduler> scheduler_;

    mutable std::mutex progressLock_;  // guards progress_
    double progress_ = 0;

    mutable std::mutex dbLock_;  // guards db_
    std::shared_ptr<SyncBackupDatabase> db_;

    std::atomic<int64_t> lastRunTime_{0};
    std::atomic<int64_t> lastStatus_{kIdle};
    std::atomic<int32_t> threadCount_{kDefaultThreadCount};
    std::atomic<int64_t> itemProcessed_{0};
    std::atomic<int64_t> errorCount_{0};
    std::atomic<bool> taskStopped_{false};
    std::atomic<bool> taskPaused_{false};
    std::atomic<bool> taskRemoved_{false};
    std::atomic<bool> emailNotificationsEnabled_{false};

    // Last member: destroyed first, so the queue's thread is gone before the rest goes.
    mutable std::mutex queueLock_;  // guards queue_
    std::unique_ptr<bv::OperationQueue> queue_;
};
