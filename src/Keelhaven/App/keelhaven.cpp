// keelhaven: the backup manager that the drive application launches (no subcommand), and
// the `task` subcommands that control it through its control socket.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "BVApi/Networking/BVApiClient.h"
#include "Keelhaven/App/KeelhavenApplication.h"
#include "Keelhaven/App/KeelhavenControlServer.h"
#include "Keelhaven/App/KeelhavenTaskParts.h"
#include "Keelhaven/BrimvaultAPIClient/BrimvaultApiClient.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "comms/CommSocketClient.h"
#include "platform/RunLoop.h"

using json = nlohmann::json;

namespace {

int runApplication(pid_t watchPid) {
    bv::RunLoop::makeCurrentThreadMain();
    BVLogging::setupWithPrefix("KHV");
    auto clock = bv::Clock::system();
    SyncRunEnvironment environment;
    environment.api = std::make_shared<BrimvaultApiClient>();
    auto parts = std::make_shared<KeelhavenTaskParts>(environment, clock);
    auto control = std::make_shared<KeelhavenControlServer>(parts->guard());
    control->setEnvironment(parts->environment());
    auto context = SyncBackupTaskContext::make();
    context->clock = clock;
    context->parts = parts;

    KeelhavenApplication::Hooks hooks;
    hooks.observer = control;
    hooks.registryStarted = [control](KHVManager& manager) { control->setManager(&manager); };
    KeelhavenApplication app(context, hooks);
    if (!app.applicationDidFinishLaunching())
        std::cerr << "keelhaven: the command socket cannot be served\n";
    if (!control->start()) {
        std::cerr << "keelhaven: the control socket " << KeelhavenControlServer::socketPath()
                  << " cannot be served\n";
        return 1;
    }
    if (watchPid > 0)
        app.watchDrivingApplication(watchPid);
    // SIGTERM from the drive application ends the loop like "close".
    static int signalPipe[2] = {-1, -1};
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        ::signal(SIGTERM, [](int) { (void)!::write(signalPipe[1], "x", 1); });
        ::signal(SIGINT, [](int) { (void)!::write(signalPipe[1], "x", 1); });
        bv::RunLoop::main().addFdSource(signalPipe[0], POLLIN, [](short) {
            char drained[16];
            (void)!::read(signalPipe[0], drained, sizeof drained);
            bv::RunLoop::main().stop();
        });
    }
    bv::RunLoop::main().run();
    BVLog("Keelhaven quits.");
    // A run ends by handing its status to the main loop, so the loop turns until the stopped
    // runs are over before the tasks go.
    if (auto* manager = app.manager()) {
        auto tasks = manager->tasks();
        for (const auto& task : tasks)
            task->stop();
        bv::RunLoop::main().runUntil(
            [&] {
                for (const auto& task : tasks)
                    if (task->checkIfWasRunning())
                        return false;
                return true;
            },
            60);
        bv::RunLoop::main().runFor(0.5);
    }
    control->setManager(nullptr);
    return 0;
}

// One request to the running application; its answer, or an "error" answer.
class ControlClient : public CommSocketClientDelegate {
  public:
    json ask(const json& request) {
        auto client = CommSocketClient::initWithSocketURL(KeelhavenControlServer::socketPath());
        if (!client || !client->startClient() || !client->isSockConnected())
            return {{"ok", false},
                    {"error", "Keelhaven is not running (no control socket at " +
                                  KeelhavenControlServer::socketPath() + ")"}};
        client->setDelegate(this);
        answer_ = nullptr;
        client->messageDict(request);
        bv::RunLoop::main().runUntil([&] { return !answer_.is_null() || lost_; }, 30);
        client->setDelegate(nullptr);
        client->stopClient();
        if (answer_.is_null())
            return {{"ok", false}, {"error", "Keelhaven did not answer"}};
        return answer_;
    }
    void handleSocketClientMsgDict(const json& object, CommSocketClient&) override {
        answer_ = object;
    }
    void handleSocketClientDisconnect(CommSocketClient&) override { lost_ = true; }

  private:
    json answer_;
    bool lost_ = false;
};

