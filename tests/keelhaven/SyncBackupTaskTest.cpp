#include "Keelhaven/SyncBackupTask/SyncBackupTask.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "FakeTaskParts.h"
#include "Keelhaven/SyncBackupTask/SyncBackupFactory.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskDraft.h"
#include "TempDir.h"
#include "app/Utilities.h"
#include "platform/XdgPaths.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Strings = std::vector<std::string>;

// Waits for something another thread does; the deadline only guards against a hang.
template <typename Predicate>
bool eventually(Predicate done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool contains(const Strings& calls, const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

class SyncBackupTaskTest : public ::testing::Test {
  protected:
    SyncBackupTaskTest() { context = makeContext(); }

    std::shared_ptr<SyncBackupTaskContext> makeContext() {
        auto made = std::make_shared<SyncBackupTaskContext>();
        made->clock = clock;
        made->parts = parts;
        made->window = recorder;
        made->userName = "alice";
        mainThread.install(*made);
        made->registry = std::make_shared<SyncBackupDatabase>(clock);
        EXPECT_TRUE(made->registry->openSyncBackupDatabase(registryFile().string()));
        return made;
    }
    fs::path registryFile() const { return home.path() / "SyncBackup.db"; }

    std::shared_ptr<SyncBackupTask> newTask(int64_t id = 100) {
        auto task = SyncBackupTask::taskObject("Docs", id, context);
        task->setTaskType(SyncBackupTask::kBackup);
        task->setFromPath("/home/alice/Docs");
        task->setToPath("/MyDrive/Docs");
        task->setSchedularType("Manual Start");
        EXPECT_TRUE(context->registry->insertTask(task->row()));
        return task;
    }

    std::shared_ptr<SyncBackupTask> loadedTask() {
        auto task = newTask();
        task->runTask(recorder);
        return task;
    }

    bvtest::ScopedHome home;
    std::shared_ptr<bv::ManualClock> clock = std::make_shared<bv::ManualClock>(1'750'000'000);
    std::shared_ptr<khtest::FakeParts> parts = std::make_shared<khtest::FakeParts>();
    std::shared_ptr<khtest::Recorder> recorder = std::make_shared<khtest::Recorder>();
    khtest::ManualMainThread mainThread;
    std::shared_ptr<SyncBackupTaskContext> context;
};

TEST(SyncBackupTaskStatusTest, CodesHaveTheirTexts) {
    const std::vector<std::pair<int64_t, std::string>> cases = {
        {0, "Idle"}, {1, "Succeeded"},   {2, "Failed"},      {3, "Stopped"}, {4, "Paused"},
        {5, ""},     {6, "Stopping..."}, {7, "Removing..."}, {8, ""},        {-1, ""}};
    for (const auto& [code, text] : cases)
        EXPECT_EQ(SyncBackupTask::statusText(code), text) << code;
}

TEST_F(SyncBackupTaskTest, RecordEditingMakesNestedDictionariesAndReadsNotificationsBack) {
    auto task = SyncBackupTask::taskObject("T", 7, context);
    task->setDailySchedularInfo({{"Monday", true}, {"StartsAt", 3600}});
    task->setSchedularType("Daily");
    task->setFilterType("Include");
    task->setIncludeFilter({{"Images", true}, {"Custom", ""}});
    EXPECT_EQ(
        task->getSchedularDictionary(),
        (json{{"SchedularType", "Daily"}, {"Daily", {{"Monday", true}, {"StartsAt", 3600}}}}));
    EXPECT_EQ(task->getFilterDictionary()["Include"]["Images"], true);
    task->setTaskType("Synchronization");
    EXPECT_TRUE(task->isSynchronizeTask());

    // A record without any notification key reads every switch as off.
    auto events = task->getSyncBackupNotificationEvents();
    EXPECT_FALSE(events->emailNotificationsEnabled || events->whenTaskFailed ||
                 events->whenTaskStopped || events->whenTaskCompletedSuccessfullyAndProcessed ||
                 events->whenTaskCompletedSuccessfullyWithWarnings);

    task->setSyncBackupNotificationEvents(std::make_shared<SyncBackupNotificationEvents>(
        true, true, false, true, false, "a@x", std::string("b@y c@z")));
    EXPECT_EQ(task->record()["emailNotificationsEnabled"], "YES");
    EXPECT_TRUE(task->emailNotificationsEnabled());

    // Through the registry and back.
    ASSERT_TRUE(context->registry->insertTask(task->row()));
    auto rows = context->registry->getAllTasks();
    ASSERT_EQ(rows.size(), 1u);
    auto reloaded = SyncBackupTask::fromRow(rows[0], context)->getSyncBackupNotificationEvents();
    EXPECT_TRUE(reloaded->emailNotificationsEnabled);
    EXPECT_TRUE(reloaded->whenTaskCompletedSuccessfullyAndProcessed);
    EXPECT_FALSE(reloaded->whenTaskCompletedSuccessfullyWithWarnings);
    EXPECT_TRUE(reloaded->whenTaskFailed);
    EXPECT_FALSE(reloaded->whenTaskStopped);

    task->setSyncBackupNotificationEvents(nullptr);
    EXPECT_EQ(task->record()["emailNotificationsEnabled"], "NO");
    EXPECT_EQ(task->record()["failed"], false);
}

TEST(SyncBackupNotificationEventsTest, CcAddressesSplitAtWhiteSpace) {
    using Events = SyncBackupNotificationEvents;
    EXPECT_FALSE(Events::tokenizeAddressesString(std::nullopt));
    EXPECT_EQ(Events::tokenizeAddressesString(std::string("")), Strings{});
    EXPECT_EQ(Events::tokenizeAddressesString(std::string(" a@x\tb@y \n c@z ")),
              (Strings{"a@x", "b@y", "c@z"}));
}

TEST_F(SyncBackupTaskTest, TaskFilesLieInTheUsersTaskFolder) {
    auto task = SyncBackupTask::taskObject("Docs", 1700000001, context);
    fs::path folder = bv::XdgPaths::dataHome() / "Brimvault/alice/KHD/Data/Docs/1700000001";
    EXPECT_EQ(task->getDbFilePath(), (folder / "Docs.1700000001.db").string());
    EXPECT_EQ(task->getLogFilePath(), (folder / "Docs.1700000001.log").string());
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_TRUE(task->taskDb());
    EXPECT_EQ(task->taskDb()->DbVersion(), "1.8");

    // A name that would leave the folder has no files.
    auto escaping = SyncBackupTask::taskObject("../../x", 1, context);
    EXPECT_FALSE(escaping->getDbFilePath());
    EXPECT_EQ(escaping->taskDb(), nullptr);
}

TEST_F(SyncBackupTaskTest, TheEditorsChoicesBecomeTheRecordAndTheSameSecondGivesTheSameId) {
    SyncBackupTaskDraft draft;
    draft.taskType = "Backup";
    draft.fromPath = "/home/alice/Photos/";
    draft.toPath = Utilities::driveMountDirectory() + "/MyDrive/Backups";
    draft.scheduleType = "Continuous";
    draft.toAddress = "ignored@x";
    draft.filterType = "Exclude";
    draft.filterSwitches = {{"TempFiles", true}, {"HiddenFiles", false}};
    draft.custom = "ignored";
    auto first = draft.makeTask(context);
    EXPECT_EQ(first->taskName(), "Photos");
    EXPECT_EQ(first->taskId(), 1'750'000'000);
    EXPECT_EQ(
        first->record(),
        (json{{"TaskType", "Backup"},
              {"FromPath", "/home/alice/Photos/"},
              {"ToPath", "/MyDrive/Backups"},
              {"schedular", {{"SchedularType", "Permanently"}}},
              {"ToAddress", ""},
              {"CcAddress", ""},
              {"completedSuccessfullyAndProcessed", false},
              {"completedSuccessfullyWithWarnings", false},
              {"failed", false},
              {"stopped", false},
              {"emailNotificationsEnabled", "NO"},
              {"filter",
               {{"filterType", "Exclude"},
                {"Exclude", {{"TempFiles", true}, {"HiddenFiles", false}, {"Custom", ""}}}}}}));

    draft.scheduleType = "Daily";
    draft.days = {{"Monday", true}};
    draft.startHour = 9, draft.startMinute = 30, draft.startSecond = 15;
    draft.notificationsOn = true;
    draft.events.whenTaskFailed = true;
    auto second = draft.makeTask(context);
    EXPECT_EQ(second->taskId(), first->taskId());
    EXPECT_EQ(second->getSchedularDictionary()["Daily"]["StartsAt"], 34215);
    EXPECT_EQ(second->getSchedularDictionary()["Daily"]["Tuesday"], false);
    EXPECT_EQ(second->getToAddress(), "ignored@x");
    EXPECT_EQ(second->record()["emailNotificationsEnabled"], "YES");

    // Made within one second, the second task replaces the first row.
    ASSERT_TRUE(context->registry->insertTask(first->row()));
    ASSERT_TRUE(context->registry->insertTask(second->row()));
    auto rows = context->registry->getAllTasks();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].record, second->record());
}

struct ProgressCase {
    std::vector<double> deltas;
    double expected;
};

TEST_F(SyncBackupTaskTest, ProgressNeverPassesNinetyFive) {
    const std::vector<ProgressCase> cases = {{{30, 30, 30}, 90}, {{30, 30, 30, 30}, 95},
                                             {{95}, 95},         {{94.5, 0.25}, 94.75},
                                             {{200}, 95},        {{60, 60, 10}, 95}};
    auto task = SyncBackupTask::taskObject("P", 1, context);
    for (const auto& c : cases) {
        task->resetCounters();
        for (double delta : c.deltas)
            task->taskDidProgress(delta);
        EXPECT_EQ(task->progress(), c.expected);
    }
    for (double reported : recorder->progress())
        EXPECT_LE(reported, 95);

    // Workers add their shares at the same time.
    task->resetCounters();
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                task->taskDidProgress(0.125);
        });
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(task->progress(), 95);
}

