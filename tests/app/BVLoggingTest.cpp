#include "app/Logging/BVLogging.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "platform/OperationQueue.h"
#include "platform/Preferences.h"

namespace {

namespace fs = std::filesystem;

const std::regex kRecord(
    R"(\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d\d\]: \[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\]: (.*))");

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

mode_t modeOf(const fs::path& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// Makes files dated by age, newer the higher. Birth times cannot be set: they follow the
// order of creation, and files made within one tick of the kernel's coarse clock share one
// (most often when nothing looked at a file's times in between, so all the files are made
// before any is dated), which leaves the modification date, set here, to order those.
// List the files oldest first.
void makeAgedFiles(const std::vector<std::pair<fs::path, int>>& files) {
    for (const auto& [file, age] : files)
        fs::create_directories(file.parent_path());
    for (const auto& [file, age] : files)
        std::ofstream(file) << "x";
    for (const auto& [file, age] : files) {
        struct timespec times[2] = {{1'600'000'000 + age, 0}, {1'600'000'000 + age, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << file;
    }
}

void makeAgedFile(const fs::path& file, int age) {
    makeAgedFiles({{file, age}});
}

class BVLoggingTest : public ::testing::Test {
  protected:
    void SetUp() override { logger_ = BVLogging::setupWithPrefix("BV"); }

    fs::path logFolder() const { return home_.path() / ".local/share/Brimvault/LogDirectory"; }
    fs::path reportsFolder() const {
        return home_.path() / ".local/state/Brimvault/DiagnosticReports";
    }
    // The only file of the log folder whose records carry stamps.
    std::string normalLog() const {
        for (const auto& file : filesIn(logFolder()))
            if (file.filename().string().rfind("BVLog-", 0) == 0) {
                auto text = readFile(file);
                if (text.empty() || text[0] == '[')
                    return text;
            }
        return {};
    }

    bvtest::ScopedHome home_;
    BVLogging* logger_ = nullptr;
};

TEST_F(BVLoggingTest, RecordCarriesTwoStampsOfTheSameMomentThenTheMessage) {
    BVLog("hello %@, %d items", "world", 5);
    const auto records = lines(normalLog());
    ASSERT_EQ(records.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(records[0], match, kRecord)) << records[0];
    EXPECT_EQ(match[1], match[2]);
    EXPECT_EQ(match[3], "hello world, 5 items");
}

TEST_F(BVLoggingTest, EachRecordEndsWithExactlyOneAddedLineFeed) {
    struct Case {
        const char* format;
        const char* expectedTail;
    };
    const std::vector<Case> cases = {
        {"", "]: \n"},
        {"no arguments", "]: no arguments\n"},
        {"own line feed\n", "]: own line feed\n\n"},
        {"100%% sure", "]: 100% sure\n"},
    };
    for (const auto& c : cases) {
        logger_ = BVLogging::setupWithPrefix("BV");
        fs::remove_all(logFolder());
        BVLog(c.format);
        const auto text = normalLog();
        ASSERT_GE(text.size(), std::string(c.expectedTail).size()) << c.format;
        EXPECT_EQ(text.substr(text.size() - std::string(c.expectedTail).size()), c.expectedTail)
            << c.format;
    }
}

TEST_F(BVLoggingTest, SuccinctRecordIsTheBareMessageInItsOwnSlot) {
    BVSuccinctLog("bare %@", 1);
    BVSuccinctLog("bare %@", 2);
    bool found = false;
    for (const auto& file : filesIn(logFolder())) {
        const auto text = readFile(file);
        if (text.find("bare 1\nbare 2\n") != std::string::npos)
            found = true;
    }
    EXPECT_TRUE(found);
}

TEST_F(BVLoggingTest, FirstRecordCreatesAPrivateFileNamedAfterPrefixAndStartTime) {
    EXPECT_EQ(logger_->path(), logFolder().string() + "/");
    EXPECT_FALSE(fs::exists(logFolder()));
    BVLog("first");
    BVLog("second");
    const auto files = filesIn(logFolder());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                                 std::regex(R"(BVLog-\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\d\.txt)")))
        << files[0];
    EXPECT_EQ(modeOf(files[0]), 0600u);
    EXPECT_EQ(modeOf(logFolder()), 0700u);
    const auto records = lines(readFile(files[0]));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].find("first"), std::string::npos);
}

// The file stays open between records: one removed meanwhile (a clean-up of the folder by
// another program) is made again by name, not written into unseen.
TEST_F(BVLoggingTest, RecordsAfterTheFileWasRemovedReachItAgain) {
    BVLog("before");
    auto files = filesIn(logFolder());
    ASSERT_EQ(files.size(), 1u);
    fs::remove(files[0]);
    BVLog("after");
    files = filesIn(logFolder());
    ASSERT_EQ(files.size(), 1u);
    const auto records = lines(readFile(files[0]));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].find("after"), std::string::npos);
    EXPECT_EQ(modeOf(files[0]), 0600u);
}

