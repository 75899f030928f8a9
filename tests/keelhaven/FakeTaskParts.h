#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Keelhaven/SyncBackupTask/SyncBackupTask.h"

// Stand-ins for the run's pieces: an executor whose run waits at a gate the test opens, a
// scheduler that counts, a logger that keeps its lines, and main-thread hand-overs that run
// at once or when the test fires them.
namespace khtest {

struct Gate {
    void open() {
        std::lock_guard lock(m);
        opened = true;
        cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return opened; });
    }
    std::mutex m;
    std::condition_variable cv;
    bool opened = false;
};

class FakeExecutor : public SyncBackupTaskExecutor {
  public:
    FakeExecutor(SyncBackupTask& task, std::shared_ptr<Gate> gate, std::function<void()> ran)
        : task_(task), gate_(std::move(gate)), ran_(std::move(ran)) {}

    void run() override {
        if (executing_)
            return;
        task_.setLastRunTime(static_cast<int64_t>(task_.context()->clock->now()));
        task_.enqueExecutor();
    }
    void main() override {
        executing_ = true;
        task_.resetCounters();
        gate_->wait();
        int64_t status = task_.isStopped()        ? SyncBackupTask::kStopped
                         : task_.errorCount() > 0 ? SyncBackupTask::kFailed
                                                  : SyncBackupTask::kSucceeded;
        executing_ = false;
        task_.setLastStatus(status);
        task_.context()->registry->updateTaskLastRun(task_.taskId(), task_.getLastRunTime(),
                                                     status);
        if (ran_)
            ran_();
        task_.rescheduleTaskWithStatus(status);
    }
    bool isExecuting() const override { return executing_; }

  private:
    SyncBackupTask& task_;
    std::shared_ptr<Gate> gate_;
    std::function<void()> ran_;
    std::atomic<bool> executing_{false};
};

class FakeScheduler : public SyncBackupTaskScheduler {
  public:
    explicit FakeScheduler(std::function<void(const char*)> note) : note_(std::move(note)) {}
    void scheduleNextRunTime() override { note_("schedule"); }
    void invalidateTimer() override { note_("invalidate"); }
    int64_t getNextRunTime() const override { return 0; }

  private:
    std::function<void(const char*)> note_;
};

class FakeLog : public SyncBackupTaskLog {
  public:
    void log(const std::string& line) override {
        if (forward)
            forward->log(line);
        std::lock_guard lock(m);
        lines.push_back(line);
    }
    std::mutex m;
    std::vector<std::string> lines;
    // Also gets every line when set (a benchmark writes the real log file this way).
    std::shared_ptr<SyncBackupTaskLog> forward;
};

class FakeParts : public SyncBackupTaskParts {
  public:
    std::shared_ptr<SyncBackupTaskExecutor> makeExecutor(SyncBackupTask& task) override {
        note("executor");
        return std::make_shared<FakeExecutor>(task, gate, onRunEnd);
    }
    std::unique_ptr<SyncBackupTaskScheduler> makeScheduler(
        const nlohmann::json&, std::shared_ptr<SyncBackupTaskExecutor>) override {
        return std::make_unique<FakeScheduler>([this](const char* what) { note(what); });
    }
    std::shared_ptr<SyncBackupTaskLog> makeLogger(const std::string&) override { return log; }
    std::unique_ptr<SyncBackupEngine> makeEngine(SyncBackupTask&) override {
        return engineMaker ? engineMaker() : nullptr;
    }

    int count(const std::string& what) {
        std::lock_guard lock(m);
        int n = 0;
        for (const auto& e : events)
            n += e == what;
        return n;
    }
    void note(const std::string& what) {
        std::lock_guard lock(m);
        events.push_back(what);
    }

    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    std::shared_ptr<FakeLog> log = std::make_shared<FakeLog>();
    std::function<void()> onRunEnd;
    std::function<std::unique_ptr<SyncBackupEngine>()> engineMaker;
    std::mutex m;
    std::vector<std::string> events;
};

// Window and observer in one, keeping every call as a line of text.
class Recorder : public SyncBackupTaskListWindow, public SyncBackupTaskObserver {
  public:
    void taskWithIDStarted(int64_t id, const std::string& type, const std::string& from,
                           const std::string& to, int64_t status) override {
        add("started " + std::to_string(id) + " " + type + " " + from + " " + to + " " +
            std::to_string(status));
    }
    void taskWithIDFinished(int64_t id, int64_t status) override {
        add("finished " + std::to_string(id) + " " + std::to_string(status));
    }
    void taskWithIDChangedStatus(int64_t id, int64_t status) override {
        add("status " + std::to_string(id) + " " + std::to_string(status));
    }
    void taskWithIDMadeProgress(int64_t, double progress) override {
        std::lock_guard lock(m);
        progress_.push_back(progress);
    }
    void taskWithIDRescheduled(int64_t id) override { add("rescheduled " + std::to_string(id)); }
    void taskWasRemovedWithID(int64_t id) override { add("removed " + std::to_string(id)); }
    void managerDidLoadAllTasks() override { add("loaded all"); }

    std::vector<std::string> calls() {
        std::lock_guard lock(m);
        return calls_;
    }
    std::vector<double> progress() {
        std::lock_guard lock(m);
        return progress_;
    }
    void add(std::string line) {
        std::lock_guard lock(m);
        calls_.push_back(std::move(line));
    }

  private:
    std::mutex m;
    std::vector<std::string> calls_;
    std::vector<double> progress_;
};

// Hand-overs to the main thread: waiting ones run at once, delayed ones wait for fire().
struct ManualMainThread {
    void install(SyncBackupTaskContext& context) {
        context.performOnMainAndWait = [](SyncBackupTaskContext::Task task) { task(); };
        context.performAfterDelay = [this](double delay, SyncBackupTaskContext::Task task) {
            std::lock_guard lock(m);
            delayed.emplace_back(delay, std::move(task));
        };
        context.performOnMain = [this](SyncBackupTaskContext::Task task) {
            std::lock_guard lock(m);
            later.push_back(std::move(task));
        };
    }
    // Runs what was handed over without a delay.
    void drain() {
        std::vector<SyncBackupTaskContext::Task> due;
        {
            std::lock_guard lock(m);
            due.swap(later);
        }
        for (auto& task : due)
            task();
    }
    ~ManualMainThread() { drain(); }
    // Runs the delayed tasks; answers their delays.
    std::vector<double> fire() {
        std::vector<std::pair<double, SyncBackupTaskContext::Task>> due;
        {
            std::lock_guard lock(m);
            due.swap(delayed);
        }
        std::vector<double> delays;
        for (auto& [delay, task] : due) {
            delays.push_back(delay);
            task();
        }
        return delays;
    }
    size_t pending() {
        std::lock_guard lock(m);
        return delayed.size();
    }
    size_t handedOver() {
        std::lock_guard lock(m);
        return later.size();
    }
    std::mutex m;
    std::vector<std::pair<double, SyncBackupTaskContext::Task>> delayed;
    std::vector<SyncBackupTaskContext::Task> later;
};

}  // namespace khtest
