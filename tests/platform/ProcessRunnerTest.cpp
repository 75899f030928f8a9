// Child processes without a shell: exit statuses, programs that cannot start, the output
// descriptor, and a child that is reaped without blocking.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "platform/ProcessRunner.h"

namespace {

using bv::ProcessRunner;
using Options = bv::ProcessRunner::Options;

TEST(ProcessRunner, ExitStatusesAndProgramsThatCannotStart) {
    struct Case {
        std::vector<std::string> argv;
        bool searchPath;
        int status;
    } cases[] = {
        {{"/bin/sh", "-c", "exit 0"}, false, 0},
        {{"/bin/sh", "-c", "exit 3"}, false, 3},
        {{"sh", "-c", "exit 4"}, true, 4},
        {{"sh", "-c", "exit 4"}, false, -1},  // not a path: not looked up
        {{"/no/such/program"}, false, -1},
        {{"no-such-program-anywhere"}, true, -1},
        {{"/bin/sh", "-c", "kill -KILL $$"}, false, -1},  // ended by a signal
        {{}, true, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProcessRunner::run(c.argv, {-1, c.searchPath}), c.status)
            << (c.argv.empty() ? "(empty)" : c.argv.back());
}

TEST(ProcessRunner, OutputAndErrorGoToTheGivenDescriptorAndArgumentsAreNotInterpreted) {
    bvtest::TempDir dir;
    auto path = dir.path() / "out.txt";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ProcessRunner::run({"/bin/sh", "-c", "echo \"$1\"; echo err >&2", "sh", "$(id); *"},
                                 {fd, false}),
              0);
    ::close(fd);
    std::ifstream in(path);
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first, "$(id); *");
    EXPECT_EQ(second, "err");
}

TEST(ProcessRunner, ChildGetsTheAddedEnvironmentAndOnlyTheDescriptorsItInherits) {
    ::setenv("BV_RUNNER_REPLACED", "parent", 1);
    int kept[2], closed[2];
    ASSERT_EQ(::pipe2(kept, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(closed, O_CLOEXEC), 0);
    // The child answers through the inherited pipe; the other one is closed on its exec.
    const std::string script = "echo \"$BV_RUNNER_REPLACED $BV_RUNNER_ADDED\" >&" +
                               std::to_string(kept[1]) + " && ! true >&" +
                               std::to_string(closed[1]) + " 2>/dev/null";
    Options options;
    options.environment = {"BV_RUNNER_REPLACED=child", "BV_RUNNER_ADDED=yes"};
    options.inheritedFds = {kept[1]};
    EXPECT_EQ(ProcessRunner::run({"/bin/sh", "-c", script}, options), 0);
    ::close(kept[1]);
    ::close(closed[1]);
    char buffer[64] = {};
    EXPECT_GT(::read(kept[0], buffer, sizeof buffer - 1), 0);
    EXPECT_STREQ(buffer, "child yes\n");
    EXPECT_STREQ(::getenv("BV_RUNNER_REPLACED"), "parent");
    ::close(kept[0]);
    ::close(closed[0]);
    ::unsetenv("BV_RUNNER_REPLACED");
}

TEST(ProcessRunner, TryWaitAnswersNothingWhileTheChildRunsThenItsStatusOnce) {
    auto pid = ProcessRunner::spawn({"/bin/sh", "-c", "exec sleep 30"});
    ASSERT_TRUE(pid);
    EXPECT_FALSE(ProcessRunner::tryWait(*pid));
    ::kill(*pid, SIGTERM);
    std::optional<int> status;
    for (int i = 0; i < 200 && !status; ++i) {
        status = ProcessRunner::tryWait(*pid);
        if (!status)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, -1);                       // SIGTERM, not an exit
    EXPECT_EQ(ProcessRunner::tryWait(*pid), -1);  // reaped: nothing left to wait for
}

}  // namespace
