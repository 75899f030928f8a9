#include "platform/RunLoop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/UnhandledException.h"

namespace {

// A thread that owns a loop and runs it until destroyed.
class LoopThread {
  public:
    LoopThread() {
        thread_ = std::thread([this] {
            loop_.store(&bv::RunLoop::current());
            loop_.load()->run();
        });
        while (!loop_.load())
            std::this_thread::yield();
    }
    ~LoopThread() {
        loop_.load()->stop();
        thread_.join();
    }
    bv::RunLoop& loop() { return *loop_.load(); }
    std::thread::id id() const { return thread_.get_id(); }

  private:
    std::atomic<bv::RunLoop*> loop_{nullptr};
    std::thread thread_;
};

// Collects reports of the boundary hook for the lifetime of the object.
class CapturedReports {
  public:
    CapturedReports() {
        previous_ = bv::setUnhandledExceptionSink([this](const char* where, std::exception_ptr e) {
            std::lock_guard<std::mutex> lock(lock_);
            reports_.push_back(std::string(where) + ": " + bv::describeException(e));
        });
    }
    ~CapturedReports() { bv::setUnhandledExceptionSink(previous_); }
    std::vector<std::string> reports() {
        std::lock_guard<std::mutex> lock(lock_);
        return reports_;
    }

  private:
    bv::UnhandledExceptionSink previous_;
    std::mutex lock_;  // guards reports_
    std::vector<std::string> reports_;
};

TEST(RunLoop, MainLoopBelongsToTheInitialThreadAndEachThreadHasItsOwn) {
    EXPECT_TRUE(bv::RunLoop::isMainThread());
    EXPECT_EQ(&bv::RunLoop::current(), &bv::RunLoop::main());
    bv::RunLoop* other = nullptr;
    bool otherIsMain = true;
    std::thread([&] {
        other = &bv::RunLoop::current();
        otherIsMain = bv::RunLoop::isMainThread();
        EXPECT_EQ(other, &bv::RunLoop::current());
    }).join();
    EXPECT_NE(other, &bv::RunLoop::main());
    EXPECT_FALSE(otherIsMain);
}

TEST(RunLoop, TasksPostedFromOtherThreadsRunOnTheLoopThreadInOrder) {
    auto& loop = bv::RunLoop::current();
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            loop.perform([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
    });
    poster.join();
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 100; }, 5));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    for (auto id : threads)
        EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(RunLoop, TimersFireOnceOrRepeatUntilCancelled) {
    auto& loop = bv::RunLoop::current();
    int once = 0, repeated = 0, cancelled = 0;
    // Due before the one-shot timer, so it would have fired by the time that one did.
    auto never = loop.addTimer(0.005, false, [&] { ++cancelled; });
    loop.addTimer(0.01, false, [&] { ++once; });
    bv::RunLoop::TimerId repeating = 0;
    repeating = loop.addTimer(0.005, true, [&] {
        if (++repeated == 3)
            loop.cancelTimer(repeating);
    });
    loop.cancelTimer(never);
    ASSERT_TRUE(loop.runUntil([&] { return once == 1 && repeated == 3; }, 5));
    // A few more intervals, in which a timer that was not really cancelled would fire.
    loop.runFor(0.02);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(repeated, 3);
    EXPECT_EQ(cancelled, 0);
}

// A callback that removes itself (as an owner destroyed from its own callback does) goes on
// running with its captures intact; ASan reports it if the loop freed them under it.
TEST(RunLoop, TimerAndSourceMayRemoveThemselvesFromTheirOwnCallback) {
    auto& loop = bv::RunLoop::current();
    const std::string text(64, 't');
    std::vector<std::string> seen;
    bv::RunLoop::TimerId timer = 0;
    timer = loop.addTimer(0, true, [&, text] {
        loop.cancelTimer(timer);
        seen.push_back("timer " + text);
    });
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    bv::RunLoop::SourceId source = 0;
    source = loop.addFdSource(fds[0], POLLIN, [&, text](short) {
        loop.removeFdSource(source);
        seen.push_back("source " + text);
    });
    ASSERT_TRUE(loop.runUntil([&] { return seen.size() == 2; }, 5));
    loop.runFor(0.02);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"source " + text, "timer " + text}));
    close(fds[0]);
    close(fds[1]);
}

