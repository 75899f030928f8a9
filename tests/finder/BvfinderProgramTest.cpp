#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TempDir.h"
#include "comms/BVExtensionCommsServer.h"
#include "platform/RunLoop.h"

extern char** environ;

namespace {

using namespace BVExtensionActions;

constexpr double kWait = 20.0;  // an upper bound only: every wait ends on its condition

// The program against a drive application played by this test's server.
class BvfinderProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.setDriveRootPath("/Volumes/Brimvault");
        server.setTarget(
            BVExtensionCommsComponent::DataHandler([this](const std::vector<Value>& a) {
                shared.push_back(std::get<std::string>(a[0]));
            }),
            kShare);
    }

    // Starts bvfinder with args; its stdin and stdout are pipes when asked for.
    pid_t spawn(std::vector<std::string> args, int* in = nullptr, int* out = nullptr) {
        args.insert(args.begin(), BVFINDER_BINARY);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int toChild[2], fromChild[2];
        if (in) {
            EXPECT_EQ(0, pipe(toChild));
            EXPECT_EQ(0, pipe(fromChild));
            posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
            posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
            posix_spawn_file_actions_addclose(&actions, toChild[1]);
            posix_spawn_file_actions_addclose(&actions, fromChild[0]);
        }
        pid_t pid = -1;
        EXPECT_EQ(0, posix_spawn(&pid, BVFINDER_BINARY, &actions, nullptr, argv.data(), environ));
        posix_spawn_file_actions_destroy(&actions);
        if (in) {
            close(toChild[0]);
            close(fromChild[1]);
            *in = toChild[1];
            *out = fromChild[0];
        }
        children.push_back(pid);
        return pid;
    }

    int waitFor(pid_t pid) {
        int status = -1;
        bool ended = bv::RunLoop::current().runUntil(
            [&] { return waitpid(pid, &status, WNOHANG) == pid; }, kWait);
        if (ended)
            std::erase(children, pid);
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Reads one line from fd while serving the loop, so the server answers the child.
    std::string readLine(int fd) {
        std::string line;
        char c;
        bv::RunLoop::current().runUntil(
            [&] {
                pollfd p{fd, POLLIN, 0};
                while (poll(&p, 1, 0) == 1 && read(fd, &c, 1) == 1) {
                    if (c == '\n')
                        return true;
                    line += c;
                }
                return false;
            },
            kWait);
        return line;
    }

    void TearDown() override {
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    bvtest::ScopedHome home;
    BVExtensionCommsServer server;
    std::vector<std::string> shared;
    std::vector<pid_t> children;
};

TEST_F(BvfinderProgramTest, ActionReachesTheDriveApplication) {
    pid_t pid = spawn({"action", "share", "/Volumes/Brimvault/Docs/a", "/home/me/b"});
    EXPECT_EQ(0, waitFor(pid));
    bv::RunLoop::current().runUntil([&] { return !shared.empty(); }, kWait);
    EXPECT_EQ(std::vector<std::string>{"/Docs/a"}, shared);
}

TEST_F(BvfinderProgramTest, AgentSpeaksTheLineProtocol) {
    int in = -1, out = -1;
    pid_t pid = spawn({"agent"}, &in, &out);
    EXPECT_EQ("ready\t/Volumes/Brimvault", readLine(out));
    std::string request =
        "menu\tcontainer\t/Volumes/Brimvault/Docs\naction\tshare\t/Volumes/Brimvault/Docs\n";
    ASSERT_EQ(ssize_t(request.size()), write(in, request.data(), request.size()));
    std::vector<std::string> lines;
    for (int i = 0; i < 6; ++i)
        lines.push_back(readLine(out));
    EXPECT_EQ((std::vector<std::string>{"title\tBrimvault", "item\tshare\tBV: Share",
                                        "item\tshowProps\tBV: Show Properties",
                                        "item\trefreshFolder\tBV: Refresh Folder", "end", "ok"}),
              lines);
    bv::RunLoop::current().runUntil([&] { return !shared.empty(); }, kWait);
    EXPECT_EQ(std::vector<std::string>{"/Docs"}, shared);
    server.broadcastShutdown();
    EXPECT_EQ(0, waitFor(pid));
    close(in);
    close(out);
}

}  // namespace
