#include <sys/xattr.h>

#include <gtest/gtest.h>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVUserItems.h"
#include "CacheTestSupport.h"
#include "TempDir.h"
#include "app/FileManagerExtendedAttributes.h"
#include "app/Utilities.h"
#include "platform/NotificationCenter.h"
#include "platform/Preferences.h"
#include "platform/TmpPaths.h"
#include "platform/UserInterface.h"
#include "platform/XdgPaths.h"

namespace fs = std::filesystem;
using namespace cachetest;

namespace {

std::shared_ptr<BVUserSessionItem> session(const std::string& user,
                                           const std::string& drive = "Cloud") {
    auto s = std::make_shared<BVUserSessionItem>();
    s->username = user;
    s->driveName = drive;
    return s;
}

TEST(UtilitiesTest, Md5HexDigest) {
    EXPECT_EQ(Utilities::md5HexDigest("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Utilities::md5HexDigest(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Utilities::md5HexDigest(std::nullopt), "");
    EXPECT_EQ(Utilities::md5HexDigest("\xc3\xa9"), "66ddcd97cfdeabb2f6fb8a999b4bc76f");  // é
}

TEST(UtilitiesTest, FoldersLieBelowTheDataFolderAndRefuseHostileUserNames) {
    bvtest::ScopedHome home;
    fs::path data = bv::XdgPaths::dataHome();
    struct Case {
        std::optional<std::string> folder;
        fs::path expected;
    };
    std::vector<Case> cases = {
        {Utilities::cacheRootPathFor(session("ann").get()), data / "Brimvault/ann/Cache"},
        {Utilities::khdRootPathForAccount("ann"), data / "Brimvault/ann/KHD"},
        {Utilities::LogFilePath(), data / "Brimvault/LogDirectory"},
        {Utilities::renamingsLog(), data / "Brimvault/rns"},
        {Utilities::getInstallerLogFilePath(), data / "Brimvault/bvinst"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.folder) << c.expected;
        EXPECT_EQ(fs::path(*c.folder), c.expected);
        EXPECT_TRUE(fs::is_directory(c.expected));
        EXPECT_EQ(modeOf(c.expected), 0700u);
    }
    for (std::string hostile : {"", ".", "..", "../x", "a/b"})
        EXPECT_FALSE(Utilities::cacheRootPathFor(session(hostile).get())) << hostile;
    EXPECT_FALSE(Utilities::cacheRootPathFor(nullptr));

    // With a signed-in session the task folder lies below its account's KHD folder.
    auto cache =
        BVCacheController::cacheControllerAt(*Utilities::cacheRootPathFor(session("ann").get()));
    cache->storeItem(session("ann"));
    EXPECT_EQ(Utilities::taskFileDirectory("Backup 1"),
              (data / "Brimvault/ann/KHD/Data/Backup 1").string());
    EXPECT_EQ(Utilities::cacheRootPath(), (data / "Brimvault/ann/Cache").string());
    BVCacheController::resetSharedController();
}

TEST(UtilitiesTest, SessionFileIsReadOnlyWhenItIsOurs) {
    bvtest::TempDir dir("utilities");
    writeAll(dir / "id", std::string(300, 'u'));
    EXPECT_EQ(Utilities::loadIdFromBrimvaultIDId((dir / "id").string())->size(), 250u);
    fs::create_symlink(dir / "id", dir / "link");
    EXPECT_FALSE(Utilities::loadIdFromBrimvaultIDId((dir / "link").string()));
    EXPECT_FALSE(Utilities::loadIdFromBrimvaultIDId((dir / "missing").string()));
}

// Another user of the machine could create, or read, any fixed name in the shared /tmp.
TEST(UtilitiesTest, SessionFilesLieInTheLoginsOwnFolder) {
    bvtest::ScopedHome home;
    const fs::path folder = home.path() / "run/brimvault/tmp";
    for (const char* name :
         {Utilities::kSessionIdFile, Utilities::kUserNameFile, Utilities::kDriveNameFile,
          Utilities::kAccessFile, Utilities::kInhibitFile}) {
        EXPECT_EQ(bv::bvTmpPath(name), (folder / fs::path(name).filename()).string()) << name;
    }
    EXPECT_FALSE(Utilities::loadIdFromBrimvaultIDId());
    writeAll(folder / "BrimvaultID.id", "ann");
    EXPECT_EQ(Utilities::loadIdFromBrimvaultIDId(), "ann");
    EXPECT_EQ(Utilities::khdRootPath(), (home.path() / ".local/share/Brimvault/ann/KHD").string());
}

TEST(UtilitiesTest, DriveRootFollowsTheMountDirectory) {
    bvtest::ScopedHome home;
    bv::Preferences::standard().setObject("mountDirectory", (home.path() / "mnt").string());
    EXPECT_EQ(Utilities::driveRootPathFor(*session("ann", "Cloud")),
              (home.path() / "mnt/Cloud").string());
    Utilities::setMountDirectoryOverride("/Volumes");
    EXPECT_EQ(Utilities::driveRootPathFor(*session("ann", "Cloud")), "/Volumes/Cloud");
    Utilities::setMountDirectoryOverride(std::nullopt);
    EXPECT_EQ(Utilities::driveRootPath(), "") << "no session";
}

class PresentErrorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = bv::UserInterface::setCurrent(ui_);
        Utilities::setClock(clock_);
        Utilities::resetPresentedErrors();
    }
    void TearDown() override {
        bv::UserInterface::setCurrent(previous_);
        Utilities::setClock(nullptr);
    }
    std::shared_ptr<bv::ScriptedUserInterface> ui_ = std::make_shared<bv::ScriptedUserInterface>();
    std::shared_ptr<bv::ManualClock> clock_ = std::make_shared<bv::ManualClock>();
    std::shared_ptr<bv::UserInterface> previous_;
};

TEST_F(PresentErrorTest, OneAlertPerCodePerFifteenSeconds) {
    auto e = bv::Error::make(-200, "network failure");
    Utilities::presentError(e);
    clock_->advance(14);
    Utilities::presentError(e);
    Utilities::presentError(bv::Error::make(-1000, "other code"));
    clock_->advance(1);
    Utilities::presentError(e, "Upload");
    auto calls = ui_->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].text, "Error:\n- network failure [-200]\n");
    EXPECT_EQ(calls[2].text, "Upload:\n- network failure [-200]\n");
}

