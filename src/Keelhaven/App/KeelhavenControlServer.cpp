#include "Keelhaven/App/KeelhavenControlServer.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Keelhaven/SyncBackupTask/SyncBackupTaskDraft.h"
#include "Keelhaven/SyncRunGuard/SyncRunPlanner.h"
#include "app/Logging/BVLogging.h"
#include "platform/XdgPaths.h"

extern char** environ;

using json = nlohmann::json;

namespace {

constexpr const char* kDesktopNotifier = "/usr/bin/notify-send";

json failure(const std::string& text) {
    return {{"ok", false}, {"error", text}};
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            items.push_back(item);
    return items;
}

std::string text(const json& request, const char* key) {
    auto it = request.find(key);
    return it != request.end() && it->is_string() ? it->get<std::string>() : "";
}

bool hasParentStep(const std::string& path) {
    return path == ".." || path.find("/../") != std::string::npos || path.rfind("../", 0) == 0 ||
           (path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0);
}

bool onDrive(const std::string& storedPath, const std::string& driveName) {
    std::string prefix = "/" + driveName;
    return !driveName.empty() && storedPath.compare(0, prefix.size(), prefix) == 0 &&
           (storedPath.size() == prefix.size() || storedPath[prefix.size()] == '/');
}

// The day names of "mon,tue,..."; false on an unknown name.
bool parseDays(const std::string& list, std::map<std::string, bool>* days) {
    static const std::map<std::string, std::string> names = {
        {"sun", "Sunday"},   {"mon", "Monday"}, {"tue", "Tuesday"}, {"wed", "Wednesday"},
        {"thu", "Thursday"}, {"fri", "Friday"}, {"sat", "Saturday"}};
    for (const auto& item : splitList(list)) {
        auto it = names.find(item.substr(0, 3));
        if (it == names.end())
            return false;
        (*days)[it->second] = true;
    }
    return true;
}

bool parseTime(const std::string& at, int* hour, int* minute) {
    if (at.size() != 5 || at[2] != ':')
        return false;
    for (size_t i : {0, 1, 3, 4})
        if (at[i] < '0' || at[i] > '9')
            return false;
    *hour = std::stoi(at.substr(0, 2));
    *minute = std::stoi(at.substr(3, 2));
    return *hour < 24 && *minute < 60;
}

}  // namespace

std::string KeelhavenControlServer::socketPath() {
    auto dir = bv::XdgPaths::runtimeDir();
    return dir.empty() ? "" : (dir / "keelhaven.sock").string();
}

KeelhavenControlServer::KeelhavenControlServer(std::shared_ptr<SyncRunGuard> guard)
    : guard_(std::move(guard)) {}

KeelhavenControlServer::~KeelhavenControlServer() {
    if (server_) {
        server_->setDelegate(nullptr);
        server_->stopServer();
    }
}

bool KeelhavenControlServer::start() {
    std::string path = socketPath();
    if (path.empty())
        return false;
    server_ = std::make_unique<CommSocketServer>(path);
    server_->setDelegate(this);
    return server_->startServer();
}

void KeelhavenControlServer::handleSocketServerMsgDict(const json& request,
                                                       CommSocketClient& client) {
    json answer;
    try {
        answer = handle(request);
    } catch (const std::exception& e) {
        answer = failure(e.what());
    }
    client.messageDict(answer);
}

std::shared_ptr<SyncBackupTask> KeelhavenControlServer::find(int64_t id, size_t* index) const {
    if (!manager_)
        return nullptr;
    auto tasks = manager_->tasks();
    for (size_t i = 0; i < tasks.size(); ++i) {
        if (tasks[i]->taskId() == id) {
            if (index)
                *index = i;
            return tasks[i];
        }
    }
    return nullptr;
}