TEST(RunLoop, TimerDoesNotFireEarly) {
    auto& loop = bv::RunLoop::current();
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point fired;
    loop.addTimer(0.05, false, [&] { fired = std::chrono::steady_clock::now(); });
    ASSERT_TRUE(loop.runUntil([&] { return fired.time_since_epoch().count() != 0; }, 5));
    EXPECT_GE(fired - start, std::chrono::milliseconds(50));
}

TEST(RunLoop, PerformAndWaitFromAnotherThreadReturnsAfterTheTaskAndRethrows) {
    LoopThread owner;
    std::thread::id ranOn;
    owner.loop().performAndWait([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, owner.id());
    EXPECT_THROW(owner.loop().performAndWait([] { throw std::runtime_error("no"); }),
                 std::runtime_error);
    // The loop survived the exception.
    int value = 0;
    owner.loop().performAndWait([&] { value = 7; });
    EXPECT_EQ(value, 7);
}

TEST(RunLoop, PerformAndWaitOnTheOwnThreadRunsAtOnce) {
    bool ran = false;
    bv::RunLoop::current().performAndWait([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(RunLoop, FdSourceCallsHandlerWhenReadableAndNotAfterRemoval) {
    auto& loop = bv::RunLoop::current();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string received;
    auto id = loop.addFdSource(fds[0], POLLIN, [&](short revents) {
        if (!(revents & POLLIN))
            return;
        char buffer[16];
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            received.append(buffer, static_cast<size_t>(n));
    });
    std::thread writer([&] { ASSERT_EQ(write(fds[1], "ping", 4), 4); });
    writer.join();
    EXPECT_TRUE(loop.runUntil([&] { return received == "ping"; }, 5));
    loop.removeFdSource(id);
    ASSERT_EQ(write(fds[1], "more", 4), 4);
    loop.runFor(0.02);
    EXPECT_EQ(received, "ping");
    close(fds[0]);
    close(fds[1]);
}

TEST(RunLoop, RunUntilAnswersFalseAfterTheTimeLimit) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(bv::RunLoop::current().runUntil([] { return false; }, 0.03));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(RunLoop, RunUntilSeesAPredicateChangedByAnotherThread) {
    std::atomic<bool> flag{false};
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        flag = true;
    });
    EXPECT_TRUE(bv::RunLoop::current().runUntil([&] { return flag.load(); }, 5));
    setter.join();
}

TEST(RunLoop, StopBeforeRunMakesRunReturn) {
    std::atomic<bool> returned{false};
    std::thread t([&] {
        auto& loop = bv::RunLoop::current();
        loop.stop();
        loop.run();
        returned = true;
    });
    t.join();
    EXPECT_TRUE(returned);
}

TEST(RunLoop, ExceptionsFromTasksTimersAndSourcesAreReportedAndTheLoopGoesOn) {
    CapturedReports captured;
    auto& loop = bv::RunLoop::current();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    auto source = loop.addFdSource(fds[0], POLLIN, [&](short) {
        char c;
        (void)read(fds[0], &c, 1);
        throw std::runtime_error("source");
    });
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    loop.perform([] { throw std::runtime_error("task"); });
    loop.addTimer(0, false, [] { throw std::logic_error("timer"); });
    bool after = false;
    loop.addTimer(0.01, false, [&] { after = true; });
    EXPECT_TRUE(loop.runUntil([&] { return after && captured.reports().size() == 3; }, 5));
    loop.removeFdSource(source);
    close(fds[0]);
    close(fds[1]);
    auto reports = captured.reports();
    std::sort(reports.begin(), reports.end());
    EXPECT_EQ(reports, (std::vector<std::string>{"RunLoop source: source", "RunLoop task: task",
                                                 "RunLoop timer: timer"}));
}

}  // namespace