TEST_F(BVLoggingTest, ExtensionLogsGoToItsOwnFolder) {
    BVLogging::setupWithPrefix("FE");
    BVLog("from the extension");
    const auto files =
        filesIn(home_.path() / ".local/share/Brimvault/BVFinderExtension/LogDirectory");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string().rfind("FELog-", 0), 0u);
    EXPECT_FALSE(fs::exists(logFolder()));
}

TEST_F(BVLoggingTest, LevelFileLineAndFunctionNeverReachTheFile) {
    _Log("LEVELX ", "/src/secret/Hidden.cpp", 4242, "functionNameZ", "payload %@", 7);
    const auto text = normalLog();
    EXPECT_NE(text.find("payload 7"), std::string::npos);
    for (const char* hidden : {"LEVELX", "Hidden.cpp", "4242", "functionNameZ"})
        EXPECT_EQ(text.find(hidden), std::string::npos) << hidden;
}

TEST_F(BVLoggingTest, ConcurrentRecordsNeverInterleave) {
    constexpr int kThreads = 8, kRecords = 1500;
    const std::string payload(300, 'p');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRecords; ++i)
                BVLog("t%@ r%@ %@", t, i, payload);
        });
    for (auto& thread : threads)
        thread.join();
    const auto records = lines(normalLog());
    ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kRecords));
    std::set<std::string> seen;
    const std::regex body(R"(t\d+ r\d+ p{300})");
    for (const auto& record : records) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(record, match, kRecord)) << record;
        const std::string message = match[3];
        ASSERT_TRUE(std::regex_match(message, body)) << message;
        seen.insert(message.substr(0, message.find(' ', message.find(' ') + 1)));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRecords));
}

