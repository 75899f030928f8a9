#include "platform/Preferences.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "TempDir.h"

namespace {

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

TEST(Preferences, ValuesSurviveInAFreshStoreAndAbsentKeysAnswerDefaults) {
    bvtest::TempDir dir;
    {
        bv::Preferences prefs("com.test", dir.path());
        prefs.setBool("running", true);
        prefs.setObject("bvuser", "ann");
        prefs.setObject("savedEmails", nlohmann::json::array({"a@b", "c@d"}));
        prefs.setObject("gone", 1);
        prefs.removeObjectForKey("gone");
    }
    bv::Preferences again("com.test", dir.path());
    EXPECT_TRUE(again.boolForKey("running"));
    EXPECT_EQ(again.stringForKey("bvuser"), "ann");
    EXPECT_EQ(again.objectForKey("savedEmails"), nlohmann::json::array({"a@b", "c@d"}));
    EXPECT_TRUE(again.objectForKey("gone").is_null());
    EXPECT_FALSE(again.boolForKey("missing"));
    EXPECT_EQ(again.stringForKey("running"), "");
}

TEST(Preferences, DamagedOrForeignFileReadsAsEmptyAndIsReplacedByTheNextWrite) {
    const std::vector<std::string> damaged = {"{\"running\": tr", "[1,2,3]", "\"text\"", "",
                                              std::string("\x00\xff{", 3)};
    for (const auto& content : damaged) {
        SCOPED_TRACE(content);
        bvtest::TempDir dir;
        writeFile(dir / "com.test.json", content);
        bv::Preferences prefs("com.test", dir.path());
        EXPECT_TRUE(prefs.objectForKey("running").is_null());
        prefs.setBool("running", true);
        EXPECT_EQ(nlohmann::json::parse(readFile(dir / "com.test.json")),
                  nlohmann::json({{"running", true}}));
    }
}

TEST(Preferences, WritesAreOwnerOnlyAndLeaveNoTemporaryFiles) {
    bvtest::TempDir dir;
    bv::Preferences prefs("com.test", dir / "nested");
    prefs.setObject("k", "v");
    struct stat st;
    ASSERT_EQ(stat(prefs.filePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((dir / "nested").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "nested")) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

TEST(Preferences, ReaderNeverSeesAHalfWrittenFile) {
    bvtest::TempDir dir;
    bv::Preferences prefs("com.test", dir.path());
    prefs.setObject("big", std::string(200000, 'x'));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 40; ++i)
            prefs.setObject("big", std::string(200000 + i * 1000, 'a' + i % 26));
        stop = true;
    });
    int reads = 0, bad = 0;
    while (!stop) {
        auto text = readFile(prefs.filePath());
        if (!nlohmann::json::accept(text))
            ++bad;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
}

TEST(Preferences, ConcurrentWritersLoseNoKey) {
    bvtest::TempDir dir;
    bv::Preferences prefs("com.test", dir.path());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                prefs.setObject(std::to_string(t) + "-" + std::to_string(i), i);
        });
    for (auto& thread : threads)
        thread.join();
    bv::Preferences reread("com.test", dir.path());
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 25; ++i)
            EXPECT_EQ(reread.objectForKey(std::to_string(t) + "-" + std::to_string(i)), i);
}

TEST(Preferences, StandardStoreFollowsTheConfigFolderAndDomain) {
    bvtest::ScopedHome home;
    auto& drive = bv::Preferences::standard();
    EXPECT_EQ(drive.filePath(), home.path() / ".config/Brimvault/com.Brimvault.Brimvault.json");
    bv::Preferences::setStandardDomain(bv::Preferences::kKeelhavenDomain);
    EXPECT_EQ(bv::Preferences::standard().filePath(),
              home.path() / ".config/Brimvault/com.brimvault.khv.Keelhaven.json");
    bv::Preferences::setStandardDomain(bv::Preferences::kDriveDomain);
    EXPECT_EQ(&bv::Preferences::standard(), &bv::Preferences::standard());
}

TEST(Preferences, ReloadSeesAnotherWriter) {
    bvtest::TempDir dir;
    bv::Preferences mine("com.test", dir.path());
    bv::Preferences theirs("com.test", dir.path());
    theirs.setObject("k", 5);
    EXPECT_TRUE(mine.objectForKey("k").is_null());
    mine.reload();
    EXPECT_EQ(mine.objectForKey("k"), 5);
}

}  // namespace
