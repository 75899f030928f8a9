#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "BVUninstaller/BVUninstaller.h"
#include "TempDir.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/Preferences.h"
#include "platform/SecretStore.h"
#include "platform/TmpPaths.h"
#include "platform/XdgPaths.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& text, mode_t mode = 0600) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms(mode));
}

// What the uninstaller did to the world, with a script folder of its own.
struct UninstallerFixture : ::testing::Test {
    bvtest::ScopedHome home;
    bvtest::TempDir scripts{"bvu-scripts"};
    std::vector<std::vector<std::string>> commands;
    std::vector<std::string> unmounted;
    std::vector<std::pair<pid_t, int>> signals;
    std::vector<pid_t> processes;
    std::set<pid_t> ignoresTerm;  // processes that keep running after SIGTERM
    std::set<pid_t> ended;
    std::shared_ptr<bv::ManualClock> clock = std::make_shared<bv::ManualClock>();
    int scriptOutputMode = -1;
    bool asRoot = true;

    void SetUp() override {
        BVLogging::setupWithPrefix("BVU");
        Utilities::setMountDirectoryOverride((home.path() / "Volumes").string());
        fs::permissions(scripts.path(), fs::perms(0755));
        writeFile(scripts / BVUninstaller::kScriptName, "#!/bin/sh\nexit 0\n", 0755);
    }
    void TearDown() override { Utilities::setMountDirectoryOverride(std::nullopt); }

    BVUninstaller make() {
        BVUninstaller::System system;
        system.run = [this](const std::vector<std::string>& argv, int outputFd) {
            commands.push_back(argv);
            struct stat st {};
            if (outputFd >= 0 && ::fstat(outputFd, &st) == 0)
                scriptOutputMode = int(st.st_mode & 0777);
            return 0;
        };
        system.suiteProcesses = [this] { return processes; };
        system.isRunning = [this](pid_t pid) { return !ended.count(pid); };
        system.sendSignal = [this](pid_t pid, int sig) {
            signals.emplace_back(pid, sig);
            if (sig == SIGKILL || !ignoresTerm.count(pid))
                ended.insert(pid);
        };
        system.forceUnmount = [this](const std::string& path) {
            unmounted.push_back(path);
            return true;
        };
        system.clock = clock;
        system.runningAsRoot = asRoot;
        return BVUninstaller(std::move(system), scripts.path());
    }

    void signIn(const std::string& user) {
        writeFile(bv::bvTmpPath(Utilities::kUserNameFile), user);
        auto secrets = bv::SecretStore::current();
        secrets->save("BrimvaultSecureFolder", user, "folder-secret");
        secrets->save("BrimvaultAutoLogin", user, "login-secret");
        secrets->save("BrimvaultAutoLogin", "someone-else", "other-secret");
        auto& prefs = bv::Preferences::standard();
        for (const char* key : {"bvuser", "savePswd", "autoLogin", "savedEmails", "trustComp"})
            prefs.setObject(key, true);
        prefs.setObject("mountDirectory", "/elsewhere");
        writeFile(bv::XdgPaths::configHome() / "autostart" / BVUninstaller::kAutostartFileName,
                  "[Desktop Entry]\n");
    }

    std::vector<std::string> scriptCommand() const {
        for (const auto& c : commands)
            for (const auto& word : c)
                if (word.ends_with(BVUninstaller::kScriptName))
                    return c;
        return {};
    }
};