TEST_F(PresentErrorTest, TextListsTheChainOutermostFirst) {
    bv::Error inner("NSPOSIXErrorDomain", 28);  // no texts at all
    bv::Error middle = bv::Error::make(-995, "invalid file size");
    middle.setInfo(bv::kLocalizedDescriptionKey, std::string("The size is wrong"));
    middle.setUnderlying(inner);
    bv::Error outer(bv::kBVErrorDomain, -197);
    outer.setInfo(bv::kLocalizedDescriptionKey, std::string("Service said no"));
    outer.setUnderlying(middle);
    EXPECT_EQ(Utilities::errorPresentationText(outer, "Copy"),
              "Copy:\n- Service said no [-197]\n- invalid file size [-995]\n- " +
                  inner.description() + " [28]\n");
    EXPECT_EQ(Utilities::errorPresentationText(bv::Error(), ""),
              "Error:\n- Unknown error (" + bv::Error().description() + ")");
}

TEST(UtilitiesTest, FinderSyncEventsAreNotifiedOncePerDistinctPath) {
    std::vector<std::string> paths;
    auto token = bv::NotificationCenter::defaultCenter().addObserver(
        Utilities::kFinderSyncEventNotification,
        [&](const std::string&, const nlohmann::json& info) { paths.push_back(info["path"]); });
    Utilities::setMountDirectoryOverride("/Volumes");
    Utilities::fireFinderSyncEventAtRelativePathArray({"/a", "/b", "/a"});
    Utilities::setMountDirectoryOverride(std::nullopt);
    // No session: the drive root is empty and the relative path stands alone.
    EXPECT_EQ(paths, (std::vector<std::string>{"/a", "/b"}));
}

TEST(UtilitiesTest, RefreshPathSet) {
    Utilities::addPathForRefresh("/x");
    EXPECT_TRUE(Utilities::shouldRefreshPath("/x"));
    EXPECT_FALSE(Utilities::shouldRefreshPath("/y"));
    Utilities::removePathForRefresh("/x");
    EXPECT_FALSE(Utilities::shouldRefreshPath("/x"));
}

