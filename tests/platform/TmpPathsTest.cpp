#include "platform/TmpPaths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "TempDir.h"

namespace fs = std::filesystem;
using bv::TmpPaths::Root;

namespace {

struct Owner {
    uid_t uid = 0;
    mode_t mode = 0;
};

Owner ownerOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return {st.st_uid, mode_t(st.st_mode & 07777)};
}

void giveToNobody(const fs::path& path) {
    ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0) << path;
}

TEST(TmpPaths, DesignPathsLieBelowTheirRootUnderTheirOwnNames) {
    bvtest::ScopedHome home;
    const fs::path runtime = home.path() / "run/brimvault/tmp";
    const fs::path cache = home.path() / ".cache/Brimvault/tmp";
    const std::vector<std::pair<const char*, fs::path>> cases = {
        {"/tmp/BrimvaultSession.id", runtime / "BrimvaultSession.id"},
        {"/tmp/BrimvaultID.id", runtime / "BrimvaultID.id"},
        {"/tmp/BrimvaultDriveName.dat", runtime / "BrimvaultDriveName.dat"},
        {"/tmp/access.dat", runtime / "access.dat"},
        {"/tmp/Inhb.dat", runtime / "Inhb.dat"},
        {"/tmp/brimvault.sock", runtime / "brimvault.sock"},
        {"/tmp/brimvaultupload.sock", runtime / "brimvaultupload.sock"},
        {"/tmp/BrimvaultTmp/temp", cache / "BrimvaultTmp/temp"},
        {"/tmp/Brimvault/KHD/task/file.part", cache / "Brimvault/KHD/task/file.part"},
        {"/tmp/rn_items", cache / "rn_items"},
        {"/tmp/BVlog", cache / "BVlog"},
        {"/tmp/access.dat.old", cache / "access.dat.old"},
    };
    for (const auto& [fixed, expected] : cases)
        EXPECT_EQ(bv::bvTmpPath(fixed), expected.string()) << fixed;
    for (const auto& root : {runtime, runtime.parent_path(), cache, cache.parent_path()})
        EXPECT_EQ(ownerOf(root).mode, 0700u) << root;
}

TEST(TmpPaths, OnlyPlainNamesBelowTmpAreMapped) {
    bvtest::ScopedHome home;
    using namespace std::string_literals;
    for (std::string hostile :
         {"/var/tmp/x"s, "tmp/x"s, "/tmp"s, "/tmp/"s, "/tmp/../etc/passwd"s, "/tmp/a/../../x"s,
          "/tmp/./x"s, "/tmp/a//b"s, "/tmp/a/"s, "/tmp/x\0/../../y"s, "/tmp/..\0"s}) {
        EXPECT_EQ(bv::bvTmpPath(hostile), "") << hostile;
    }
}

TEST(TmpPaths, WithoutARuntimeFolderTheLoginStateLiesInAFolderOfOurOwnInTheSharedTmp) {
    bvtest::TempDir shared("shared-tmp"), cache("cache");
    bv::TmpPaths::Bases bases{"", shared.path(), cache.path()};
    const fs::path mine = shared / ("brimvault-" + std::to_string(geteuid()));
    EXPECT_EQ(bv::TmpPaths::root(Root::Runtime, bases), mine / "tmp");
    EXPECT_EQ(bv::TmpPaths::pathFor("/tmp/brimvault.sock", bases),
              (mine / "tmp/brimvault.sock").string());
    EXPECT_EQ(ownerOf(mine).mode, 0700u);
    EXPECT_EQ(ownerOf(mine / "tmp").mode, 0700u);
}