TEST_F(UninstallerFixture, FullRemovalForgetsTheUsersSecretsAndPreferencesAndRunsFull) {
    signIn("alice");
    auto uninstaller = make();
    EXPECT_EQ(uninstaller.uninstall(), 0);

    EXPECT_EQ(uninstaller.userName(), "alice");
    auto secrets = bv::SecretStore::current();
    EXPECT_FALSE(secrets->find("BrimvaultSecureFolder", "alice"));
    EXPECT_FALSE(secrets->find("BrimvaultAutoLogin", "alice"));
    EXPECT_EQ(secrets->find("BrimvaultAutoLogin", "someone-else").value_or(""), "other-secret");

    auto& prefs = bv::Preferences::standard();
    prefs.reload();
    for (const char* key : {"bvuser", "savePswd", "autoLogin", "savedEmails", "trustComp"})
        EXPECT_TRUE(prefs.objectForKey(key).is_null()) << key;
    EXPECT_EQ(prefs.stringForKey("mountDirectory"), "/elsewhere");

    EXPECT_FALSE(fs::exists(bv::XdgPaths::configHome() / "autostart/brimvault.desktop"));
    EXPECT_EQ(scriptCommand(),
              (std::vector<std::string>{(scripts / BVUninstaller::kScriptName).string(), "full"}));
    EXPECT_EQ(scriptOutputMode, 0600) << "the script's output is owner-only";
}

TEST_F(UninstallerFixture, OnlyAppKeepsSecretsAndPreferencesAndAsksPkexecWhenNotRoot) {
    signIn("alice");
    asRoot = false;
    auto uninstaller = make();
    uninstaller.uninstallData = false;
    EXPECT_EQ(uninstaller.uninstall(), 0);

    auto secrets = bv::SecretStore::current();
    EXPECT_TRUE(secrets->find("BrimvaultSecureFolder", "alice"));
    EXPECT_TRUE(secrets->find("BrimvaultAutoLogin", "alice"));
    auto& prefs = bv::Preferences::standard();
    prefs.reload();
    EXPECT_TRUE(prefs.boolForKey("savePswd"));
    EXPECT_TRUE(prefs.objectForKey("trustComp").is_null()) << "trust is cleared in both modes";
    EXPECT_EQ(scriptCommand(),
              (std::vector<std::string>{"pkexec", (scripts / BVUninstaller::kScriptName).string(),
                                        "onlyapp"}));
}

TEST_F(UninstallerFixture, WithoutTheSessionFileTheUserNameIsEmptyAndNoSecretGoes) {
    signIn("alice");
    fs::remove(bv::bvTmpPath(Utilities::kUserNameFile));
    auto uninstaller = make();
    EXPECT_EQ(uninstaller.uninstall(), 0);
    EXPECT_EQ(uninstaller.userName(), "");
    EXPECT_TRUE(bv::SecretStore::current()->find("BrimvaultAutoLogin", "alice"));
}

TEST_F(UninstallerFixture, StateFilesOfAnotherUserOrThroughALinkAreIgnored) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    signIn("alice");
    const auto idFile = bv::bvTmpPath(Utilities::kUserNameFile);
    const auto driveFile = bv::bvTmpPath(Utilities::kDriveNameFile);
    writeFile(driveFile, "Planted\n");
    ASSERT_EQ(::chown(idFile.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(driveFile.c_str(), 65534, 65534), 0);
    auto uninstaller = make();
    uninstaller.uninstall();
    EXPECT_EQ(uninstaller.userName(), "");
    EXPECT_TRUE(bv::SecretStore::current()->find("BrimvaultAutoLogin", "alice"));
    EXPECT_TRUE(unmounted.empty());

    fs::remove(driveFile);
    bvtest::TempDir elsewhere;
    writeFile(elsewhere / "drive", "Linked\n");
    fs::create_symlink(elsewhere / "drive", driveFile);
    make().killBrimvaultApp();
    EXPECT_TRUE(unmounted.empty());
}

TEST_F(UninstallerFixture, EjectsEachNamedDriveAndEndsProgramsTermBeforeKill) {
    writeFile(bv::bvTmpPath(Utilities::kDriveNameFile), "MyDrive extra words\n../etc\na/b\n\n");
    processes = {101, 102};
    ignoresTerm = {102};
    auto uninstaller = make();
    const double start = clock->monotonic();
    uninstaller.killBrimvaultApp();

    EXPECT_EQ(unmounted, (std::vector<std::string>{(home.path() / "Volumes/MyDrive").string()}));
    EXPECT_EQ(signals,
              (std::vector<std::pair<pid_t, int>>{{101, SIGTERM}, {102, SIGTERM}, {102, SIGKILL}}));
    EXPECT_GE(clock->monotonic() - start, BVUninstaller::kTerminateGraceSeconds);
}