json KeelhavenControlServer::describe(SyncBackupTask& task) const {
    json schedule = task.getSchedularDictionary();
    bool running = task.checkIfWasRunning();
    int64_t status = running ? SyncBackupTask::kRunning : task.lastStatus();
    json info = {{"id", task.taskId()},
                 {"name", task.taskName()},
                 {"type", task.getTaskType()},
                 {"from", task.getFromPath()},
                 {"to", task.getToPath()},
                 {"schedule", schedule.is_object() && schedule.contains("SchedularType")
                                  ? schedule["SchedularType"]
                                  : json("")},
                 {"status", status},
                 {"statusText", running ? "Running" : SyncBackupTask::statusText(status)},
                 {"running", running},
                 {"progress", task.progress()},
                 {"lastRun", task.getLastRunTime()},
                 {"nextRun", task.getNextRunTime()},
                 {"items", task.itemsProcessed()},
                 {"errors", task.errorCount()}};
    std::lock_guard lock(runsLock_);
    auto it = runs_.find(task.taskId());
    info["runs"] = it == runs_.end() ? 0 : it->second.first;
    info["lastFinishedStatus"] = it == runs_.end() ? 0 : it->second.second;
    return info;
}

json KeelhavenControlServer::add(const json& request) {
    SyncBackupTaskDraft draft;
    std::string type = text(request, "type");
    if (type == "backup")
        draft.taskType = SyncBackupTask::kBackup;
    else if (type == "sync")
        draft.taskType = SyncBackupTask::kSynchronization;
    else
        return failure("--type must be backup or sync");
    draft.fromPath = text(request, "from");
    draft.toPath = text(request, "to");
    if (draft.fromPath.empty() || draft.toPath.empty())
        return failure("--from and --to are both needed");
    if (hasParentStep(draft.fromPath) || hasParentStep(draft.toPath))
        return failure("paths may not contain \"..\"");
    std::string drive = manager_->userInfo().driveName;
    bool fromCloud = onDrive(SyncBackupTaskDraft::storedPath(draft.fromPath), drive);
    bool toCloud = onDrive(SyncBackupTaskDraft::storedPath(draft.toPath), drive);
    if (fromCloud == toCloud)
        return failure("exactly one of --from and --to must be a folder of the drive \"" + drive +
                       "\" (its mounted path, or /" + drive + "/...)");
    const std::string& local = fromCloud ? draft.toPath : draft.fromPath;
    if (local.empty() || local.front() != '/')
        return failure("the local folder must be an absolute path: " + local);

    static const std::map<std::string, std::string> schedules = {{"continuous", "Continuous"},
                                                                 {"hourly", "Hourly"},
                                                                 {"daily", "Daily"},
                                                                 {"manual", "Manual Start"}};
    std::string schedule = text(request, "schedule");
    auto chosen = schedules.find(schedule.empty() ? "manual" : schedule);
    if (chosen == schedules.end())
        return failure("--schedule must be continuous, hourly, daily or manual");
    draft.scheduleType = chosen->second;
    if (draft.scheduleType == "Daily") {
        if (!parseDays(text(request, "days"), &draft.days) || draft.days.empty())
            return failure("a daily schedule needs --days, e.g. mon,wed,fri");
        std::string at = text(request, "at");
        if (!parseTime(at.empty() ? "00:00" : at, &draft.startHour, &draft.startMinute))
            return failure("--at must be HH:MM");
    }

    std::string include = text(request, "include");
    std::string exclude = text(request, "exclude");
    if (!include.empty() && !exclude.empty())
        return failure("--include and --exclude cannot be combined");
    static const std::map<std::string, std::string> includes = {
        {"documents", "Documents"}, {"images", "Images"}, {"music", "Music"}, {"videos", "Videos"}};
    static const std::map<std::string, std::string> excludes = {{"temp", "TempFiles"},
                                                                {"hidden", "HiddenFiles"}};
    const auto& table = include.empty() ? excludes : includes;
    draft.filterType = include.empty() ? "Exclude" : "Include";
    for (const auto& [key, name] : table)
        draft.filterSwitches[name] = false;
    for (const auto& item : splitList(include.empty() ? exclude : include)) {
        auto it = table.find(item);
        if (it == table.end())
            return failure("unknown filter kind: " + item);
        draft.filterSwitches[it->second] = true;
    }
    draft.custom = text(request, "custom");
    draft.customOn = !draft.custom.empty();

    draft.toAddress = text(request, "notifyTo");
    draft.ccAddress = text(request, "notifyCc");
    draft.notificationsOn = !draft.toAddress.empty();
    for (const auto& item : splitList(text(request, "notifyOn"))) {
        if (item == "processed")
            draft.events.whenTaskCompletedSuccessfullyAndProcessed = true;
        else if (item == "warnings")
            draft.events.whenTaskCompletedSuccessfullyWithWarnings = true;
        else if (item == "failed")
            draft.events.whenTaskFailed = true;
        else if (item == "stopped")
            draft.events.whenTaskStopped = true;
        else
            return failure("unknown notification event: " + item);
    }

    auto task = draft.makeTask(manager_->context());
    int64_t threads = request.value("threads", 0);
    auto registry = manager_->context()->registry;
    if (!registry || !registry->insertTask(task->row()))
        return failure("the task could not be saved in the registry");
    if (threads > 0) {
        task->setThreadCount(static_cast<int32_t>(std::min<int64_t>(threads, 64)));
        registry->updateTaskThreadCount(task->taskId(), task->threadCount());
    }
    manager_->addTaskToList(task);
    return {{"ok", true}, {"id", task->taskId()}};
}

