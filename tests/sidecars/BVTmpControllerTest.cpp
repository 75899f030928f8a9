#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "BVApi/Cache/BVTmpController.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class TmpControllerTest : public ::testing::Test {
  protected:
    TmpControllerTest() : store(root().string(), dir.path().string()) {}
    fs::path root() const { return dir.path() / "BrimvaultTmp" / "temp"; }

    bvtest::TempDir dir{"sidecars"};
    BVTmpController store;
};

TEST(TmpControllerStartTest, RootIsEmptiedAndPrivateWhateverItHeld) {
    bvtest::TempDir dir("sidecars");
    fs::path root = dir.path() / "BrimvaultTmp" / "temp";
    fs::create_directories(root / "A" / "B");
    writeText(root / "A" / "B" / "old.txt", "old");
    writeText(root / ".DS_Store", "x");

    BVTmpController store(root.string(), dir.path().string());
    EXPECT_EQ(store.rootPath(), root.string());
    EXPECT_TRUE(fs::is_directory(root));
    EXPECT_TRUE(fs::is_empty(root));
    EXPECT_EQ(modeOf(root), 0700u);
    EXPECT_EQ(modeOf(root.parent_path()), 0700u);
}

// What an earlier run or another user left at the fixed path, and what the store makes of it.
TEST(TmpControllerStartTest, NeverTrustsWhatLiesInTheSharedFolder) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& base, const fs::path& victim)> plant;
        bool refused;
    };
    const bool root = ::geteuid() == 0;
    auto chownToNobody = [](const fs::path& p) { ASSERT_EQ(::lchown(p.c_str(), 65534, 65534), 0); };
    std::vector<Case> cases = {
        {"parent is a link to another folder",
         [](auto& base, auto& victim) {
             fs::create_directory_symlink(victim, base / "BrimvaultTmp");
         },
         false},
        {"parent is a file", [](auto& base, auto&) { writeText(base / "BrimvaultTmp", "x"); },
         false},
        {"parent is open to everyone",
         [](auto& base, auto&) {
             fs::create_directory(base / "BrimvaultTmp");
             ::chmod((base / "BrimvaultTmp").c_str(), 0777);
         },
         false},
        {"root is a link to another folder",
         [](auto& base, auto& victim) {
             fs::create_directory(base / "BrimvaultTmp");
             fs::create_directory_symlink(victim, base / "BrimvaultTmp" / "temp");
         },
         false},
        {"root is a dangling link",
         [](auto& base, auto& victim) {
             fs::create_directory(base / "BrimvaultTmp");
             fs::create_symlink(victim / "nowhere", base / "BrimvaultTmp" / "temp");
         },
         false},
    };
    if (root) {
        cases.push_back({"parent belongs to another user",
                         [&](auto& base, auto&) {
                             fs::create_directory(base / "BrimvaultTmp");
                             ::chmod((base / "BrimvaultTmp").c_str(), 0700);
                             chownToNobody(base / "BrimvaultTmp");
                         },
                         true});
        cases.push_back({"parent is a link of another user",
                         [&](auto& base, auto& victim) {
                             fs::create_directory_symlink(victim, base / "BrimvaultTmp");
                             chownToNobody(base / "BrimvaultTmp");
                         },
                         true});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bvtest::TempDir base("sidecars"), victim("victim");
        writeText(victim.path() / "keep.txt", "precious");
        fs::create_directory(victim.path() / "temp");
        writeText(victim.path() / "temp" / "keep.txt", "precious");
        c.plant(base.path(), victim.path());
        fs::path rootPath = base.path() / "BrimvaultTmp" / "temp";

        if (c.refused) {
            try {
                BVTmpController store(rootPath.string(), base.path().string());
                ADD_FAILURE() << "a folder of another user was used";
            } catch (const BVTmpControllerException& e) {
                EXPECT_STREQ(BVTmpControllerException::name(), "BVTmpController");
                EXPECT_EQ(e.reason(), "Failed to create tmp directory at " + rootPath.string());
            }
        } else {
            BVTmpController store(rootPath.string(), base.path().string());
            EXPECT_FALSE(fs::is_symlink(base.path() / "BrimvaultTmp"));
            EXPECT_FALSE(fs::is_symlink(rootPath));
            EXPECT_TRUE(fs::is_directory(rootPath));
            EXPECT_EQ(modeOf(base.path() / "BrimvaultTmp"), 0700u);
            EXPECT_EQ(modeOf(rootPath), 0700u);
        }
        EXPECT_EQ(readText(victim.path() / "keep.txt"), "precious");
        EXPECT_EQ(readText(victim.path() / "temp" / "keep.txt"), "precious");
    }
}

