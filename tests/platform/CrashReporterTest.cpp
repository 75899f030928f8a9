#include "platform/CrashReporter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "TempDir.h"

namespace {

void writeToProtectedPage() {
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
}

void throwOnAThread() {
    std::thread([] { throw std::runtime_error("disk on fire"); }).join();
}

struct CrashCase {
    const char* label;
    void (*crash)();
    int signal;
    const char* reason;
};

class CrashReporterTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashReporterTest, WritesAReportWithTheReasonAndABacktraceThenDiesOfTheSameCause) {
    const auto& param = GetParam();
    bvtest::ScopedHome home;
    const auto folder = home.path() / ".local/state/Brimvault/DiagnosticReports";
    EXPECT_EQ(bv::CrashReporter::reportFolder(), folder);
    EXPECT_EXIT(
        {
            bv::CrashReporter::install("Brimvault");
            param.crash();
        },
        ::testing::KilledBySignal(param.signal), "");

    std::vector<std::filesystem::path> reports;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        reports.push_back(entry.path());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(std::regex_match(reports[0].filename().string(),
                                 std::regex(R"(Brimvault_\d{4}-\d\d-\d\d-\d{6}\.crash)")))
        << reports[0];
    struct stat st;
    ASSERT_EQ(stat(reports[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::ifstream in(reports[0]);
    std::stringstream text;
    text << in.rdbuf();
    const std::string report = text.str();
    EXPECT_NE(report.find("Program: Brimvault\n"), std::string::npos) << report;
    EXPECT_NE(report.find(std::string("Reason: ") + param.reason), std::string::npos) << report;
    const auto backtrace = report.find("Backtrace:\n");
    ASSERT_NE(backtrace, std::string::npos) << report;
    EXPECT_NE(report.find("[0x", backtrace), std::string::npos) << "no frame in " << report;
}

INSTANTIATE_TEST_SUITE_P(
    Causes, CrashReporterTest,
    ::testing::Values(CrashCase{"Fault", writeToProtectedPage, SIGSEGV, "SIGSEGV (signal 11)"},
                      CrashCase{"Abort", [] { std::abort(); }, SIGABRT, "SIGABRT (signal 6)"},
                      CrashCase{"Bus", [] { raise(SIGBUS); }, SIGBUS, "SIGBUS"},
                      CrashCase{"UncaughtException", throwOnAThread, SIGABRT,
                                "uncaught exception of type std::runtime_error: disk on fire"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
