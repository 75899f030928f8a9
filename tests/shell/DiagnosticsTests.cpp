// "Send Logs": what goes into the zip, and that a pack leaves nothing behind on failure.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "app/Logging/BVLogging.h"
#include "app/Shell/BVDiagnostics.h"

namespace {

namespace fs = std::filesystem;

// The names inside a zip, through unzip.
std::vector<std::string> zipEntries(const std::string& zip) {
    std::vector<std::string> names;
    FILE* list = ::popen(("unzip -Z1 '" + zip + "'").c_str(), "r");
    if (!list)
        return names;
    std::array<char, 4096> line{};
    while (std::fgets(line.data(), line.size(), list)) {
        std::string name(line.data());
        name.erase(name.find_last_not_of("\n") + 1);
        // The reporting folder's own path comes first in every name.
        auto at = name.find("reporting/");
        names.push_back(at == std::string::npos ? name : name.substr(at + 10));
    }
    ::pclose(list);
    return names;
}

class DiagnosticsTest : public ::testing::Test {
  protected:
    DiagnosticsTest() { BVLogging::setupWithPrefix("BV"); }

    std::string file(const std::string& relative, const std::string& text) {
        auto path = home.path() / "src" / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
        return path.string();
    }

    bvtest::ScopedHome home;
};

TEST_F(DiagnosticsTest, TheZipHoldsEverySourceUnderItsDesignedNameAndTheFolderGoes) {
    BVDiagnostics::Sources sources;
    sources.logs = {file("logs/BVLog-1.txt", "brimvault log"), file("logs/KHVLog-1.txt", "khv")};
    sources.diagnosticReports = {file("diag/Brimvault_2026-01-01-000000.crash", "crash")};
    file("khd/Data/task/log.txt", "task log");
    sources.khdFolder = (home.path() / "src" / "khd").string();
    sources.installLog = file("bvinst/install.log", "installed");
    sources.renameLog = (home.path() / "src" / "missing-rn_items").string();  // never made
    const auto folder = (home.path() / "tmp" / "reporting").string();
    const auto zip = (home.path() / "tmp" / "BVKHVLogs.zip").string();
    fs::create_directories(folder);
    std::ofstream(fs::path(folder) / "stale.txt") << "from an earlier pack";

    auto result = BVDiagnostics::pack(sources, folder, zip);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.zipPath, zip);
    EXPECT_FALSE(fs::exists(folder));
    auto names = zipEntries(zip);
    for (const char* expected :
         {"BVLog-1.txt", "KHVLog-1.txt", "Diags/Brimvault_2026-01-01-000000.crash",
          "KHD/Data/task/log.txt", "install-log.txt"})
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    EXPECT_EQ(std::find(names.begin(), names.end(), "stale.txt"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "rn_items"), names.end());
    struct stat st {};
    ASSERT_EQ(::stat(zip.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DiagnosticsTest, AFolderThatCannotBeMadeIsAClearFailureAndNoZip) {
    file("blocker", "a file where the folder's parent should be");
    const auto folder = (home.path() / "src" / "blocker" / "reporting").string();
    const auto zip = (home.path() / "BVKHVLogs.zip").string();
    auto result = BVDiagnostics::pack({}, folder, zip);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("reporting folder"), std::string::npos) << result.error;
    EXPECT_FALSE(fs::exists(zip));
}

}  // namespace
