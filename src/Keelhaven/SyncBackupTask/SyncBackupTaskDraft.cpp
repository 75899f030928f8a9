#include "Keelhaven/SyncBackupTask/SyncBackupTaskDraft.h"

#include "Keelhaven/SyncBackupTask/SyncBackupTask.h"
#include "app/Utilities.h"

using json = nlohmann::json;

namespace {

constexpr const char* kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};

std::string lastPathComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string SyncBackupTaskDraft::storedPath(const std::string& path) {
    std::string mountDirectory = Utilities::driveMountDirectory();
    if (!mountDirectory.empty() && path.size() > mountDirectory.size() &&
        path.compare(0, mountDirectory.size(), mountDirectory) == 0 &&
        path[mountDirectory.size()] == '/')
        return path.substr(mountDirectory.size());
    return path;
}

std::shared_ptr<SyncBackupTask> SyncBackupTaskDraft::makeTask(
    std::shared_ptr<SyncBackupTaskContext> context) const {
    auto id = static_cast<int64_t>(context->clock->now());
    auto task = SyncBackupTask::taskObject(lastPathComponent(fromPath), id, context);
    task->setTaskType(taskType);
    task->setFromPath(storedPath(fromPath));
    task->setToPath(storedPath(toPath));
    task->setSchedularType(scheduleType == "Continuous" ? "Permanently" : scheduleType);
    if (scheduleType == "Daily") {
        json daily = json::object();
        for (const char* day : kWeekdays) {
            auto it = days.find(day);
            daily[day] = it != days.end() && it->second;
        }
        daily["StartsAt"] = startHour * 3600 + startMinute * 60 + startSecond;
        task->setDailySchedularInfo(daily);
    }
    task->setToAddress(notificationsOn ? toAddress : "");
    task->setCcAddress(notificationsOn ? ccAddress : "");
    std::shared_ptr<SyncBackupNotificationEvents> chosen;
    if (notificationsOn) {
        chosen = std::make_shared<SyncBackupNotificationEvents>(events);
        chosen->emailNotificationsEnabled = true;
    }
    task->setSyncBackupNotificationEvents(chosen);
    task->setFilterType(filterType);
    json switches = json::object();
    for (const auto& [name, on] : filterSwitches)
        switches[name] = on;
    switches["Custom"] = customOn ? custom : "";
    if (filterType == "Include")
        task->setIncludeFilter(switches);
    else
        task->setExcludeFilter(switches);
    return task;
}
