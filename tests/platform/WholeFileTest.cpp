#include "platform/WholeFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(WholeFile, ReplacesRegularFilesWholeAndKeepsTheirMode) {
    bvtest::TempDir dir("wholefile");
    const bv::Data content = bv::Data::fromString("new content");
    ASSERT_TRUE(bv::WholeFile::write((dir / "new").string(), content, nullptr));
    EXPECT_EQ(readText(dir / "new"), "new content");

    std::ofstream(dir / "old") << "old and longer content";
    chmod((dir / "old").c_str(), 0640);
    ASSERT_TRUE(bv::WholeFile::write((dir / "old").string(), content, nullptr));
    EXPECT_EQ(readText(dir / "old"), "new content");
    struct stat st {};
    ASSERT_EQ(stat((dir / "old").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A link keeps pointing at the (new) content it named.
    fs::create_symlink(dir / "old", dir / "link");
    ASSERT_TRUE(
        bv::WholeFile::write((dir / "link").string(), bv::Data::fromString("via"), nullptr));
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(readText(dir / "old"), "via");
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"new", "old", "link"}));
}

// Each failure is reported, and nothing is left beside the destination.
TEST(WholeFile, FailuresAreReportedAndLeaveNothingBehind) {
    using namespace std::string_literals;
    bvtest::TempDir dir("wholefile");
    fs::create_directory(dir / "folder");
    const struct {
        std::string path;
        int code;
    } cases[] = {
        {"/dev/full", ENOSPC},
        {(dir / "missing/file").string(), ENOENT},
        {(dir / "folder").string(), EISDIR},
        {(dir / "nul").string() + "\0x"s, EINVAL},
        {"", EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        bv::Error error;
        EXPECT_FALSE(bv::WholeFile::write(c.path, bv::Data::fromString("bytes"), &error));
        EXPECT_EQ(error.code(), c.code) << error.failureReason();
    }
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"folder"}));
    EXPECT_TRUE(fs::is_empty(dir / "folder"));
}

}  // namespace