TEST(TmpControllerStartTest, SharedStoreIsReplacedAndEmptiedByEachStart) {
    bvtest::TempDir dir("sidecars");
    fs::path root = dir.path() / "BrimvaultTmp" / "temp";
    auto first = BVTmpController::initSharedController(root.string(), dir.path().string());
    EXPECT_EQ(BVTmpController::sharedController(), first);
    ASSERT_TRUE(first->createFileAt("/A/staged", nullptr));

    auto second = BVTmpController::initSharedController(root.string(), dir.path().string());
    EXPECT_EQ(BVTmpController::sharedController(), second);
    EXPECT_FALSE(second->fileExistsAt("/A/staged"));
    EXPECT_TRUE(fs::is_empty(root));
    BVTmpController::resetSharedController();
    EXPECT_EQ(BVTmpController::sharedController(), nullptr);
}

// Nothing in the shared /tmp (another user's "/tmp/BrimvaultTmp") can block or read the
// application's store.
TEST(TmpControllerStartTest, ApplicationStoreLiesInTheUsersOwnTmpRoot) {
    bvtest::ScopedHome home;
    EXPECT_STREQ(BVTmpController::kDefaultRootPath, "/tmp/BrimvaultTmp/temp");
    auto store = BVTmpController::initSharedController();
    const fs::path tmpRoot = home.path() / ".cache/Brimvault/tmp";
    EXPECT_EQ(store->rootPath(), (tmpRoot / "BrimvaultTmp/temp").string());
    EXPECT_EQ(modeOf(tmpRoot / "BrimvaultTmp"), 0700u);
    ASSERT_TRUE(store->createFileAt("/A/staged", nullptr));
    EXPECT_TRUE(fs::exists(tmpRoot / "BrimvaultTmp/temp/A/staged"));
    BVTmpController::resetSharedController();

    // Without a tmp root of our own there is no store.
    fs::remove_all(tmpRoot);
    fs::create_directory_symlink(home.path(), tmpRoot);
    EXPECT_THROW(BVTmpController(), BVTmpControllerException);
}

