#include "Keelhaven/SyncBackupTask/SyncBackupTask.h"

#include <cctype>
#include <filesystem>

#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/XdgPaths.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kAppSupportFailure =
    "Unable to find or create application support directory:\n%@";

// The record's "emailNotificationsEnabled" is the text "YES" or "NO", read by its boolean
// value: leading white space, an optional sign, then Y, T or a non-zero digit.
bool boolValue(const json& value) {
    if (value.is_boolean())
        return value.get<bool>();
    if (value.is_number())
        return value.get<double>() != 0;
    if (!value.is_string())
        return false;
    const std::string& text = value.get_ref<const std::string&>();
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    while (i < text.size() && text[i] == '0')
        ++i;
    if (i >= text.size())
        return false;
    char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

bool recordBool(const json& record, const char* key) {
    auto it = record.find(key);
    return it != record.end() && boolValue(*it);
}

// A task name becomes one folder name; anything that could name another folder is refused.
bool isSafeComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

std::string SyncBackupTask::statusText(int64_t status) {
    switch (status) {
        case kIdle:
            return "Idle";
        case kSucceeded:
            return "Succeeded";
        case kFailed:
            return "Failed";
        case kStopped:
            return "Stopped";
        case kPaused:
            return "Paused";
        case kStopping:
            return "Stopping...";
        case kRemoving:
            return "Removing...";
        default:
            return "";
    }
}

SyncBackupTask::SyncBackupTask(std::string name, int64_t taskId,
                               std::shared_ptr<SyncBackupTaskContext> context)
    : taskId_(taskId), context_(std::move(context)), taskName_(std::move(name)) {}

SyncBackupTask::~SyncBackupTask() {
    // No run is executing here (a run keeps its task alive); the queue's thread has at most
    // the end of the operation left.
    std::lock_guard lock(queueLock_);
    queue_.reset();
}

std::shared_ptr<SyncBackupTask> SyncBackupTask::taskObject(
    std::string name, int64_t taskId, std::shared_ptr<SyncBackupTaskContext> context) {
    return std::shared_ptr<SyncBackupTask>(
        new SyncBackupTask(std::move(name), taskId, std::move(context)));
}

std::shared_ptr<SyncBackupTask> SyncBackupTask::fromRow(
    const SyncBackupTaskRow& row, std::shared_ptr<SyncBackupTaskContext> context) {
    auto task = taskObject(row.taskName, row.taskId, std::move(context));
    task->record_ = row.record.is_object() ? row.record : json::object();
    task->lastRunTime_.store(row.lastRunTime);
    task->lastStatus_.store(row.status);
    task->threadCount_.store(row.threadCount);
    return task;
}

SyncBackupTaskRow SyncBackupTask::row() const {
    std::lock_guard lock(propertiesLock_);
    SyncBackupTaskRow row;
    row.taskName = taskName_;
    row.taskId = taskId_;
    row.fromPath = record_.value("FromPath", std::string());
    row.toPath = record_.value("ToPath", std::string());
    row.lastRunTime = lastRunTime_.load();
    row.status = lastStatus_.load();
    row.record = record_;
    row.threadCount = threadCount_.load();
    return row;
}

void SyncBackupTask::setRecordValue(const std::string& key, json value) {
    std::lock_guard lock(propertiesLock_);
    record_[key] = std::move(value);
}

std::string SyncBackupTask::recordText(const std::string& key) const {
    std::lock_guard lock(propertiesLock_);
    auto it = record_.find(key);
    return it != record_.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void SyncBackupTask::setNestedValue(const char* dictionary, const char* key, json value) {
    std::lock_guard lock(propertiesLock_);
    json& nested = record_[dictionary];
    if (!nested.is_object())
        nested = json::object();
    nested[key] = std::move(value);
}

void SyncBackupTask::setTaskType(const std::string& type) {
    setRecordValue("TaskType", type);
}
void SyncBackupTask::setFromPath(const std::string& path) {
    setRecordValue("FromPath", path);
}
void SyncBackupTask::setToPath(const std::string& path) {
    setRecordValue("ToPath", path);
}
void SyncBackupTask::setToAddress(const std::string& address) {
    setRecordValue("ToAddress", address);
}
void SyncBackupTask::setCcAddress(const std::string& address) {
    setRecordValue("CcAddress", address);
}
std::string SyncBackupTask::getTaskType() const {
    return recordText("TaskType");
}
std::string SyncBackupTask::getFromPath() const {
    return recordText("FromPath");
}
std::string SyncBackupTask::getToPath() const {
    return recordText("ToPath");
}
std::string SyncBackupTask::getToAddress() const {
    return recordText("ToAddress");
}
std::string SyncBackupTask::getCcAddress() const {
    return recordText("CcAddress");
}

void SyncBackupTask::setSchedularType(const std::string& type) {
    setNestedValue("schedular", "SchedularType", type);
}

void SyncBackupTask::setDailySchedularInfo(const json& daily) {
    setNestedValue("schedular", "Daily", daily);
}

json SyncBackupTask::getSchedularDictionary() const {
    std::lock_guard lock(propertiesLock_);
    return record_.value("schedular", json::object());
}

void SyncBackupTask::setFilterType(const std::string& type) {
    setNestedValue("filter", "filterType", type);
}

void SyncBackupTask::setIncludeFilter(const json& include) {
    setNestedValue("filter", "Include", include);
}

void SyncBackupTask::setExcludeFilter(const json& exclude) {
    setNestedValue("filter", "Exclude", exclude);
}

json SyncBackupTask::getFilterDictionary() const {
    std::lock_guard lock(propertiesLock_);
    return record_.value("filter", json::object());
}

void SyncBackupTask::setSyncBackupNotificationEvents(
    std::shared_ptr<SyncBackupNotificationEvents> events) {
    if (!events)
        events = std::make_shared<SyncBackupNotificationEvents>();
    std::lock_guard lock(propertiesLock_);
    record_["completedSuccessfullyAndProcessed"] =
        events->whenTaskCompletedSuccessfullyAndProcessed;
    record_["completedSuccessfullyWithWarnings"] =
        events->whenTaskCompletedSuccessfullyWithWarnings;
    record_["failed"] = events->whenTaskFailed;
    record_["stopped"] = events->whenTaskStopped;
    record_["emailNotificationsEnabled"] = events->emailNotificationsEnabled ? "YES" : "NO";
    emailNotificationsEnabled_.store(events->emailNotificationsEnabled);
    notificationEvents_ = std::move(events);
}

std::shared_ptr<SyncBackupNotificationEvents> SyncBackupTask::getSyncBackupNotificationEvents() {
    std::lock_guard lock(propertiesLock_);
    if (!notificationEvents_)
        notificationEvents_ = std::make_shared<SyncBackupNotificationEvents>();
    auto& events = *notificationEvents_;
    events.whenTaskCompletedSuccessfullyAndProcessed =
        recordBool(record_, "completedSuccessfullyAndProcessed");
    events.whenTaskCompletedSuccessfullyWithWarnings =
        recordBool(record_, "completedSuccessfullyWithWarnings");
    events.whenTaskFailed = recordBool(record_, "failed");
    events.whenTaskStopped = recordBool(record_, "stopped");
    events.emailNotificationsEnabled = recordBool(record_, "emailNotificationsEnabled");
    emailNotificationsEnabled_.store(events.emailNotificationsEnabled);
    return notificationEvents_;
}

bool SyncBackupTask::isSynchronizeTask() const {
    return getTaskType() == kSynchronization;
}

json SyncBackupTask::record() const {
    std::lock_guard lock(propertiesLock_);
    return record_;
}

void SyncBackupTask::setRecord(json record) {
    std::lock_guard lock(propertiesLock_);
    record_ = record.is_object() ? std::move(record) : json::object();
}

std::string SyncBackupTask::taskName() const {
    std::lock_guard lock(propertiesLock_);
    return taskName_;
}

void SyncBackupTask::setTaskName(const std::string& name) {
    std::lock_guard lock(propertiesLock_);
    taskName_ = name;
}

int32_t SyncBackupTask::threadCount() const {
    int32_t count = threadCount_.load();
    return count < 1 ? kDefaultThreadCount : count;
}

std::shared_ptr<SyncBackupTaskLog> SyncBackupTask::logger() const {
    std::lock_guard lock(propertiesLock_);
    return logger_;
}

void SyncBackupTask::log(const std::string& line) const {
    if (auto taskLog = logger())
        taskLog->log(line);
}

// ---- Run control ----

void SyncBackupTask::runTask(std::shared_ptr<SyncBackupTaskObserver> observer) {
    auto logPath = getLogFilePath();
    auto taskLog = logPath ? context_->parts->makeLogger(*logPath) : nullptr;
    auto executor = context_->parts->makeExecutor(*this);
    std::shared_ptr<SyncBackupTaskScheduler> scheduler =
        context_->parts->makeScheduler(getSchedularDictionary(), executor);
    std::string type, from, to;
    {
        std::lock_guard lock(propertiesLock_);
        logger_ = std::move(taskLog);
        observer_ = observer;
        executor_ = executor;
        scheduler_ = scheduler;
        type = record_.value("TaskType", std::string());
        from = record_.value("FromPath", std::string());
        to = record_.value("ToPath", std::string());
    }
    taskRemoved_.store(false);
    if (lastStatus_.load() == kPaused)
        taskPaused_.store(true);
    if (observer)
        observer->taskWithIDStarted(taskId_, type, from, to, lastStatus_.load());
    if (scheduler)
        scheduler->scheduleNextRunTime();
}

void SyncBackupTask::invalidateTimer() {
    std::shared_ptr<SyncBackupTaskScheduler> scheduler;
    {
        std::lock_guard lock(propertiesLock_);
        scheduler = scheduler_;
    }
    if (scheduler)
        scheduler->invalidateTimer();
}

bool SyncBackupTask::checkIfWasRunning() const {
    std::shared_ptr<SyncBackupTaskExecutor> executor;
    {
        std::lock_guard lock(propertiesLock_);
        executor = executor_;
    }
    return executor && executor->isExecuting();
}

int64_t SyncBackupTask::getNextRunTime() const {
    std::shared_ptr<SyncBackupTaskScheduler> scheduler;
    {
        std::lock_guard lock(propertiesLock_);
        scheduler = scheduler_;
    }
    return scheduler ? scheduler->getNextRunTime() : 0;
}

void SyncBackupTask::start() {
    if (taskPaused_.load() || checkIfWasRunning())
        return;
    invalidateTimer();
    std::shared_ptr<SyncBackupTaskExecutor> executor;
    {
        std::lock_guard lock(propertiesLock_);
        executor = executor_;
    }
    if (executor)
        executor->run();
    taskStopped_.store(false);
}

void SyncBackupTask::enqueExecutor() {
    std::shared_ptr<SyncBackupTaskExecutor> executor;
    {
        std::lock_guard lock(propertiesLock_);
        executor = executor_;
    }
    auto queue = std::make_unique<bv::OperationQueue>("task " + std::to_string(taskId_), 1);
    std::unique_ptr<bv::OperationQueue> old;
    {
        std::lock_guard lock(queueLock_);
        old = std::move(queue_);
    }
    old.reset();
    invalidateTimer();
    if (!executor)
        return;
    // The run keeps the task alive, so whoever drops the task meanwhile never waits for the
    // run (which may itself be waiting for the main thread). The run's reference is let go on
    // the main thread: the last one must not go on the queue's own thread, which the task's
    // destructor joins.
    auto context = context_;
    auto operation = [executor, context, self = shared_from_this()]() mutable {
        executor->main();
        context->performOnMain([self = std::move(self)] {});
    };
    std::lock_guard lock(queueLock_);
    queue_ = std::move(queue);
    queue_->addOperation(std::move(operation));
}

void SyncBackupTask::rescheduleTaskWithStatus(int64_t status) {
    std::shared_ptr<SyncBackupTaskObserver> observer;
    {
        std::lock_guard lock(propertiesLock_);
        observer = observer_;
    }
    if (observer)
        observer->taskWithIDFinished(taskId_, status);
    if (taskRemoved_.load()) {
        if (context_->window)
            context_->window->taskWasRemovedWithID(taskId_);
        return;
    }
    invalidateTimer();
    auto self = shared_from_this();
    context_->performOnMainAndWait([self] { self->resetTaskSchedule(); });
}

void SyncBackupTask::resetTaskSchedule() {
    std::weak_ptr<SyncBackupTask> weak = weak_from_this();
    context_->performAfterDelay(kRescheduleDelay, [weak] {
        if (auto task = weak.lock())
            task->scheduleNextRunTime();
    });
}

void SyncBackupTask::scheduleNextRunTime() {
    std::shared_ptr<SyncBackupTaskExecutor> oldExecutor;
    std::shared_ptr<SyncBackupTaskScheduler> oldScheduler;
    {
        std::lock_guard lock(propertiesLock_);
        oldExecutor = std::move(executor_);
        oldScheduler = std::move(scheduler_);
    }
    std::unique_ptr<bv::OperationQueue> oldQueue;
    {
        std::lock_guard lock(queueLock_);
        oldQueue = std::move(queue_);
    }
    // The finished run's queue thread may still be returning from the executor.
    oldQueue.reset();
    oldScheduler.reset();
    oldExecutor.reset();

    auto executor = context_->parts->makeExecutor(*this);
    std::shared_ptr<SyncBackupTaskScheduler> scheduler =
        context_->parts->makeScheduler(getSchedularDictionary(), executor);
    {
        std::lock_guard lock(propertiesLock_);
        executor_ = executor;
        scheduler_ = scheduler;
    }
    if (scheduler)
        scheduler->scheduleNextRunTime();
    taskStopped_.store(false);
    taskPaused_.store(false);
    if (context_->window)
        context_->window->taskWithIDRescheduled(taskId_);
}

void SyncBackupTask::saveLastRun() {
    if (context_->registry)
        context_->registry->updateTaskLastRun(taskId_, lastRunTime_.load(), lastStatus_.load());
}

void SyncBackupTask::stop() {
    invalidateTimer();
    taskStopped_.store(true);
}

void SyncBackupTask::pause() {
    invalidateTimer();
    lastStatus_.store(kPaused);
    saveLastRun();
    taskPaused_.store(true);
}

void SyncBackupTask::resume() {
    lastStatus_.store(kSucceeded);
    saveLastRun();
    taskPaused_.store(false);
}

void SyncBackupTask::removed() {
    taskPaused_.store(false);
    if (checkIfWasRunning()) {
        taskStopped_.store(true);
    } else {
        invalidateTimer();
        if (context_->window)
            context_->window->taskWasRemovedWithID(taskId_);
    }
    taskRemoved_.store(true);
}

// ---- Counters ----

void SyncBackupTask::resetCounters() {
    {
        std::lock_guard lock(progressLock_);
        progress_ = 0;
    }
    itemProcessed_.store(0);
    errorCount_.store(0);
}

void SyncBackupTask::addItemProcessed(int64_t count) {
    itemProcessed_.fetch_add(count);
}

void SyncBackupTask::addError(int64_t count) {
    errorCount_.fetch_add(count);
}

void SyncBackupTask::taskDidProgress(double delta) {
    double progress;
    {
        std::lock_guard lock(progressLock_);
        progress_ += delta;
        if (progress_ >= kMaxRunProgress)
            progress_ = kMaxRunProgress;
        progress = progress_;
    }
    if (context_->window)
        context_->window->taskWithIDMadeProgress(taskId_, progress);
}

double SyncBackupTask::progress() const {
    std::lock_guard lock(progressLock_);
    return progress_;
}

// ---- Files ----

std::optional<std::string> SyncBackupTask::taskFolder() const {
    std::string name = taskName();
    std::optional<std::string> base;
    if (context_->userName.empty()) {
        base = Utilities::taskFileDirectory(name);
    } else if (auto root = Utilities::khdRootPathForAccount(context_->userName)) {
        if (isSafeComponent(name))
            base = (fs::path(*root) / "Data" / name).string();
        else
            BVLog(kAppSupportFailure, "refused task name " + name);
    }
    if (!base)
        return std::nullopt;
    fs::path folder = fs::path(*base) / std::to_string(taskId_);
    if (!bv::XdgPaths::createPrivateDirectories(folder)) {
        BVLog(kAppSupportFailure, "Cannot create " + folder.string());
        return std::nullopt;
    }
    return folder.string();
}

std::optional<std::string> SyncBackupTask::taskFile(const char* extension) const {
    auto folder = taskFolder();
    if (!folder)
        return std::nullopt;
    return (fs::path(*folder) / (taskName() + "." + std::to_string(taskId_) + extension)).string();
}

std::optional<std::string> SyncBackupTask::getDbFilePath() const {
    return taskFile(".db");
}

std::optional<std::string> SyncBackupTask::getLogFilePath() const {
    return taskFile(".log");
}

std::shared_ptr<SyncBackupDatabase> SyncBackupTask::taskDb() {
    std::lock_guard lock(dbLock_);
    if (!db_) {
        auto path = getDbFilePath();
        if (!path)
            return nullptr;
        auto db = std::make_shared<SyncBackupDatabase>(context_->clock);
        db->openSyncBackupDatabase(*path);
        db_ = std::move(db);
    }
    return db_;
}
