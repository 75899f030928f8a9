#include "Keelhaven/SyncBackupTask/KHVManager.h"

#include <algorithm>
#include <filesystem>

#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/RunLoop.h"

KHVManager::KHVManager(std::shared_ptr<SyncBackupTaskContext> context,
                       std::function<void()> terminate)
    : context_(std::move(context)), terminate_(std::move(terminate)) {
    if (!terminate_)
        terminate_ = [] { bv::RunLoop::main().stop(); };
}

KHVManager::~KHVManager() {
    // The observer goes first: after this no unmount reaches a half-destroyed registry.
    unmountObserver_.reset();
}

std::optional<std::string> KHVManager::databasePath(const std::string& userName) {
    auto root = Utilities::khdRootPathForAccount(userName);
    if (!root)
        return std::nullopt;
    return (std::filesystem::path(*root) / "SyncBackup.db").string();
}

bool KHVManager::starWithUserInfo(const KHVUserInfo& userInfo,
                                  std::shared_ptr<SyncBackupTaskObserver> delegate) {
    {
        std::lock_guard lock(tasksLock_);
        userInfo_ = userInfo;
        delegate_ = delegate;
    }
    if (context_->userName.empty())
        context_->userName = userInfo.userName;
    unmountObserver_ = bv::NotificationCenter::defaultCenter().addObserver(
        kDidUnmountNotification, [this](const std::string&, const nlohmann::json& info) {
            if (info.is_object() && info.contains(kDevicePathKey) &&
                info[kDevicePathKey].is_string())
                didUnmount(info[kDevicePathKey].get<std::string>());
        });
    if (!context_->registry) {
        auto path = databasePath(context_->userName);
        if (!path)
            return false;
        auto registry = std::make_shared<SyncBackupDatabase>(context_->clock);
        if (!registry->openSyncBackupDatabase(*path))
            return false;
        context_->registry = std::move(registry);
    }

    std::vector<std::shared_ptr<SyncBackupTask>> loaded;
    for (const auto& row : context_->registry->getAllTasks())
        loaded.push_back(SyncBackupTask::fromRow(row, context_));
    BVLog("Number of tasks:%i", loaded.size());
    if (!loaded.empty() && loaded.front()->taskId() == kSaveAsTaskId) {
        loaded.front()->setToPath("/" + userInfo.driveName + "/");
        context_->registry->updateTask(kSaveAsTaskId, loaded.front()->record());
    }
    {
        std::lock_guard lock(tasksLock_);
        taskArray_ = loaded;
    }
    for (const auto& task : loaded)
        task->runTask(delegate);
    if (context_->window)
        context_->window->managerDidLoadAllTasks();
    return true;
}

void KHVManager::addTaskToList(std::shared_ptr<SyncBackupTask> task) {
    if (!task)
        return;
    std::shared_ptr<SyncBackupTaskObserver> delegate;
    {
        std::lock_guard lock(tasksLock_);
        taskArray_.push_back(task);
        delegate = delegate_;
    }
    task->runTask(delegate);
}

std::shared_ptr<SyncBackupTask> KHVManager::getTaskAtIndex(size_t index) const {
    std::lock_guard lock(tasksLock_);
    return index < taskArray_.size() ? taskArray_[index] : nullptr;
}

void KHVManager::removeFromListTaskAt(size_t index) {
    std::shared_ptr<SyncBackupTask> dropped;  // released after the lock
    std::lock_guard lock(tasksLock_);
    if (index < taskArray_.size()) {
        dropped = taskArray_[index];
        taskArray_.erase(taskArray_.begin() + static_cast<std::ptrdiff_t>(index));
    }
}

void KHVManager::removeTasksAtIndexes(std::vector<size_t> indexes) {
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    for (auto it = indexes.rbegin(); it != indexes.rend(); ++it)
        removeFromListTaskAt(*it);
}

void KHVManager::didUnmount(const std::string& devicePath) {
    BVLog("Got didUnmount notification.");
    std::string driveName;
    {
        std::lock_guard lock(tasksLock_);
        driveName = userInfo_.driveName;
    }
    if (!driveName.empty() && devicePath == Utilities::driveMountDirectory() + "/" + driveName)
        terminate_();
}

std::vector<std::shared_ptr<SyncBackupTask>> KHVManager::tasks() const {
    std::lock_guard lock(tasksLock_);
    return taskArray_;
}

KHVUserInfo KHVManager::userInfo() const {
    std::lock_guard lock(tasksLock_);
    return userInfo_;
}