TEST_F(SyncBackupTaskTest, ARunEndsWithTheStatusAndIsRescheduledAfterADelay) {
    auto task = loadedTask();
    EXPECT_EQ(recorder->calls(), Strings{"started 100 Backup /home/alice/Docs /MyDrive/Docs 0"});
    int armed = parts->count("schedule");
    task->start();
    ASSERT_TRUE(eventually([&] { return task->checkIfWasRunning(); }));
    task->start();  // ignored while running
    EXPECT_EQ(task->getLastRunTime(), 1'750'000'000);
    parts->gate->open();
    ASSERT_TRUE(eventually([&] { return mainThread.pending() == 1; }));
    EXPECT_TRUE(contains(recorder->calls(), "finished 100 1"));
    EXPECT_EQ(context->registry->getAllTasks()[0].status, 1);

    EXPECT_EQ(mainThread.fire(), std::vector<double>{0.2});
    EXPECT_TRUE(contains(recorder->calls(), "rescheduled 100"));
    EXPECT_EQ(parts->count("schedule"), armed + 1);
    EXPECT_FALSE(task->isStopped() || task->isPaused());
}

TEST_F(SyncBackupTaskTest, AStoppedRunEndsStopped) {
    auto task = loadedTask();
    task->start();
    ASSERT_TRUE(eventually([&] { return task->checkIfWasRunning(); }));
    task->stop();
    parts->gate->open();
    ASSERT_TRUE(eventually([&] { return contains(recorder->calls(), "finished 100 3"); }));
}

TEST_F(SyncBackupTaskTest, PauseSurvivesARestartThroughStatusFour) {
    auto task = loadedTask();
    task->pause();
    EXPECT_TRUE(task->isPaused());
    EXPECT_EQ(context->registry->getAllTasks()[0].status, SyncBackupTask::kPaused);
    task.reset();

    // A new registry instance on the same file, as after a restart.
    auto restarted = makeContext();
    auto rows = restarted->registry->getAllTasks();
    ASSERT_EQ(rows.size(), 1u);
    auto again = SyncBackupTask::fromRow(rows[0], restarted);
    again->runTask(recorder);
    EXPECT_TRUE(again->isPaused());
    EXPECT_EQ(recorder->calls().back(), "started 100 Backup /home/alice/Docs /MyDrive/Docs 4");

    again->start();  // a paused task is not started
    EXPECT_FALSE(again->checkIfWasRunning());
    EXPECT_EQ(again->getLastRunTime(), 0);

    int armed = parts->count("schedule");
    again->resume();
    EXPECT_FALSE(again->isPaused());
    EXPECT_EQ(restarted->registry->getAllTasks()[0].status, SyncBackupTask::kSucceeded);
    EXPECT_EQ(parts->count("schedule"), armed);  // resuming arms nothing by itself
    EXPECT_FALSE(again->checkIfWasRunning());
}

TEST_F(SyncBackupTaskTest, RemovalWhileRunningIsReportedAtTheEndOfTheRun) {
    auto task = loadedTask();
    task->start();
    ASSERT_TRUE(eventually([&] { return task->checkIfWasRunning(); }));
    task->removed();
    EXPECT_TRUE(task->isStopped());
    EXPECT_FALSE(contains(recorder->calls(), "removed 100"));

    parts->gate->open();
    ASSERT_TRUE(eventually([&] { return contains(recorder->calls(), "removed 100"); }));
    auto calls = recorder->calls();
    EXPECT_EQ(calls.back(), "removed 100");
    EXPECT_EQ(calls[calls.size() - 2], "finished 100 3");
    EXPECT_EQ(mainThread.pending(), 0u);  // a removed task is not scheduled again
}

// Whoever drops a running task must not wait for its run; the task goes once the run has
// ended, on the main thread.
TEST_F(SyncBackupTaskTest, ATaskDroppedDuringItsRunLivesUntilTheRunEnds) {
    auto task = loadedTask();
    std::weak_ptr<SyncBackupTask> weak = task;
    task->start();
    ASSERT_TRUE(eventually([&] { return weak.lock()->checkIfWasRunning(); }));
    task.reset();
    EXPECT_FALSE(weak.expired());
    parts->gate->open();
    ASSERT_TRUE(eventually([&] { return mainThread.handedOver() == 1; }));
    mainThread.drain();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(mainThread.fire(), std::vector<double>{0.2});  // finds no task to reschedule
    EXPECT_FALSE(contains(recorder->calls(), "rescheduled 100"));
}

TEST_F(SyncBackupTaskTest, RemovalWhileIdleIsReportedAtOnce) {
    auto task = loadedTask();
    task->pause();
    task->removed();
    EXPECT_EQ(recorder->calls().back(), "removed 100");
    EXPECT_TRUE(task->isRemoved());
    EXPECT_FALSE(task->isPaused());
}

class StubEngine : public SyncBackupEngine {
  public:
    explicit StubEngine(std::vector<std::string>* seen) : seen_(seen) {}
    bool startEngineWithFromFolder(const FileSystemObjects& from, const FileSystemObjects& to,
                                   bool isCloud, std::vector<FileSystemObjects>*,
                                   double progressFactor) override {
        seen_->push_back(from.itemPath + " " + from.itemID + " -> " + to.itemPath + " " +
                         to.itemID + (isCloud ? " cloud " : " local ") +
                         std::to_string(static_cast<int>(progressFactor)));
        return true;
    }

  private:
    std::vector<std::string>* seen_;
};

TEST_F(SyncBackupTaskTest, FactoryHandsTheRootRecordsToTheEngine) {
    auto task = loadedTask();
    std::vector<std::string> seen;
    parts->engineMaker = [&] { return std::make_unique<StubEngine>(&seen); };

    SyncBackupFactory missing(task);
    EXPECT_FALSE(missing.startEngineWithFromFolder("/home/alice/Docs", "/Docs", false, nullptr));
    EXPECT_EQ(task->errorCount(), 1);
    EXPECT_EQ(parts->log->lines,
              Strings{"Failed to find source/destination folder entry in database."});
    EXPECT_TRUE(seen.empty());

    BrimvaultFolder root;
    root.m_folderID = "55";
    root.m_parentFolderId = "0";
    root.m_accessDirId = "9";
    root.m_path = "/Docs";
    ASSERT_TRUE(task->taskDb()->insertCloudFolder(root));
    root.m_path = "/home/alice/Docs";
    ASSERT_TRUE(task->taskDb()->insertLocalFolder(root));

    SyncBackupFactory factory(task);
    EXPECT_TRUE(factory.startEngineWithFromFolder("/home/alice/Docs", "/Docs", false, nullptr));
    EXPECT_EQ(seen, Strings{"/home/alice/Docs 55 -> /Docs 55 local 100"});
    EXPECT_EQ(factory.accessDirID(), "9");
}

// Resumes the task after a given number of sleeps, so the wait's steps can be counted.
class ResumingClock : public bv::ManualClock {
  public:
    ResumingClock(SyncBackupTask*& task, int sleepsBeforeResume)
        : task_(task), left_(sleepsBeforeResume) {}
    void sleepFor(double seconds) override {
        slept.push_back(seconds);
        if (--left_ == 0)
            task_->resume();
    }
    std::vector<double> slept;

  private:
    SyncBackupTask*& task_;
    int left_;
};

TEST_F(SyncBackupTaskTest, WaitUntilResumedSleepsInHalfSecondSteps) {
    SyncBackupTask* raw = nullptr;
    auto resuming = std::make_shared<ResumingClock>(raw, 3);
    context->clock = resuming;
    auto task = loadedTask();
    raw = task.get();
    task->pause();
    SyncBackupFactory factory(task);
    EXPECT_TRUE(factory.isTaskPaused());
    factory.waitUntilResumed();
    EXPECT_TRUE(factory.isTaskResumed());
    EXPECT_EQ(resuming->slept, (std::vector<double>{0.5, 0.5, 0.5}));
}

}  // namespace