std::string timeText(int64_t seconds) {
    if (seconds <= 0)
        return "-";
    time_t when = static_cast<time_t>(seconds);
    struct tm local {};
    char text[32] = "";
    localtime_r(&when, &local);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

void printTask(const json& t) {
    std::cout << t.value("id", int64_t{0}) << "  " << t.value("name", "") << "  "
              << t.value("type", "") << "  " << t.value("from", "") << " -> " << t.value("to", "")
              << "  " << t.value("schedule", "") << "  " << t.value("statusText", "") << "  last "
              << timeText(t.value("lastRun", int64_t{0})) << "  next "
              << timeText(t.value("nextRun", int64_t{0})) << "\n";
}

int fail(const json& answer) {
    std::cerr << "keelhaven: " << answer.value("error", "failed") << "\n";
    return 2;
}

// Follows a started run to its end; 0 Succeeded, 1 Failed, 3 Stopped.
int waitForRun(ControlClient& control, int64_t id, int64_t runsBefore) {
    bool terminal = ::isatty(STDOUT_FILENO);
    while (true) {
        json answer = control.ask({{"cmd", "show"}, {"id", id}});
        if (!answer.value("ok", false))
            return fail(answer);
        const json& t = answer["task"];
        if (t.value("runs", int64_t{0}) > runsBefore) {
            if (terminal)
                std::cout << "\n";
            int64_t status = t.value("lastFinishedStatus", int64_t{0});
            std::cout << SyncBackupTask::statusText(status) << ": " << t.value("items", 0)
                      << " items, " << t.value("errors", 0) << " errors\n";
            return status == SyncBackupTask::kSucceeded ? 0
                   : status == SyncBackupTask::kStopped ? 3
                                                        : 1;
        }
        double progress = t.value("progress", 0.0);
        if (terminal) {
            int filled = static_cast<int>(progress / 100 * 30);
            std::printf("\r[%-30s] %3.0f%% %s", std::string(filled, '#').c_str(), progress,
                        t.value("running", false) ? "running" : "waiting");
            std::fflush(stdout);
        } else {
            std::printf("%.0f%% %s\n", progress, t.value("running", false) ? "running" : "waiting");
        }
        bv::RunLoop::main().runFor(0.5);
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App cli{"Keelhaven, the backup manager of Brimvault"};
    pid_t watchPid = 0;
    cli.add_option("--watch-pid", watchPid, "Quit when this process (the drive application) ends");
    std::string mountDirectory;
    cli.add_option("--mount-dir", mountDirectory,
                   "Folder that holds the drive's mount point (as the drive application has it)");
    auto* task = cli.add_subcommand("task", "Create and control backup and sync tasks");
    task->require_subcommand(1);

    json addRequest = {{"cmd", "add"}};
    std::string type, from, to, schedule, days, at, include, exclude, custom, notifyTo, notifyCc,
        notifyOn;
    int threads = 0;
    auto* add = task->add_subcommand("add", "Create a task and print its id");
    add->add_option("--type", type, "backup or sync")->required();
    add->add_option("--from", from, "Source folder")->required();
    add->add_option("--to", to, "Destination folder")->required();
    add->add_option("--schedule", schedule, "continuous, hourly, daily or manual");
    add->add_option("--days", days, "Days of a daily schedule: mon,tue,...");
    add->add_option("--at", at, "Time of a daily schedule, HH:MM");
    add->add_option("--include", include, "Only these kinds: documents,images,music,videos");
    add->add_option("--exclude", exclude, "Leave out: temp,hidden");
    add->add_option("--custom", custom, "Custom filter text");
    add->add_option("--threads", threads, "Parallel actions (default 4)");
    add->add_option("--notify-to", notifyTo, "E-mail addresses to notify");
    add->add_option("--notify-cc", notifyCc, "Copy recipients");
    add->add_option("--notify-on", notifyOn, "processed,warnings,failed,stopped");

    bool asJson = false;
    auto* list = task->add_subcommand("list", "List the tasks");
    list->add_flag("--json", asJson, "Print JSON");

    int64_t id = 0;
    bool wait = false, dryRun = false, allowDeletes = false;
    auto idCommand = [&](const char* name, const char* help) {
        auto* sub = task->add_subcommand(name, help);
        sub->add_option("ID", id, "Task id")->required();
        return sub;
    };
    auto* show = idCommand("show", "Show one task");
    auto* run = idCommand("run", "Run a task now");
    run->add_flag("--wait", wait, "Follow the run; exit 0 Succeeded, 1 Failed, 3 Stopped");
    run->add_flag("--dry-run", dryRun, "Print what the run would do without doing it");
    run->add_flag("--allow-deletes", allowDeletes, "Let this run delete many files");
    auto* stop = idCommand("stop", "Stop a running task");
    auto* pause = idCommand("pause", "Pause a task");
    auto* resume = idCommand("resume", "Resume a paused task");
    auto* remove = idCommand("remove", "Remove a task");
    auto* log = idCommand("log", "Print a task's log");

    CLI11_PARSE(cli, argc, argv);
    if (!task->parsed()) {
        if (!mountDirectory.empty())
            Utilities::setMountDirectoryOverride(mountDirectory);
        return runApplication(watchPid);
    }

    bv::RunLoop::makeCurrentThreadMain();
    ControlClient control;
    if (add->parsed()) {
        json answer = control.ask({{"cmd", "add"},
                                   {"type", type},
                                   {"from", from},
                                   {"to", to},
                                   {"schedule", schedule},
                                   {"days", days},
                                   {"at", at},
                                   {"include", include},
                                   {"exclude", exclude},
                                   {"custom", custom},
                                   {"threads", threads},
                                   {"notifyTo", notifyTo},
                                   {"notifyCc", notifyCc},
                                   {"notifyOn", notifyOn}});
        if (!answer.value("ok", false))
            return fail(answer);
        std::cout << answer.value("id", int64_t{0}) << "\n";
        return 0;
    }
    if (list->parsed()) {
        json answer = control.ask({{"cmd", "list"}});
        if (!answer.value("ok", false))
            return fail(answer);
        if (asJson)
            std::cout << answer["tasks"].dump(2) << "\n";
        else
            for (const auto& t : answer["tasks"])
                printTask(t);
        return 0;
    }
    if (run->parsed() && dryRun) {
        json answer = control.ask({{"cmd", "run"}, {"id", id}, {"dryRun", true}});
        if (!answer.value("ok", false))
            return fail(answer);
        for (const auto& action : answer["actions"])
            std::cout << action.get<std::string>() << "\n";
        if (answer["actions"].empty())
            std::cout << "nothing to do\n";
        return 0;
    }
    const char* cmd = show->parsed()     ? "show"
                      : run->parsed()    ? "run"
                      : stop->parsed()   ? "stop"
                      : pause->parsed()  ? "pause"
                      : resume->parsed() ? "resume"
                      : remove->parsed() ? "remove"
                                         : "log";
    (void)log;
    json answer = control.ask({{"cmd", cmd}, {"id", id}, {"allowDeletes", allowDeletes}});
    if (!answer.value("ok", false))
        return fail(answer);
    if (show->parsed())
        printTask(answer["task"]);
    else if (std::string(cmd) == "log")
        std::cout << answer.value("log", "");
    else if (run->parsed() && wait)
        return waitForRun(control, id, answer.value("runs", int64_t{0}));
    return 0;
}