TEST_F(UninstallerFixture, AMissingOrUnsafeScriptIsNeverRun) {
    fs::remove(scripts / BVUninstaller::kScriptName);
    EXPECT_EQ(make().runUninstallScript(), 1);
    EXPECT_TRUE(scriptCommand().empty());

    writeFile(scripts / BVUninstaller::kScriptName, "#!/bin/sh\n", 0777);
    EXPECT_EQ(make().runUninstallScript(), 1);
    EXPECT_TRUE(scriptCommand().empty());

    fs::remove(scripts / BVUninstaller::kScriptName);
    writeFile(scripts / "real.sh", "#!/bin/sh\n", 0755);
    fs::create_symlink(scripts / "real.sh", scripts / BVUninstaller::kScriptName);
    EXPECT_EQ(make().runUninstallScript(), 1);
    EXPECT_TRUE(scriptCommand().empty());

    // A folder anybody may write to without the sticky bit lets them swap the script.
    fs::remove(scripts / BVUninstaller::kScriptName);
    writeFile(scripts / BVUninstaller::kScriptName, "#!/bin/sh\n", 0755);
    fs::permissions(scripts.path(), fs::perms(0777));
    EXPECT_EQ(make().runUninstallScript(), 1);
    EXPECT_TRUE(scriptCommand().empty());
    fs::permissions(scripts.path(), fs::perms(01777));
    EXPECT_EQ(make().runUninstallScript(), 0);
}

// The removal script itself, on an install below a temporary prefix.
TEST(UninstallerScript, RemovesTheManifestsFilesAndWithFullTheUsersData) {
    bvtest::ScopedHome home;
    bvtest::TempDir prefix{"bvu-prefix"};
    const fs::path lib = prefix / "lib/brimvault";
    writeFile(prefix / "bin/brimvault", "x", 0755);
    writeFile(prefix / "bin/unrelated", "x", 0755);
    writeFile(lib / "install-manifest.txt", "bin/brimvault\n../../escape\n/etc/passwd\n");
    fs::copy_file(BV_UNINSTALLER_SCRIPT, lib / "uninstaller.sh");
    writeFile(bv::XdgPaths::dataHome() / "Brimvault/secrets.json", "{}");
    writeFile(bv::XdgPaths::configHome() / "Brimvault/prefs.json", "{}");
    writeFile(bv::XdgPaths::dataHome() / "Other/keep", "x");

    auto run = [&](const std::string& mode) {
        // No package owns the files, so the manifest decides what goes.
        std::string command = "PATH=/usr/bin:/bin sh '" + (lib / "uninstaller.sh").string() + "' " +
                              mode + " >/dev/null 2>&1";
        return std::system(command.c_str());
    };
    EXPECT_EQ(run("onlyapp"), 0);
    EXPECT_FALSE(fs::exists(prefix / "bin/brimvault"));
    EXPECT_TRUE(fs::exists(prefix / "bin/unrelated"));
    EXPECT_TRUE(fs::exists(bv::XdgPaths::dataHome() / "Brimvault/secrets.json"));

    writeFile(lib / "install-manifest.txt", "");
    fs::copy_file(BV_UNINSTALLER_SCRIPT, lib / "uninstaller.sh");
    EXPECT_EQ(run("full"), 0);
    EXPECT_FALSE(fs::exists(bv::XdgPaths::dataHome() / "Brimvault"));
    EXPECT_FALSE(fs::exists(bv::XdgPaths::configHome() / "Brimvault"));
    EXPECT_TRUE(fs::exists(bv::XdgPaths::dataHome() / "Other/keep"));
}

}  // namespace
