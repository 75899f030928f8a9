#pragma once

#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "Keelhaven/SyncBackupTask/SyncBackupNotificationEvents.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskContext.h"

class SyncBackupTask;

// What the task editor collects for a new task, and how it becomes a task record.
struct SyncBackupTaskDraft {
    std::string taskType;  // "Synchronization" or "Backup"
    // As chosen; the cloud side may be the mounted volume's path, mount directory included.
    std::string fromPath;
    std::string toPath;
    std::string scheduleType;          // "Continuous", "Daily", "Hourly" or "Manual Start"
    std::map<std::string, bool> days;  // "Sunday" ... "Saturday", for a daily schedule
    int startHour = 0, startMinute = 0, startSecond = 0;
    bool notificationsOn = false;
    std::string toAddress;
    std::string ccAddress;
    SyncBackupNotificationEvents events;
    std::string filterType;  // "Include" or "Exclude"
    // The chosen type's switches ("Documents", "Images", ... or "TempFiles", "HiddenFiles").
    std::map<std::string, bool> filterSwitches;
    bool customOn = false;
    std::string custom;

    // A task named after the source folder, with the current second as its id.
    std::shared_ptr<SyncBackupTask> makeTask(std::shared_ptr<SyncBackupTaskContext> context) const;
    // path without the mount directory, so the volume's folder Projects of MyDrive reads
    // /MyDrive/Projects; other paths unchanged.
    static std::string storedPath(const std::string& path);
};
