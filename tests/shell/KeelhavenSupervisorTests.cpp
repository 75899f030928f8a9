// Keelhaven's lifecycle with stand-in child programs (small shell scripts).
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "ShellFakes.h"
#include "TempDir.h"
#include "app/Logging/BVLogging.h"
#include "app/Shell/BVKeelhavenSupervisor.h"

namespace {

class KeelhavenSupervisorTest : public ::testing::Test {
  protected:
    KeelhavenSupervisorTest() { BVLogging::setupWithPrefix("BV"); }

    std::string script(const std::string& name, const std::string& body) {
        auto dir = home.path() / "bin";
        std::filesystem::create_directories(dir);
        ::chmod(dir.c_str(), 0700);
        auto path = dir / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0700);
        return path.string();
    }

    std::unique_ptr<BVKeelhavenSupervisor> make(const std::string& binary, bool closeAnswers) {
        BVKeelhavenSupervisor::Options options;
        options.binary = binary;
        options.scheduler = scheduler;
        options.sendClose = [this, closeAnswers] { return ++closeRequests, closeAnswers; };
        options.closeGrace = 0.2;
        options.termGrace = 0.5;
        return std::make_unique<BVKeelhavenSupervisor>(std::move(options));
    }

    // Waits (really) for the watcher to report the child's end, then runs it on "main".
    void awaitEnd() {
        for (int i = 0; i < 200 && scheduler->pump() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }

    bvtest::ScopedHome home;
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>(true);
    int closeRequests = 0;
};

TEST_F(KeelhavenSupervisorTest, AProgramThatKeepsEndingIsRestartedWithAGrowingDelay) {
    auto supervisor = make(script("khv", "exit 0"), true);
    ASSERT_TRUE(supervisor->start());
    std::vector<double> delays;
    for (int round = 0; round < 8; ++round) {
        awaitEnd();
        ASSERT_FALSE(supervisor->running());
        delays.push_back(scheduler->nextTimerIn());
        scheduler->advance(scheduler->nextTimerIn());
        ASSERT_TRUE(supervisor->running());
    }
    EXPECT_EQ(delays, (std::vector<double>{1, 2, 4, 8, 16, 32, 60, 60}));
    EXPECT_EQ(supervisor->launches(), 9);
    supervisor->stop();
}

TEST_F(KeelhavenSupervisorTest, AProgramThatRanForAWhileIsRestartedAtOnce) {
    auto marker = home.path() / "go";
    auto supervisor =
        make(script("khv", "while [ ! -e '" + marker.string() + "' ]; do sleep 0.05; done"), true);
    ASSERT_TRUE(supervisor->start());
    scheduler->advance(30);
    std::ofstream(marker) << "";
    awaitEnd();
    EXPECT_EQ(scheduler->nextTimerIn(), 0);
    std::filesystem::remove(marker);
    scheduler->advance(0);
    EXPECT_TRUE(supervisor->running());
    supervisor->stop();
}

TEST_F(KeelhavenSupervisorTest, StopAsksToCloseThenTerminatesThenKills) {
    struct Case {
        const char* name;
        std::string body;
        bool closeAnswers;
    };
    const std::vector<Case> cases = {
        {"ends on SIGTERM", "exec sleep 30", false},
        {"ignores SIGTERM", "trap '' TERM; while :; do sleep 0.05; done", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        closeRequests = 0;
        auto supervisor = make(script("khv", c.body), c.closeAnswers);
        ASSERT_TRUE(supervisor->start());
        pid_t pid = supervisor->pid();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        supervisor->stop();
        EXPECT_EQ(closeRequests, 1);
        EXPECT_FALSE(supervisor->running());
        EXPECT_NE(::kill(pid, 0), 0) << "the child still runs";
        scheduler->pump();
        scheduler->advance(120);
        EXPECT_FALSE(supervisor->running()) << "a stopped Keelhaven came back";
    }
}

TEST_F(KeelhavenSupervisorTest, AProgramOthersMayChangeIsNotStarted) {
    auto path = script("khv", "exit 0");
    ::chmod(path.c_str(), 0722);
    auto supervisor = make(path, true);
    EXPECT_FALSE(supervisor->start());
    EXPECT_FALSE(make((home.path() / "missing").string(), true)->start());
}

}  // namespace
