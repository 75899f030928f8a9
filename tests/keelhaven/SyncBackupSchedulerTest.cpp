// When tasks run and what their log files keep.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <unistd.h>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "FakeTaskParts.h"
#include "Keelhaven/SyncBackupScheduler/SyncBackupLogger.h"
#include "Keelhaven/SyncBackupScheduler/SyncBackupTaskSchedular.h"
#include "TempDir.h"

namespace khtest {
namespace {

using json = nlohmann::json;
using Schedular = SyncBackupTaskSchedular;

// Seconds since 1970 of a local date and time.
int64_t localTime(int year, int month, int day, int hour, int minute, int second = 0) {
    struct tm when {};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    when.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&when));
}

json daily(std::initializer_list<const char*> days, int startsAt) {
    json d = {{"StartsAt", startsAt}};
    for (const char* day :
         {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"})
        d[day] = false;
    for (const char* day : days)
        d[day] = true;
    return d;
}

// Timers that only note what was armed; the test fires them.
struct FakeTimers {
    Schedular::Timers timers() {
        Schedular::Timers t;
        t.arm = [this](double seconds, std::function<void()> fire) {
            armed.push_back({seconds, std::move(fire)});
            return static_cast<Schedular::Timers::Id>(armed.size());
        };
        t.cancel = [this](Schedular::Timers::Id id) { cancelled.push_back(id); };
        return t;
    }
    struct Armed {
        double seconds;
        std::function<void()> fire;
    };
    std::vector<Armed> armed;
    std::vector<Schedular::Timers::Id> cancelled;
};

class CountingExecutor : public SyncBackupTaskExecutor {
  public:
    void run() override { ++runs; }
    void main() override {}
    bool isExecuting() const override { return false; }
    int runs = 0;
};

// 2026-12-07 is a Monday.
struct DailyCase {
    const char* what;
    int64_t now;
    json daily;
    std::optional<int64_t> expected;
};

TEST(SyncBackupTaskSchedularTest, DailySearchFindsTheFirstEnabledDayStrictlyAfterNow) {
    const int64_t nine = 9 * 3600;
    const std::vector<DailyCase> cases = {
        {"Monday 09:00 exactly goes to next Monday", localTime(2026, 12, 7, 9, 0),
         daily({"Monday"}, nine), localTime(2026, 12, 14, 9, 0)},
        {"a second before is today", localTime(2026, 12, 7, 8, 59, 59), daily({"Monday"}, nine),
         localTime(2026, 12, 7, 9, 0)},
        {"later this week", localTime(2026, 12, 7, 10, 0), daily({"Monday", "Thursday"}, nine),
         localTime(2026, 12, 10, 9, 0)},
        {"Saturday evening rolls over to next week's first day", localTime(2026, 12, 12, 20, 0),
         daily({"Monday", "Saturday"}, 18 * 3600), localTime(2026, 12, 14, 18, 0)},
        {"Saturday evening to the Sunday that follows", localTime(2026, 12, 12, 20, 0),
         daily({"Sunday"}, 8 * 3600), localTime(2026, 12, 13, 8, 0)},
        {"every day, after today's time", localTime(2026, 12, 9, 23, 30),
         daily({"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"},
               23 * 3600),
         localTime(2026, 12, 10, 23, 0)},
        {"no day switched on", localTime(2026, 12, 7, 9, 0), daily({}, nine), std::nullopt},
        {"not a dictionary", localTime(2026, 12, 7, 9, 0), json("Monday"), std::nullopt},
        {"switches as numbers, damaged StartsAt reads as midnight", localTime(2026, 12, 7, 9, 0),
         json{{"Tuesday", 1}, {"StartsAt", "09:00"}}, localTime(2026, 12, 8, 0, 0)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Schedular::nextDailyRun(c.daily, static_cast<double>(c.now)), c.expected)
            << c.what;
}

struct ArmCase {
    json schedule;
    int type;
    std::optional<double> interval;
};

TEST(SyncBackupTaskSchedularTest, EachTypeArmsOneTimerThatRunsTheExecutor) {
    const int64_t now = localTime(2026, 12, 7, 9, 0);
    const std::vector<ArmCase> cases = {
        {{{"SchedularType", "Permanently"}}, Schedular::kPermanently, 30},
        {{{"SchedularType", "Hourly"}}, Schedular::kHourly, 3600},
        {{{"SchedularType", "Manual Start"}}, Schedular::kManual, std::nullopt},
        {{{"SchedularType", "Weekly"}}, Schedular::kUnknown, 30},
        {json::object(), Schedular::kUnknown, 30},
        {{{"SchedularType", "Daily"}, {"Daily", daily({"Monday"}, 10 * 3600)}},
         Schedular::kDaily,
         3600},
        {{{"SchedularType", "Daily"}, {"Daily", daily({}, 10 * 3600)}},
         Schedular::kDaily,
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.schedule.dump());
        auto clock = std::make_shared<bv::ManualClock>(static_cast<double>(now));
        auto executor = std::make_shared<CountingExecutor>();
        FakeTimers timers;
        Schedular scheduler(c.schedule, executor, clock, timers.timers());
        EXPECT_EQ(scheduler.getSchedulerType(), c.type);
        scheduler.scheduleNextRunTime();
        if (!c.interval) {
            EXPECT_TRUE(timers.armed.empty());
            EXPECT_FALSE(scheduler.taskRunTimer());
            EXPECT_EQ(scheduler.getNextRunTime(), 0);
            continue;
        }
        ASSERT_EQ(timers.armed.size(), 1u);
        EXPECT_EQ(timers.armed[0].seconds, *c.interval);
        EXPECT_EQ(scheduler.getNextRunTime(), now + static_cast<int64_t>(*c.interval));
        timers.armed[0].fire();
        EXPECT_EQ(executor->runs, 1);
        scheduler.invalidateTimer();
        EXPECT_EQ(timers.cancelled.size(), 1u);
        EXPECT_FALSE(scheduler.taskRunTimer());
    }
}

TEST(SyncBackupTaskSchedularTest, ArmingAgainOrDestroyingCancelsTheOldTimer) {
    FakeTimers timers;
    auto executor = std::make_shared<CountingExecutor>();
    {
        Schedular scheduler({{"SchedularType", "Hourly"}}, executor,
                            std::make_shared<bv::ManualClock>(), timers.timers());
        scheduler.scheduleNextRunTime();
        scheduler.taskFinished(SyncBackupTask::kSucceeded);
        EXPECT_EQ(timers.armed.size(), 2u);
        EXPECT_EQ(timers.cancelled, std::vector<Schedular::Timers::Id>{1});
    }
    EXPECT_EQ(timers.cancelled, (std::vector<Schedular::Timers::Id>{1, 2}));
    // A timer that outlives its executor does nothing.
    executor.reset();
    timers.armed[1].fire();
}

// The real schedulers behind a task whose runs take 20 minutes of the injected clock.
class HourlyParts : public FakeParts {
  public:
    std::unique_ptr<SyncBackupTaskScheduler> makeScheduler(
        const json& schedule, std::shared_ptr<SyncBackupTaskExecutor> executor) override {
        return std::make_unique<Schedular>(schedule, executor, clock, timers.timers());
    }
    std::shared_ptr<bv::ManualClock> clock;
    FakeTimers timers;
};

TEST(SyncBackupTaskSchedularTest, HourlyTaskRunsAgainAnHourAfterItsRunEnded) {
    bvtest::TempDir dir("khsched");
    auto clock = std::make_shared<bv::ManualClock>(1'800'000'000.0);
    auto parts = std::make_shared<HourlyParts>();
    parts->clock = clock;
    parts->gate->open();
    parts->onRunEnd = [clock] { clock->advance(20 * 60); };
    auto context = std::make_shared<SyncBackupTaskContext>();
    context->clock = clock;
    context->parts = parts;
    ManualMainThread mainThread;
    mainThread.install(*context);
    context->registry = std::make_shared<SyncBackupDatabase>(clock);
    ASSERT_TRUE(context->registry->openSyncBackupDatabase((dir.path() / "r.db").string()));
    auto task = SyncBackupTask::taskObject("hourly", 7, context);
    task->setTaskType(SyncBackupTask::kBackup);
    task->setSchedularType("Hourly");
    ASSERT_TRUE(context->registry->insertTask(task->row()));
    task->runTask(nullptr);
    ASSERT_EQ(parts->timers.armed.size(), 1u);
    EXPECT_EQ(task->getNextRunTime(), 1'800'000'000 + 3600);

    clock->advance(3600);
    parts->timers.armed[0].fire();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (mainThread.pending() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(mainThread.fire(), std::vector<double>{SyncBackupTask::kRescheduleDelay});
    ASSERT_EQ(parts->timers.armed.size(), 2u);
    EXPECT_EQ(parts->timers.armed[1].seconds, 3600);
    EXPECT_EQ(task->getNextRunTime(), 1'800'000'000 + 3600 + 20 * 60 + 3600);
    task->stop();
}

class SyncBackupLoggerTest : public ::testing::Test {
  protected:
    std::string read() const {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void writeOld(double hoursAgo) {
        std::ofstream(path) << "[old]: earlier run\n";
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(clock->now() - hoursAgo * 3600);
        times[0].tv_nsec = times[1].tv_nsec = 0;
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

    bvtest::TempDir dir{"khlog"};
    std::string path = (dir.path() / "task.1.log").string();
    std::shared_ptr<bv::ManualClock> clock =
        std::make_shared<bv::ManualClock>(static_cast<double>(localTime(2026, 12, 7, 9, 5, 7)));
};

TEST_F(SyncBackupLoggerTest, ALogOfTheLastDayIsContinuedAnOlderOneStartedAfresh) {
    writeOld(23);
    SyncBackupLogger(path, clock).log("appended");
    EXPECT_EQ(read(), "[old]: earlier run\n[2026-12-07 09:05:07]: appended\n");

    writeOld(25);
    SyncBackupLogger(path, clock).log("fresh");
    EXPECT_EQ(read(), "[2026-12-07 09:05:07]: fresh\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SyncBackupLoggerTest, NewLogWritesOneLinePerCall) {
    SyncBackupLogger logger(path, clock);
    ASSERT_TRUE(logger.isOpen());
    logger.log("Backup Started.");
    clock->advance(61);
    logger.log("Task Finished.");
    EXPECT_EQ(read(),
              "[2026-12-07 09:05:07]: Backup Started.\n[2026-12-07 09:06:08]: Task Finished.\n");
}

TEST_F(SyncBackupLoggerTest, UnwritablePathDropsLinesAndALinkIsNeverFollowed) {
    SyncBackupLogger missing((dir.path() / "no" / "such" / "x.log").string(), clock);
    EXPECT_FALSE(missing.isOpen());
    missing.log("dropped");

    std::string target = (dir.path() / "elsewhere").string();
    std::ofstream(target) << "keep";
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    SyncBackupLogger logger(path, clock);
    logger.log("line");
    std::ifstream in(target);
    std::string kept;
    in >> kept;
    EXPECT_EQ(kept, "keep");
    EXPECT_EQ(read(), "[2026-12-07 09:05:07]: line\n");
}

}  // namespace
}  // namespace khtest
