// The keelhaven program and its task subcommands against the reference service.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "BVApi/Networking/BVSignInSequence.h"
#include "SyncFolderPair.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/TmpPaths.h"

extern char** environ;

namespace khtest {
namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr int64_t kT0 = 1'600'000'000;

struct CliResult {
    int exitCode = -1;
    std::string out;
};

CliResult cli(const std::string& arguments) {
    std::string command = std::string(KEELHAVEN_BINARY) + " " + arguments + " 2>&1";
    CliResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, n);
    int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

void writeSessionFile(const char* fixedPath, const std::string& bytes) {
    std::string path = bv::bvTmpPath(fixedPath);
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// The running application, stopped on every path out of the test.
class KeelhavenProcess {
  public:
    KeelhavenProcess() {
        char* argv[] = {const_cast<char*>(KEELHAVEN_BINARY), nullptr};
        if (::posix_spawn(&pid_, KEELHAVEN_BINARY, nullptr, nullptr, argv, environ) != 0)
            pid_ = -1;
    }
    ~KeelhavenProcess() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    bool started() const { return pid_ > 0; }
    // Waits until the control socket answers.
    bool ready() const {
        for (int i = 0; i < 200; ++i) {
            if (cli("task list").exitCode == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

  private:
    pid_t pid_ = -1;
};

class KeelhavenCliTest : public SamAccountSuite {
  protected:
    static void SetUpTestSuite() {
        SamAccountSuite::SetUpTestSuite();
        ::setenv("BRIMVAULT_API_URL", server_->baseUrl().c_str(), 1);
        ::setenv("BRIMVAULT_CA_FILE", server_->caFile().c_str(), 1);
    }
    static void TearDownTestSuite() {
        ::unsetenv("BRIMVAULT_API_URL");
        ::unsetenv("BRIMVAULT_CA_FILE");
        SamAccountSuite::TearDownTestSuite();
    }

    // The session files as the drive application writes them after its sign-in.
    void signInAs(const std::string& session) {
        writeSessionFile(Utilities::kSessionIdFile, session);
        writeSessionFile(Utilities::kUserNameFile, "sam");
        writeSessionFile(Utilities::kDriveNameFile, SyncFolderPair::kDrive);
        int32_t access = 0;
        writeSessionFile(Utilities::kAccessFile, std::string(reinterpret_cast<char*>(&access), 4));
        uint64_t limit = 0;
        writeSessionFile(Utilities::kInhibitFile, std::string(reinterpret_cast<char*>(&limit), 8));
    }

    static void write(const fs::path& path, const std::string& content) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }
    static std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::string idOf(const CliResult& added) {
        std::string id = added.out;
        while (!id.empty() && (id.back() == '\n' || id.back() == '\r'))
            id.pop_back();
        return id;
    }
};

TEST_F(KeelhavenCliTest, BackupAndSyncTasksCreatedRunAndControlledFromTheCommandLine) {
    // The pairs make the two cloud folders and see them; their own tasks are not used.
    SyncFolderPair backupSide(*server_, "sam", "pw-sam", "CliBackup", SyncBackupTask::kBackup);
    SyncFolderPair syncSide(*server_, "sam", "pw-sam", "CliSync", SyncBackupTask::kBackup);
    signInAs(backupSide.session());
    bvtest::TempDir local("khcli");
    write(local / "docs" / "a.txt", "alpha");
    write(local / "docs" / "sub" / "b.txt", "beta");
    write(local / "mine" / "x.txt", "ex");

    KeelhavenProcess keelhaven;
    ASSERT_TRUE(keelhaven.started());
    ASSERT_TRUE(keelhaven.ready());

    auto backup = cli("task add --type backup --from " + (local / "docs").string() +
                      " --to /MyDrive/CliBackup --schedule manual");
    ASSERT_EQ(backup.exitCode, 0) << backup.out;
    std::string backupId = idOf(backup);
    // The id is the creation second; the next task needs a second of its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    auto sync = cli("task add --type sync --from " + (local / "mine").string() +
                    " --to /MyDrive/CliSync --schedule daily --days mon,fri --at 03:30");
    ASSERT_EQ(sync.exitCode, 0) << sync.out;
    std::string syncId = idOf(sync);
    ASSERT_NE(syncId, backupId);

    auto list = cli("task list --json");
    ASSERT_EQ(list.exitCode, 0) << list.out;
    json tasks = json::parse(list.out);
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_EQ(tasks[1]["schedule"], "Daily");
    EXPECT_GT(tasks[1]["nextRun"].get<int64_t>(), 0);
    EXPECT_EQ(tasks[0]["nextRun"], 0);

    auto ran = cli("task run " + backupId + " --wait");
    ASSERT_EQ(ran.exitCode, 0) << ran.out;
    EXPECT_EQ(backupSide.cloudTree(),
              (SyncFolderPair::Tree{{"a.txt", "alpha"}, {"sub", "<dir>"}, {"sub/b.txt", "beta"}}));
    auto log = cli("task log " + backupId);
    EXPECT_NE(log.out.find("Task Status: Success"), std::string::npos) << log.out;

    ASSERT_EQ(cli("task run " + syncId + " --wait").exitCode, 0);
    EXPECT_EQ(syncSide.cloudTree().at("x.txt"), "ex");
    syncSide.writeCloud("y.txt", "why", kT0);
    write(local / "mine" / "x.txt", "ex 2");
    fs::last_write_time(local / "mine" / "x.txt",
                        fs::last_write_time(local / "mine" / "x.txt") + std::chrono::hours(1));
    ran = cli("task run " + syncId + " --wait");
    ASSERT_EQ(ran.exitCode, 0) << ran.out;
    EXPECT_EQ(read(local / "mine" / "y.txt"), "why");
    EXPECT_EQ(syncSide.cloudTree().at("x.txt"), "ex 2");

    write(local / "mine" / "planned.txt", "p");
    auto planned = cli("task run " + syncId + " --dry-run");
    ASSERT_EQ(planned.exitCode, 0) << planned.out;
    EXPECT_NE(planned.out.find("upload " + (local / "mine" / "planned.txt").string()),
              std::string::npos)
        << planned.out;
    EXPECT_EQ(syncSide.cloudTree().count("planned.txt"), 0u);

    // A paused task does not run; errors name the problem and exit 2.
    EXPECT_EQ(cli("task pause " + syncId).exitCode, 0);
    auto refused = cli("task run " + syncId);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.out.find("paused"), std::string::npos) << refused.out;
    EXPECT_EQ(cli("task resume " + syncId).exitCode, 0);
    EXPECT_EQ(cli("task show 42").exitCode, 2);
    auto bad = cli("task add --type backup --from /tmp/a --to /tmp/b");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.out.find("exactly one of --from and --to"), std::string::npos) << bad.out;

    EXPECT_EQ(cli("task remove " + backupId).exitCode, 0);
    EXPECT_EQ(json::parse(cli("task list --json").out).size(), 1u);
}

TEST_F(KeelhavenCliTest, EveryCommandHasOneLineHelpAndNoApplicationMeansAClearError) {
    for (const char* sub :
         {"add", "list", "show", "run", "stop", "pause", "resume", "remove", "log"}) {
        auto help = cli(std::string("task ") + sub + " --help");
        EXPECT_EQ(help.exitCode, 0) << sub;
    }
    auto list = cli("task list");
    EXPECT_EQ(list.exitCode, 2);
    EXPECT_NE(list.out.find("Keelhaven is not running"), std::string::npos) << list.out;
}

}  // namespace
}  // namespace khtest
