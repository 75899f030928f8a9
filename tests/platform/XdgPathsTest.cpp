#include "platform/XdgPaths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "TempDir.h"

namespace {

mode_t modeOf(const std::filesystem::path& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

TEST(XdgPaths, FoldersComeFromTheEnvironmentOrFallBackBelowHome) {
    bvtest::ScopedHome home;
    EXPECT_EQ(bv::XdgPaths::home(), home.path());
    EXPECT_EQ(bv::XdgPaths::dataHome(), home.path() / ".local/share");
    setenv("XDG_DATA_HOME", "/elsewhere/data", 1);
    setenv("XDG_CONFIG_HOME", "relative/config", 1);  // not absolute: ignored
    unsetenv("XDG_STATE_HOME");
    unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(bv::XdgPaths::dataHome(), "/elsewhere/data");
    EXPECT_EQ(bv::XdgPaths::configHome(), home.path() / ".config");
    EXPECT_EQ(bv::XdgPaths::stateHome(), home.path() / ".local/state");
    EXPECT_EQ(bv::XdgPaths::cacheHome(), home.path() / ".cache");
}

TEST(XdgPaths, RuntimeFolderIsCreatedPrivate) {
    bvtest::ScopedHome home;
    auto dir = bv::XdgPaths::runtimeDir();
    EXPECT_EQ(dir, home.path() / "run/brimvault");
    EXPECT_EQ(modeOf(dir), 0700u);
    // A folder left open to others is closed again.
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(bv::XdgPaths::runtimeDir(), dir);
    EXPECT_EQ(modeOf(dir), 0700u);
}

TEST(XdgPaths, RuntimeFolderPlantedAsALinkIsRefused) {
    bvtest::ScopedHome home;
    bvtest::TempDir target;
    std::filesystem::create_directory_symlink(target.path(), home.path() / "run/brimvault");
    EXPECT_TRUE(bv::XdgPaths::runtimeDir().empty());
}

TEST(XdgPaths, CreatePrivateDirectoriesMakesEveryMissingLevelOwnerOnly) {
    bvtest::TempDir dir;
    ASSERT_TRUE(bv::XdgPaths::createPrivateDirectories(dir / "a/b/c"));
    EXPECT_EQ(modeOf(dir / "a"), 0700u);
    EXPECT_EQ(modeOf(dir / "a/b/c"), 0700u);
    std::filesystem::create_directories(dir / "file-parent");
    { std::ofstream(dir / "file-parent/f") << "x"; }
    EXPECT_FALSE(bv::XdgPaths::createPrivateDirectories(dir / "file-parent/f"));
}

}  // namespace