json KeelhavenControlServer::handle(const json& request) {
    if (!request.is_object() || !manager_)
        return failure("not a request");
    std::string cmd = text(request, "cmd");
    if (cmd == "add")
        return add(request);
    if (cmd == "list") {
        json tasks = json::array();
        for (const auto& task : manager_->tasks())
            tasks.push_back(describe(*task));
        return {{"ok", true}, {"tasks", tasks}};
    }
    int64_t id = request.value("id", int64_t{0});
    size_t index = 0;
    auto task = find(id, &index);
    if (!task)
        return failure("no task with id " + std::to_string(id));
    if (cmd == "show")
        return {{"ok", true}, {"task", describe(*task)}};
    if (cmd == "run" && request.value("dryRun", false)) {
        // Listing only; the answer waits for it, as the command line does.
        std::vector<std::string> actions;
        std::string reason;
        if (!SyncRunPlanner::plan(*task, environment_, &actions, &reason))
            return failure(reason);
        return {{"ok", true}, {"actions", actions}};
    }
    if (cmd == "run") {
        if (task->isPaused())
            return failure("the task is paused; resume it first");
        if (task->checkIfWasRunning())
            return failure("the task is running already");
        json before = describe(*task);
        if (request.value("allowDeletes", false))
            guard_->allowDeletesOnce(id);
        task->start();
        return {{"ok", true}, {"runs", before["runs"]}};
    }
    if (cmd == "stop") {
        task->stop();
        return {{"ok", true}};
    }
    if (cmd == "pause") {
        task->pause();
        return {{"ok", true}};
    }
    if (cmd == "resume") {
        task->resume();
        return {{"ok", true}};
    }
    if (cmd == "remove") {
        task->removed();
        if (auto registry = manager_->context()->registry)
            registry->removeTaskByID(id);
        manager_->removeFromListTaskAt(index);
        return {{"ok", true}};
    }
    if (cmd == "log") {
        auto path = task->getLogFilePath();
        std::ifstream in(path.value_or(""));
        std::stringstream content;
        content << in.rdbuf();
        return {{"ok", true}, {"log", content.str()}};
    }
    return failure("unknown request " + cmd);
}

void KeelhavenControlServer::taskWithIDFinished(int64_t taskId, int64_t status) {
    {
        std::lock_guard lock(runsLock_);
        auto& entry = runs_[taskId];
        ++entry.first;
        entry.second = status;
    }
    if (status == SyncBackupTask::kFailed || status == SyncBackupTask::kStopped)
        notifyDesktop(taskId, status);
}

void KeelhavenControlServer::notifyDesktop(int64_t taskId, int64_t status) {
    if ((!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) ||
        ::access(kDesktopNotifier, X_OK) != 0)
        return;
    auto task = find(taskId);
    std::string title = "Keelhaven: " + (task ? task->taskName() : std::to_string(taskId));
    std::string body =
        status == SyncBackupTask::kFailed ? "The run failed; see its log." : "The run was stopped.";
    char* argv[] = {const_cast<char*>(kDesktopNotifier),
                    const_cast<char*>("--app-name=Keelhaven"),
                    const_cast<char*>("--"),
                    title.data(),
                    body.data(),
                    nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, kDesktopNotifier, nullptr, nullptr, argv, environ) == 0)
        ::waitpid(pid, nullptr, 0);
}
