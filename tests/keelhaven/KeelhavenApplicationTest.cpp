// Keelhaven's link to the drive application: session files, command socket, quitting.
#include "Keelhaven/App/KeelhavenApplication.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/NotificationCenter.h"
#include "platform/TmpPaths.h"

namespace {

namespace fs = std::filesystem;

void writeBytes(const std::string& fixedPath, const std::string& bytes) {
    std::string path = bv::bvTmpPath(fixedPath);
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

template <class T>
std::string bytesOf(T value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

class KeelhavenApplicationTest : public ::testing::Test {
  protected:
    KeelhavenApplicationTest() {
        BVLogging::setupWithPrefix("KHV");
        writeBytes(Utilities::kSessionIdFile, "session-1");
        writeBytes(Utilities::kUserNameFile, "alice");
        writeBytes(Utilities::kDriveNameFile, "MyDrive");
        writeBytes(Utilities::kAccessFile, bytesOf<int32_t>(1));
        writeBytes(Utilities::kInhibitFile, bytesOf<uint64_t>(5'000'000'000ull));
    }
    ~KeelhavenApplicationTest() override { BrimvaultUser::getUser() = BrimvaultUser(); }

    std::unique_ptr<KeelhavenApplication> launch() {
        KeelhavenApplication::Hooks hooks;
        hooks.terminate = [this] { ++terminated; };
        hooks.bringTaskListForward = [this] { ++broughtForward; };
        auto app = std::make_unique<KeelhavenApplication>(SyncBackupTaskContext::make(), hooks);
        EXPECT_TRUE(app->applicationDidFinishLaunching());
        return app;
    }

    bvtest::ScopedHome home;
    int terminated = 0;
    int broughtForward = 0;
};

TEST_F(KeelhavenApplicationTest, LoadParametersReadsTheFiveSessionFiles) {
    KeelhavenApplication app(SyncBackupTaskContext::make());
    app.loadParameters();
    const auto& user = BrimvaultUser::getUser();
    EXPECT_EQ(user.sessionID, "session-1");
    EXPECT_EQ(user.username, "alice");
    EXPECT_EQ(user.driveName, "MyDrive");
    EXPECT_TRUE(user.isAccessUser);
    // Written as 8 bytes: a limit above 4 GiB/s survives.
    EXPECT_EQ(user.uploadSpeedLimit, 5'000'000'000);

    writeBytes(Utilities::kInhibitFile, bytesOf<uint32_t>(65536));
    writeBytes(Utilities::kAccessFile, bytesOf<int32_t>(0));
    writeBytes(Utilities::kSessionIdFile, std::string(300, 's'));
    ::unlink(bv::bvTmpPath(Utilities::kDriveNameFile).c_str());
    app.loadParameters();
    EXPECT_EQ(user.uploadSpeedLimit, 65536);
    EXPECT_FALSE(user.isAccessUser);
    EXPECT_EQ(user.sessionID, std::string(250, 's'));
    EXPECT_EQ(user.driveName, "");
}

TEST_F(KeelhavenApplicationTest, SessionFilesAreNeverReadThroughLinksOrFromFolders) {
    bvtest::TempDir elsewhere("khapp");
    std::ofstream(elsewhere / "planted") << "spoofed";
    std::string session = bv::bvTmpPath(Utilities::kSessionIdFile);
    ::unlink(session.c_str());
    ASSERT_EQ(::symlink((elsewhere / "planted").c_str(), session.c_str()), 0);
    EXPECT_EQ(KeelhavenApplication::readText(session), std::nullopt);
    EXPECT_EQ(KeelhavenApplication::readText(elsewhere.path().string()), std::nullopt);
    EXPECT_EQ(KeelhavenApplication::readSpeedLimit(session), 0);
    writeBytes(Utilities::kAccessFile, "x");
    EXPECT_FALSE(KeelhavenApplication::readAccessFlag(bv::bvTmpPath(Utilities::kAccessFile)));
}

TEST_F(KeelhavenApplicationTest, LaunchWritesTheBannerAndMakesTheWorkingFolder) {
    auto app = launch();
    auto lines = KeelhavenApplication::bannerLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], std::string(60, '='));
    EXPECT_EQ(lines[1].rfind("=== Keelhaven-macOS Version ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" (Build "), std::string::npos);
    EXPECT_EQ(lines[2].rfind("=== macOS ", 0), 0u);
    EXPECT_EQ(lines[3].rfind("=== macfuse ", 0), 0u);
    EXPECT_TRUE(fs::is_directory(app->workingFolder())) << app->workingFolder();
    EXPECT_EQ(fs::status(app->workingFolder()).permissions() & fs::perms::all,
              fs::perms::owner_all);
    ASSERT_NE(app->manager(), nullptr);
    EXPECT_EQ(app->manager()->userInfo().userName, "alice");
}

TEST_F(KeelhavenApplicationTest, OpenReReadsTheParametersAndCloseQuits) {
    auto app = launch();
    writeBytes(Utilities::kSessionIdFile, "session-2");
    auto client =
        CommSocketClient::initAndStartClient(bv::bvTmpPath(KeelhavenApplication::kCommandSocket));
    ASSERT_TRUE(client && client->isSockConnected());
    ASSERT_TRUE(client->messageString("open"));
    ASSERT_TRUE(bv::RunLoop::main().runUntil([&] { return broughtForward == 1; }, 10));
    EXPECT_EQ(BrimvaultUser::getUser().sessionID, "session-2");
    EXPECT_EQ(BrimvaultUserInfo::getCurrentUser().values().m_sessionId, "session-2");
    EXPECT_EQ(terminated, 0);

    ASSERT_TRUE(client->messageString("something else"));
    ASSERT_TRUE(client->messageString("close"));
    ASSERT_TRUE(bv::RunLoop::main().runUntil([&] { return terminated == 1; }, 10));
    EXPECT_EQ(broughtForward, 1);
    client->stopClient();
}

TEST_F(KeelhavenApplicationTest, QuitsWhenTheDrivesVolumeGoesButNotForAnotherVolume) {
    auto app = launch();
    auto post = [](const std::string& path) {
        bv::NotificationCenter::defaultCenter().post(KHVManager::kDidUnmountNotification,
                                                     {{KHVManager::kDevicePathKey, path}});
    };
    post(Utilities::driveMountDirectory() + "/OtherDrive");
    EXPECT_EQ(terminated, 0);
    post(Utilities::driveMountDirectory() + "/MyDrive");
    EXPECT_EQ(terminated, 1);
}

TEST_F(KeelhavenApplicationTest, QuitsWhenTheDriveApplicationEnds) {
    auto app = launch();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte;
        ::close(fds[1]);
        (void)!::read(fds[0], &byte, 1);
        ::_exit(0);
    }
    ::close(fds[0]);
    ASSERT_TRUE(app->watchDrivingApplication(child));
    bv::RunLoop::main().runFor(0.05);
    EXPECT_EQ(terminated, 0);
    ::close(fds[1]);
    EXPECT_TRUE(bv::RunLoop::main().runUntil([&] { return terminated == 1; }, 10));
    ::waitpid(child, nullptr, 0);
}

}  // namespace