TEST(TmpControllerNameRuleTest, AnyComponentHoldingASpecialName) {
    struct Case {
        const char* path;
        bool included;
    } cases[] = {
        {"/A/.DS_Store", true},        {"/A/x.localized/b", true},
        {"/A/foo.DS_Store.bak", true}, {"/.MACOSX_XATTRS", true},
        {"/A/DS_Store", false},        {"/A/localized", false},
        {"/A/b.txt", false},           {"/", false},
        {"/A/.ds_store", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BVTmpController::shouldIncludePath(c.path), c.included) << c.path;
}

TEST_F(TmpControllerTest, ReadsAnswerTheRangeCutAtTheEnd) {
    ASSERT_TRUE(store.createFileAt("/A/f", nullptr));
    ASSERT_TRUE(store.writeFileAt("/A/f", 0, bv::Data::fromString("0123456789"), nullptr));
    struct Case {
        uint64_t offset, size;
        const char* expected;
    } cases[] = {
        {0, 4, "0123"},
        {8, 10, "89"},
        {10, 1, ""},
        {20, 1, ""},
        {3, UINT64_MAX, "3456789"},
        {UINT64_MAX, UINT64_MAX, ""},
    };
    for (const auto& c : cases) {
        auto data = store.readFileAt("/A/f", c.offset, c.size, nullptr);
        ASSERT_TRUE(data) << c.offset;
        EXPECT_EQ(data->toString(), c.expected) << c.offset << "+" << c.size;
    }
}

TEST_F(TmpControllerTest, ReadOfAMissingFileAnswersNothingAndLeavesItsFolders) {
    bv::Error error;
    EXPECT_FALSE(store.readFileAt("/X/Y/missing", 0, 10, &error));
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_EQ(error.domain(), "NSPOSIXErrorDomain");
    EXPECT_TRUE(fs::is_directory(root() / "X" / "Y"));
    EXPECT_EQ(modeOf(root() / "X" / "Y"), 0700u);
}

TEST_F(TmpControllerTest, WritePastTheEndFillsWithZeros) {
    ASSERT_TRUE(store.createFileAt("/f", nullptr));
    EXPECT_TRUE(store.writeFileAt("/f", 100, bv::Data::fromString("abc"), nullptr));
    std::string content = readText(root() / "f");
    ASSERT_EQ(content.size(), 103u);
    EXPECT_EQ(content.substr(0, 100), std::string(100, '\0'));
    EXPECT_EQ(content.substr(100), "abc");
    EXPECT_EQ(modeOf(root() / "f"), 0600u);
}

TEST_F(TmpControllerTest, WriteToAMissingFileSucceedsButCreatesNothing) {
    bv::Error error;
    EXPECT_TRUE(store.writeFileAt("/missing", 0, bv::Data::fromString("x"), &error));
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_FALSE(fs::exists(root() / "missing"));
    EXPECT_TRUE(store.writeFileAt("/huge", UINT64_MAX - 1, bv::Data::fromString("x"), nullptr));
}

TEST_F(TmpControllerTest, CreateReplacesTheFileAndNeverWritesThroughALink) {
    bvtest::TempDir outside("victim");
    writeText(outside.path() / "target", "precious");
    fs::create_symlink(outside.path() / "target", root() / "link");
    writeText(root() / "old", "old content");

    ASSERT_TRUE(store.createFileAt("/old", nullptr));
    EXPECT_EQ(readText(root() / "old"), "");
    ASSERT_TRUE(store.createFileAt("/link", nullptr));
    EXPECT_FALSE(fs::is_symlink(root() / "link"));
    EXPECT_EQ(readText(outside.path() / "target"), "precious");

    // Reads and writes refuse a link planted in the store.
    fs::create_symlink(outside.path() / "target", root() / "link2");
    EXPECT_FALSE(store.readFileAt("/link2", 0, 100, nullptr));
    store.writeFileAt("/link2", 0, bv::Data::fromString("overwritten"), nullptr);
    EXPECT_EQ(readText(outside.path() / "target"), "precious");
}

TEST_F(TmpControllerTest, CreateBasedOnCopiesTheSourceOverAnyLocalFile) {
    bvtest::TempDir cache("cache");
    std::string big(200'000, 'z');
    writeText(cache.path() / "content", big);
    writeText(root() / "staged", "stale and longer than nothing");

    ASSERT_TRUE(store.createFileAt("/staged", (cache.path() / "content").string(), nullptr));
    EXPECT_EQ(readText(root() / "staged"), big);
    ASSERT_TRUE(store.createFileAt("/New/staged", (cache.path() / "content").string(), nullptr));
    EXPECT_EQ(fs::file_size(root() / "New" / "staged"), big.size());

    bv::Error error;
    EXPECT_FALSE(store.createFileAt("/other", (cache.path() / "missing").string(), &error));
    EXPECT_EQ(error.code(), ENOENT);
}

TEST_F(TmpControllerTest, CleanupKeepsOnlyFoldersWithEntries) {
    ASSERT_TRUE(store.createFileAt("/D/file", nullptr));
    ASSERT_TRUE(store.createDirectoryAt("/D/empty", nullptr));
    ASSERT_TRUE(store.createFileAt("/D/full/inner", nullptr));
    store.cleanupDirectory("/D");
    EXPECT_FALSE(store.fileExistsAt("/D/file"));
    EXPECT_FALSE(store.fileExistsAt("/D/empty"));
    EXPECT_TRUE(store.fileExistsAt("/D/full/inner"));
    store.cleanupDirectory("/Missing");  // errors are ignored
}

TEST_F(TmpControllerTest, EmptyDirectoryAnswers) {
    ASSERT_TRUE(store.createDirectoryAt("/empty", nullptr));
    ASSERT_TRUE(store.createFileAt("/full/f", nullptr));
    struct Case {
        const char* path;
        bool empty;
    } cases[] = {{"/empty", true}, {"/missing", true}, {"/full/f", true}, {"/full", false}};
    for (const auto& c : cases)
        EXPECT_EQ(store.isEmptyDirectory(c.path), c.empty) << c.path;
}

TEST_F(TmpControllerTest, RemovalsOfFilesAndFolders) {
    ASSERT_TRUE(store.createFileAt("/T/a/b/f", nullptr));
    bv::Error error;
    EXPECT_FALSE(store.removeFileAt("/T/a", &error));  // holds entries
    EXPECT_EQ(error.code(), ENOTEMPTY);
    EXPECT_TRUE(store.removeItemAt("/T/a", nullptr));
    EXPECT_FALSE(store.fileExistsAt("/T/a"));
    EXPECT_FALSE(store.removeItemAt("/T/a", &error));
    EXPECT_EQ(error.code(), ENOENT);

    ASSERT_TRUE(store.createFileAt("/U/x/f", nullptr));
    EXPECT_TRUE(store.removeDirectoryAt("/U", nullptr));
    EXPECT_FALSE(store.fileExistsAt("/U"));
    ASSERT_TRUE(store.createFileAt("/V/f", nullptr));
    EXPECT_TRUE(store.removeFileAt("/V/f", nullptr));
    EXPECT_FALSE(store.fileExistsAt("/V/f"));
}

TEST_F(TmpControllerTest, MoveStaysInsideAndDoesNotMakeFolders) {
    ASSERT_TRUE(store.createFileAt("/M/f", nullptr));
    bv::Error error;
    EXPECT_FALSE(store.moveFileAt("/M/f", "/N/g", &error));
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_FALSE(fs::exists(root() / "N"));
    EXPECT_TRUE(store.moveFileAt("/M/f", "/M/g", nullptr));
    EXPECT_TRUE(store.fileExistsAt("/M/g"));
    EXPECT_FALSE(store.fileExistsAt("/M/f"));
}

TEST_F(TmpControllerTest, PathsThatClimbOutOfTheRootAreRefused) {
    fs::path outside = dir.path() / "escaped";
    const std::string hostile = "/../../escaped";
    bv::Error error;
    EXPECT_FALSE(store.createFileAt(hostile, &error));
    EXPECT_EQ(error.code(), EINVAL);
    EXPECT_FALSE(store.createDirectoryAt(hostile, nullptr));
    EXPECT_FALSE(store.readFileAt(hostile, 0, 1, nullptr));
    EXPECT_TRUE(store.writeFileAt(hostile, 0, bv::Data::fromString("x"), nullptr));
    EXPECT_FALSE(store.moveFileAt("/a", hostile, nullptr));
    EXPECT_FALSE(store.fileExistsAt("/.."));
    EXPECT_EQ(store.tempPathFor("/a/../../../escaped"), "");
    EXPECT_FALSE(store.removeItemAt("/..", nullptr));
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_TRUE(fs::exists(root()));
    // Names that merely hold dots are ordinary.
    EXPECT_TRUE(store.createFileAt("/..a/b..", nullptr));
    EXPECT_EQ(store.tempPathFor("/x/./y"), (root() / "x" / "y").string());
}

// The system calls stop at a NUL: "/..\0x" would name the root's parent, "/\0" the root.
TEST_F(TmpControllerTest, PathsHoldingANulAreRefused) {
    using namespace std::string_literals;
    writeText(root().parent_path() / "sibling", "precious");
    ASSERT_TRUE(store.createFileAt("/a", nullptr));
    const std::vector<std::string> hostile = {"/..\0x"s, "/..\0"s, "/\0"s, "\0"s};
    const std::vector<std::pair<const char*, std::function<bool(const std::string&)>>> operations =
        {
            {"createFileAt", [&](auto& p) { return store.createFileAt(p, nullptr); }},
            {"removeFileAt", [&](auto& p) { return store.removeFileAt(p, nullptr); }},
            {"removeItemAt", [&](auto& p) { return store.removeItemAt(p, nullptr); }},
            {"removeDirectoryAt", [&](auto& p) { return store.removeDirectoryAt(p, nullptr); }},
            {"createDirectoryAt", [&](auto& p) { return store.createDirectoryAt(p, nullptr); }},
            {"moveFileAt from", [&](auto& p) { return store.moveFileAt(p, "/moved", nullptr); }},
            {"moveFileAt to", [&](auto& p) { return store.moveFileAt("/a", p, nullptr); }},
            {"fileExistsAt", [&](auto& p) { return store.fileExistsAt(p); }},
            {"readFileAt",
             [&](auto& p) { return store.readFileAt(p, 0, 10, nullptr).has_value(); }},
            {"attributesOfItemAt",
             [&](auto& p) { return store.attributesOfItemAt(p, nullptr).has_value(); }},
            {"setAttributes",
             [&](auto& p) {
                 BVTmpController::Attributes mode;
                 mode.posixPermissions = 0777;
                 return store.setAttributes(mode, p, nullptr);
             }},
            {"tempPathFor", [&](auto& p) { return !store.tempPathFor(p).empty(); }},
            {"createFileAt basedOn",
             [&](auto& p) {
                 return store.createFileAt("/copy", (root() / "a").string() + p, nullptr);
             }},
        };
    for (const auto& [name, operation] : operations) {
        for (const auto& path : hostile) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(&path - hostile.data()));
            EXPECT_FALSE(operation(path));
        }
    }
    bv::Error error;
    EXPECT_FALSE(store.removeItemAt("/..\0x"s, &error));
    EXPECT_EQ(error.code(), EINVAL);
    EXPECT_TRUE(store.writeFileAt("/..\0x"s, 0, bv::Data::fromString("x"), &error));
    EXPECT_EQ(error.code(), EINVAL);
    EXPECT_TRUE(store.isEmptyDirectory("/..\0x"s));  // as for a missing folder
    store.cleanupDirectory("/..\0x"s);
    store.createFoldersForPath((root() / "..").string() + "\0/x"s);
    store.createFoldersForPath((root() / ".." / "outside" / "f").string());

    EXPECT_EQ(readText(root().parent_path() / "sibling"), "precious");
    EXPECT_EQ(modeOf(root()), 0700u);
    EXPECT_TRUE(store.fileExistsAt("/a"));
    EXPECT_FALSE(store.fileExistsAt("/moved"));
    EXPECT_FALSE(store.fileExistsAt("/copy"));
    EXPECT_FALSE(fs::exists(root().parent_path() / "outside"));
}