TEST(UtilitiesTest, SmallEncoders) {
    EXPECT_EQ(Utilities::appRuntimeIdentifier(), Utilities::appRuntimeIdentifier());
    EXPECT_GE(Utilities::appRuntimeIdentifier().size(), 36u);
    EXPECT_FALSE(Utilities::appVersion().empty());
    EXPECT_FALSE(Utilities::buildNumber().empty());
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(Utilities::dateToStr(1700000000), "14/11/2023 10:13:20 PM");
    struct Case {
        uint64_t bytes;
        std::string text;
    };
    for (const auto& c : std::vector<Case>{{0, "Zero KB"},
                                           {1, "1 byte"},
                                           {999, "999 bytes"},
                                           {12'000, "12 KB"},
                                           {1'500'000, "1.5 MB"},
                                           {2'000'000, "2 MB"},
                                           {2'250'000'000, "2.25 GB"}})
        EXPECT_EQ(Utilities::getSizeFormattedStr(c.bytes), c.text) << c.bytes;
    EXPECT_GT(Utilities::getFreeDiskSpaceOnThisMac(), 0u);
}

TEST(FileManagerExtendedAttributesTest, RealAttributesInTheUserNamespace) {
    bvtest::TempDir dir("xattr");
    std::string file = (dir / "f").string();
    writeAll(file, "x");
    using X = FileManagerExtendedAttributes;
    bv::Error error;
    if (!X::setExtendedAttribute("probe", bv::Data::fromString("1"), file, true, 0, &error) &&
        error.code() == ENOTSUP)
        GTEST_SKIP() << "no user extended attributes on this file system";

    ASSERT_TRUE(Utilities::setFileFinderProgress(0.5, file));
    char raw[64] = {};
    ssize_t n =
        ::getxattr(file.c_str(), "user.com.apple.progress.fractionCompleted", raw, sizeof raw);
    EXPECT_EQ(std::string(raw, n > 0 ? size_t(n) : 0), "0.500000");

    ASSERT_TRUE(
        X::setExtendedAttributes({{"a", bv::Data::fromString("A")}}, file, true, true, &error));
    EXPECT_EQ(*X::extendedAttributeNamesAtPath(file, true, &error), std::vector<std::string>{"a"});
    EXPECT_TRUE(X::hasExtendedAttribute("a", file, true, &error));
    EXPECT_EQ(X::extendedAttribute("a", file, true, &error)->toString(), "A");
    EXPECT_EQ(X::extendedAttributesAtPath(file, true, &error)->size(), 1u);
    EXPECT_FALSE(
        X::setExtendedAttribute("a", bv::Data::fromString("B"), file, true, XATTR_CREATE, &error));
    EXPECT_EQ(error.code(), EEXIST);
    EXPECT_EQ(std::get<std::string>(error.userInfo().at("function")), "setxattr");
    EXPECT_EQ(std::get<int64_t>(error.userInfo().at(":mode")), XATTR_CREATE);
    EXPECT_EQ(std::get<int64_t>(error.userInfo().at(":value.length")), 1);
    ASSERT_TRUE(X::removeExtendedAttribute("a", file, true, &error));

    struct Failure {
        std::function<bool()> call;
        std::string function;
    };
    std::string missing = (dir / "missing").string();
    for (const auto& f : std::vector<Failure>{
             {[&] { return X::extendedAttributeNamesAtPath(missing, true, &error).has_value(); },
              "listxattr"},
             {[&] { return X::extendedAttribute("a", file, false, &error).has_value(); },
              "getxattr"},
             {[&] { return X::removeExtendedAttribute("a", file, true, &error); },
              "removexattr"}}) {
        error = {};
        EXPECT_FALSE(f.call());
        EXPECT_EQ(std::get<std::string>(error.userInfo().at("function")), f.function);
        EXPECT_FALSE(std::get<std::string>(error.userInfo().at("error")).empty());
        EXPECT_TRUE(error.hasInfo(":path"));
        EXPECT_TRUE(error.hasInfo(":traverseLink"));
    }
}

}  // namespace