TEST(BVLoggingBeforeSetup, RecordVanishes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A fresh process of its own, where nobody set logging up.
    EXPECT_EXIT(
        {
            bvtest::ScopedHome home;
            BVLog("too early");
            BVSuccinctLog("too early");
            const bool nothing = BVLogging::sharedInstance() == nullptr &&
                                 !fs::exists(home.path() / ".local/share/Brimvault");
            std::exit(nothing ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, "fast");
}

TEST_F(BVLoggingTest, CleanupKeepsTheNewestByCreationDate) {
    const auto extension = BVLogging::extensionLogFolder();
    // Names in an order unrelated to age, so sorting by name would pick the wrong ones.
    std::vector<std::string> ownNames;
    std::vector<std::pair<fs::path, int>> files;
    for (int age = 0; age < 20; ++age) {
        ownNames.push_back("BVLog-" + std::to_string((age * 7) % 20 + 100) + ".txt");
        files.emplace_back(logFolder() / ownNames.back(), age);
    }
    for (int age = 0; age < 5; ++age)
        files.emplace_back(extension / ("FELog-" + std::to_string(9 - age) + ".txt"), age);
    makeAgedFiles(files);
    logger_->writePathOfLastProcessedCrashReport("/some/report.crash");
    fs::create_directories(logFolder() / "subfolder");

    logger_->cleanup();

    std::set<std::string> expectedOwn(ownNames.begin() + 2, ownNames.end());
    expectedOwn.insert("PLPCR.s");
    std::set<std::string> own;
    for (const auto& file : filesIn(logFolder()))
        own.insert(file.filename());
    EXPECT_EQ(own, expectedOwn);
    EXPECT_TRUE(fs::is_directory(logFolder() / "subfolder"));
    std::set<std::string> ext;
    for (const auto& file : filesIn(extension))
        ext.insert(file.filename());
    EXPECT_EQ(ext, (std::set<std::string>{"FELog-6.txt", "FELog-5.txt"}));
}

TEST_F(BVLoggingTest, OngoingLogsListsBothFolders) {
    BVLog("x");
    makeAgedFile(BVLogging::extensionLogFolder() / "FELog-1.txt", 1);
    const auto logs = logger_->ongoingLogs();
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(fs::path(logs[0]).parent_path(), logFolder());
    EXPECT_EQ(logs[1], (BVLogging::extensionLogFolder() / "FELog-1.txt").string());
}

TEST_F(BVLoggingTest, RunningFlagLivesInThePreferenceStore) {
    EXPECT_FALSE(logger_->checkQuitFlag());
    logger_->setRunningFlag(true);
    EXPECT_TRUE(logger_->checkQuitFlag());
    bv::Preferences fresh(bv::Preferences::kDriveDomain);
    EXPECT_TRUE(fresh.boolForKey("running"));
    logger_->setRunningFlag(false);
    EXPECT_FALSE(logger_->checkQuitFlag());
}

TEST_F(BVLoggingTest, NoCrashReportIsLoggedAndAnswersNothing) {
    fs::create_directories(reportsFolder());
    makeAgedFile(reportsFolder() / "Firefox_2026-01-01-000000.crash", 50);
    EXPECT_FALSE(logger_->getPathOfLastGeneratedCrashReport());
    EXPECT_NE(normalLog().find("]: getPathOfLastGeneratedCrashReport returns nil\n"),
              std::string::npos);
    EXPECT_TRUE(logger_->findBVDiagnosticReports().empty());
    EXPECT_TRUE(logger_->mainDiagnosticReports().empty());
}

TEST_F(BVLoggingTest, LastGeneratedReportIsTheNewestSuiteReportOfBothFolders) {
    const auto retired = reportsFolder() / "Retired";
    makeAgedFiles({{reportsFolder() / "Keelhaven_2026-01-01-000000.crash", 1},
                   {retired / "Brimvault_2026-01-02-000000.crash", 2},
                   {reportsFolder() / "BVFinderExtension_2026-01-03-000000.crash", 3},
                   {retired / "BVFinderExtension_2026-01-04-000000.crash", 4},
                   {reportsFolder() / "Other_2026-01-05-000000.crash", 5}});

    EXPECT_EQ(logger_->findBVDiagnosticReports(),
              (std::vector<std::string>{
                  (reportsFolder() / "BVFinderExtension_2026-01-03-000000.crash").string(),
                  (retired / "BVFinderExtension_2026-01-04-000000.crash").string()}));
    EXPECT_EQ(logger_->getPathOfLastGeneratedCrashReport(),
              (retired / "BVFinderExtension_2026-01-04-000000.crash").string());
    auto main = logger_->mainDiagnosticReports();
    std::sort(main.begin(), main.end());
    EXPECT_EQ(main.size(), 2u);
}

TEST_F(BVLoggingTest, ProcessedReportPathIsRememberedInTheLogFolder) {
    EXPECT_FALSE(logger_->getSavedPathOfLastGeneratedCrashReport());
    const std::string path = "/home/ann/.local/state/Brimvault/DiagnosticReports/Brimvault_x.crash";
    logger_->writePathOfLastProcessedCrashReport(path);
    EXPECT_EQ(readFile(logFolder() / "PLPCR.s"), path);
    EXPECT_EQ(BVLogging::setupWithPrefix("BV")->getSavedPathOfLastGeneratedCrashReport(), path);
}

TEST_F(BVLoggingTest, InstallLogIsFoundBesideTheLogFolder) {
    EXPECT_FALSE(logger_->findInstallLogFile());
    const auto file = home_.path() / ".local/share/Brimvault/bvinst/install-log.txt";
    makeAgedFile(file, 0);
    EXPECT_EQ(logger_->findInstallLogFile(), file.string());
    EXPECT_EQ(logger_->findLastRenameLog(),
              (home_.path() / ".cache/Brimvault/tmp/rn_items").string());
}

TEST(BVLoggingNames, CrashReportProgramNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"BV", "Brimvault"},        {"brimvault", "Brimvault"},  {"KHV", "Keelhaven"},
        {"keelhaven", "Keelhaven"}, {"FE", "BVFinderExtension"}, {"bvfinder", "BVFinderExtension"},
        {"other", "other"}};
    for (const auto& [given, expected] : cases)
        EXPECT_EQ(BVLogging::crashReportProgramName(given), expected) << given;
}

TEST_F(BVLoggingTest, ExceptionCaughtAtAQueueBoundaryIsLogged) {
    {
        bv::OperationQueue queue("uploads", 1);
        queue.addOperation([] { throw std::runtime_error("chunk failed"); });
        queue.waitUntilAllOperationsAreFinished();
    }
    EXPECT_NE(normalLog().find("]: Unhandled exception in uploads: chunk failed\n"),
              std::string::npos);
}

TEST_F(BVLoggingTest, UncaughtExceptionIsLoggedWithItsReasonAndCallStack) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            BVLogging::setupWithPrefix("BV");
            std::thread([] { throw std::runtime_error("out of cheese"); }).join();
        },
        ::testing::KilledBySignal(SIGABRT), "");
    const auto records = lines(normalLog());
    ASSERT_GE(records.size(), 3u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(records[0], match, kRecord));
    EXPECT_EQ(match[3], "================= Exception: out of cheese");
    ASSERT_TRUE(std::regex_match(records[1], match, kRecord));
    EXPECT_EQ(match[3], "std::runtime_error");
    ASSERT_TRUE(std::regex_match(records[2], match, kRecord));
    EXPECT_TRUE(std::regex_match(std::string(match[3]), std::regex(R"(0x[0-9a-f]+ :: .+)")))
        << match[3];
}

}  // namespace