TEST_F(TmpControllerTest, TempPathIsTheLocalPathWithItsFolders) {
    EXPECT_EQ(store.tempPathFor("/P/Q/file.txt"), (root() / "P" / "Q" / "file.txt").string());
    EXPECT_TRUE(fs::is_directory(root() / "P" / "Q"));
    EXPECT_FALSE(fs::exists(root() / "P" / "Q" / "file.txt"));
}

TEST_F(TmpControllerTest, AttributesAreReadAndApplied) {
    ASSERT_TRUE(store.createFileAt("/f", nullptr));
    ASSERT_TRUE(store.writeFileAt("/f", 0, bv::Data::fromString("hello"), nullptr));
    auto attributes = store.attributesOfItemAt("/f", nullptr);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(attributes->type, BVTmpController::Attributes::Type::Regular);
    EXPECT_EQ(attributes->size, 5u);
    EXPECT_EQ(attributes->posixPermissions, 0600u);

    BVTmpController::Attributes change;
    change.size = 2;
    change.posixPermissions = 0640;
    change.modificationDate = 1'600'000'000.5;
    ASSERT_TRUE(store.setAttributes(change, "/f", nullptr));
    attributes = store.attributesOfItemAt("/f", nullptr);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(attributes->size, 2u);
    EXPECT_EQ(attributes->posixPermissions, 0640u);
    EXPECT_DOUBLE_EQ(*attributes->modificationDate, 1'600'000'000.5);
    EXPECT_EQ(readText(root() / "f"), "he");

    auto folder = store.attributesOfItemAt("/", nullptr);
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->type, BVTmpController::Attributes::Type::Directory);
    bv::Error error;
    EXPECT_FALSE(store.attributesOfItemAt("/none", &error));
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_FALSE(store.setAttributes(change, "/none", nullptr));
}

}  // namespace