// What another user (or an earlier mistake) may have left at our name in the shared /tmp.
TEST(TmpPaths, NothingPlantedInTheSharedTmpBlocksOrCapturesUs) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& planted, const fs::path& victim)> plant;
        bool used;  // taken (made private) rather than avoided
    };
    std::vector<Case> cases = {
        {"our folder left open to everyone",
         [](auto& planted, auto&) {
             fs::create_directory(planted);
             chmod(planted.c_str(), 0777);
         },
         true},
        {"a link to another folder",
         [](auto& planted, auto& victim) { fs::create_directory_symlink(victim, planted); }, false},
        {"a file", [](auto& planted, auto&) { std::ofstream(planted) << "x"; }, false},
    };
    if (geteuid() == 0) {
        cases.push_back({"a folder of another user, open to everyone",
                         [](auto& planted, auto&) {
                             fs::create_directories(planted / "tmp");
                             chmod(planted.c_str(), 0777);
                             chmod((planted / "tmp").c_str(), 0777);
                             giveToNobody(planted / "tmp");
                             giveToNobody(planted);
                         },
                         false});
        cases.push_back({"a link of another user",
                         [](auto& planted, auto& victim) {
                             fs::create_directory_symlink(victim, planted);
                             giveToNobody(planted);
                         },
                         false});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bvtest::TempDir shared("shared-tmp"), cache("cache"), victim("victim");
        const fs::path planted = shared / ("brimvault-" + std::to_string(geteuid()));
        c.plant(planted, victim.path());
        const Owner before = ownerOf(planted);
        bv::TmpPaths::Bases bases{"", shared.path(), cache.path()};

        const fs::path root = bv::TmpPaths::root(Root::Runtime, bases);
        if (c.used) {
            EXPECT_EQ(root, planted / "tmp");
            EXPECT_EQ(ownerOf(planted).mode, 0700u);
        } else {
            EXPECT_EQ(root, cache / "Brimvault/tmp");
            EXPECT_EQ(ownerOf(planted).uid, before.uid);
            EXPECT_EQ(ownerOf(planted).mode, before.mode);
            EXPECT_EQ(ownerOf(root).mode, 0700u);
        }
        EXPECT_TRUE(fs::is_empty(victim.path()));
    }
}

TEST(TmpPaths, ACacheRootThatIsNotOursIsNeverUsed) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& cache, const fs::path& victim)> plant;
    };
    std::vector<Case> cases = {
        {"root is a link",
         [](auto& cache, auto& victim) {
             fs::create_directory(cache / "Brimvault");
             fs::create_directory_symlink(victim, cache / "Brimvault/tmp");
         }},
        {"folder above is a link",
         [](auto& cache, auto& victim) {
             fs::create_directory_symlink(victim, cache / "Brimvault");
         }},
        {"cache home is open to everyone", [](auto& cache, auto&) { chmod(cache.c_str(), 0777); }},
    };
    if (geteuid() == 0) {
        cases.push_back({"folder of another user", [](auto& cache, auto&) {
                             fs::create_directory(cache / "Brimvault");
                             giveToNobody(cache / "Brimvault");
                         }});
        cases.push_back(
            {"cache home of another user", [](auto& cache, auto&) { giveToNobody(cache); }});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bvtest::TempDir home("home"), victim("victim");
        const fs::path cache = home / ".cache";
        fs::create_directory(cache);
        chmod(cache.c_str(), 0755);
        c.plant(cache, victim.path());
        bv::TmpPaths::Bases bases{"", home.path(), cache};
        EXPECT_EQ(bv::TmpPaths::root(Root::Cache, bases), fs::path());
        EXPECT_EQ(bv::TmpPaths::pathFor("/tmp/BrimvaultTmp/temp", bases), "");
        EXPECT_TRUE(fs::is_empty(victim.path()));
    }
}

TEST(TmpPaths, ASharedFolderOnTheWayMustBeSticky) {
    bvtest::TempDir dir("way");
    fs::create_directory(dir / "open");
    chmod((dir / "open").c_str(), 0777);
    bv::TmpPaths::Bases bases{"", dir.path(), dir / "open/cache"};
    EXPECT_EQ(bv::TmpPaths::root(Root::Cache, bases), fs::path());
    chmod((dir / "open").c_str(), 01777);
    EXPECT_EQ(bv::TmpPaths::root(Root::Cache, bases), dir / "open/cache/Brimvault/tmp");
    // A missing cache home is made private; an existing one keeps its mode.
    EXPECT_EQ(ownerOf(dir / "open/cache").mode, 0700u);
}

}  // namespace
