#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Keelhaven/SyncBackupTask/SyncBackupTask.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskContext.h"
#include "platform/NotificationCenter.h"

// The signed-in user as Keelhaven knows it from the drive application's session files.
struct KHVUserInfo {
    std::string userName;
    std::string sessionId;
    std::string driveName;
    bool accessUser = false;
    int64_t uploadSpeedLimit = 0;  // bytes per second, 0 = none
};

// The task registry: loads every task of the registry database, keeps them in list order and
// ends the application when the drive's volume goes away. Its methods belong to the main
// thread.
class KHVManager {
  public:
    // Posted (through the default center) when a volume was unmounted, with
    // {"NSDevicePath": mount path}.
    static constexpr const char* kDidUnmountNotification = "NSWorkspaceDidUnmountNotification";
    static constexpr const char* kDevicePathKey = "NSDevicePath";
    // The id of the task that carries the drive's "Save As" uploads.
    static constexpr int64_t kSaveAsTaskId = 1;

    // terminate ends the application; by default it stops the main run loop.
    explicit KHVManager(std::shared_ptr<SyncBackupTaskContext> context,
                        std::function<void()> terminate = nullptr);
    ~KHVManager();
    KHVManager(const KHVManager&) = delete;
    KHVManager& operator=(const KHVManager&) = delete;

    // The registry file of a user: "SyncBackup.db" in the user's KHD folder.
    static std::optional<std::string> databasePath(const std::string& userName);

    // Keeps the user, opens the registry when the context has none, loads and runs every
    // task, and tells the window once all are loaded. False when the registry cannot be
    // opened.
    bool starWithUserInfo(const KHVUserInfo& userInfo,
                          std::shared_ptr<SyncBackupTaskObserver> delegate);
    // Appends task and loads it with the registry's observer.
    void addTaskToList(std::shared_ptr<SyncBackupTask> task);
    // Null beyond the end.
    std::shared_ptr<SyncBackupTask> getTaskAtIndex(size_t index) const;
    // Drop tasks from the list (indexes beyond the end are ignored); the tasks' rows and
    // runs are the caller's to end (removeTaskByID, SyncBackupTask::removed).
    void removeFromListTaskAt(size_t index);
    void removeTasksAtIndexes(std::vector<size_t> indexes);
    // Ends the application when devicePath is the drive's own volume (the mount directory
    // followed by the drive name).
    void didUnmount(const std::string& devicePath);

    std::vector<std::shared_ptr<SyncBackupTask>> tasks() const;
    KHVUserInfo userInfo() const;
    const std::shared_ptr<SyncBackupTaskContext>& context() const { return context_; }

  private:
    std::shared_ptr<SyncBackupTaskContext> context_;
    std::function<void()> terminate_;
    mutable std::mutex tasksLock_;  // guards everything below
    KHVUserInfo userInfo_;
    std::shared_ptr<SyncBackupTaskObserver> delegate_;
    std::vector<std::shared_ptr<SyncBackupTask>> taskArray_;
    std::unique_ptr<bv::NotificationCenter::Token> unmountObserver_;
};
