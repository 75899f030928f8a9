// The offered update's download into a private file, and its hand-off to the installer.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "ReferenceServer.h"
#include "TempDir.h"
#include "app/Shell/BVUpdateInstaller.h"
#include "app/Shell/DownloadUpdate.h"

namespace fs = std::filesystem;

namespace {

class UpdateDownloadTest : public ::testing::Test {
  protected:
    UpdateDownloadTest() {
        fs::create_directories(folder);
        ::chmod(folder.c_str(), 0700);
        fs::create_directories(server.dataDir() / "downloads");
        std::ofstream(server.dataDir() / "downloads" / "pkg.deb", std::ios::binary) << bytes;
    }

    DownloadUpdate::Offer offer(const std::string& name = "pkg.deb") const {
        const std::string root = server.baseUrl().substr(0, server.baseUrl().find("/api/"));
        return {root + "/downloads/" + name, bytes.size(), ""};
    }

    DownloadUpdate::Result download(const DownloadUpdate::Offer& offer) {
        return DownloadUpdate(target.string(), server.caFile().string())
            .downloadUpdate(offer, [this](int percent) { progress.push_back(percent); });
    }

    // 200,000 bytes of "0123456789".
    static inline const std::string bytes = [] {
        std::string text;
        for (int i = 0; i < 20000; ++i)
            text += "0123456789";
        return text;
    }();

    bvtest::TempDir dir;
    fs::path folder = dir.path() / "private";
    fs::path target = folder / "update.deb";
    bvtest::ReferenceServer server;
    std::vector<int> progress;
};

TEST_F(UpdateDownloadTest, TheOfferedFileArrivesOwnerOnlyAndChecked) {
    auto expected = offer();
    expected.sha256 =
        DownloadUpdate::sha256Of((server.dataDir() / "downloads" / "pkg.deb").string());
    auto result = download(expected);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.path, target.string());
    EXPECT_EQ(result.sha256, expected.sha256);
    std::ifstream in(target, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::string why;
    EXPECT_TRUE(DownloadUpdate::isPrivateFile(target.string(), &why)) << why;
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
}

TEST_F(UpdateDownloadTest, WhatDoesNotMatchTheOfferOrCannotBeTrustedIsNotKept) {
    const auto good = [&] {
        auto o = offer();
        o.sha256 = DownloadUpdate::sha256Of((server.dataDir() / "downloads" / "pkg.deb").string());
        return o;
    }();
    struct Case {
        const char* name;
        DownloadUpdate::Offer offer;
        mode_t folderMode;
        const char* reason;
    };
    auto with = [&](auto change) {
        auto o = good;
        change(o);
        return o;
    };
    const std::vector<Case> cases = {
        {"other digest", with([](auto& o) { o.sha256 = std::string(64, 'a'); }), 0700, "SHA-256"},
        {"other size", with([](auto& o) { o.size = 5; }), 0700, "bytes where the offer says"},
        {"missing", offer("gone.deb"), 0700, "answered 404"},
        {"plain http", with([](auto& o) { o.url.replace(0, 5, "http"); }), 0700, "not an https"},
        {"folder open to others", good, 0777, "not private"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::chmod(folder.c_str(), c.folderMode);
        auto result = download(c.offer);
        ::chmod(folder.c_str(), 0700);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(c.reason), std::string::npos) << result.error;
        EXPECT_FALSE(fs::exists(target));
        EXPECT_FALSE(fs::exists(target.string() + ".part"));
    }
    std::ofstream(target) << "x";
    ::chmod(target.c_str(), 0644);
    std::string why;
    EXPECT_FALSE(DownloadUpdate::isPrivateFile(target.string(), &why));
}

TEST(UpdateOfferTest, AMalformedSizeOrDigestIsDroppedNotTrusted) {
    auto offer = DownloadUpdate::Offer::fromNotification(
        {{"URL", "https://x/p.deb"}, {"Size", -3}, {"SHA256", "not hex"}});
    EXPECT_EQ(offer.url, "https://x/p.deb");
    EXPECT_FALSE(offer.size);
    EXPECT_TRUE(offer.sha256.empty());
    offer = DownloadUpdate::Offer::fromNotification(
        {{"URL", 5}, {"Size", 12}, {"SHA256", std::string(64, 'A')}});
    EXPECT_TRUE(offer.url.empty());
    EXPECT_EQ(offer.size, 12u);
    EXPECT_EQ(offer.sha256, std::string(64, 'a'));
}

TEST(UpdateInstallerTest, RootInstallsItselfOthersGoThroughPkexecOrSudoOrAreToldTheCommand) {
    struct Case {
        const char* name;
        bool root;
        std::vector<std::string> present;
        std::vector<std::string> argv;
    };
    const std::string pkg = "/home/u/.cache/Brimvault/tmp/update.deb";
    const std::vector<Case> cases = {
        {"root",
         true,
         {"/usr/bin/apt-get", "/usr/bin/pkexec"},
         {"/usr/bin/apt-get", "install", pkg}},
        {"pkexec first",
         false,
         {"/usr/bin/apt-get", "/usr/bin/pkexec", "/usr/bin/sudo"},
         {"/usr/bin/pkexec", "/usr/bin/apt-get", "install", pkg}},
        {"sudo",
         false,
         {"/usr/bin/apt-get", "/usr/bin/sudo"},
         {"/usr/bin/sudo", "/usr/bin/apt-get", "install", pkg}},
        {"neither", false, {"/usr/bin/apt-get"}, {}},
        {"no apt", true, {"/usr/bin/pkexec"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BVUpdateInstaller::System system;
        system.root = c.root;
        system.isSystemProgram = [&](const std::string& path) {
            return std::find(c.present.begin(), c.present.end(), path) != c.present.end();
        };
        auto plan = BVUpdateInstaller::plan(pkg, false, system);
        EXPECT_EQ(plan.argv, c.argv);
        EXPECT_EQ(plan.manualCommand, "apt-get install " + pkg);
        EXPECT_EQ(plan.reason.empty(), !c.argv.empty());
    }
    BVUpdateInstaller::System root{true, [](const std::string&) { return true; }};
    EXPECT_EQ(BVUpdateInstaller::plan(pkg, true, root).argv,
              (std::vector<std::string>{"/usr/bin/apt-get", "install", "-y", pkg}));
}

}  // namespace
