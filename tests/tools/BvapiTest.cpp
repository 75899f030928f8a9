#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ReferenceServer.h"
#include "TempDir.h"
#include "tools/TerminalText.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

TEST(TerminalText, NothingThatDrivesATerminalIsPrintedAsItIs) {
    using namespace std::string_literals;
    const struct {
        std::string raw;
        std::string shown;
    } cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"caf\xc3\xa9 \xe2\x9c\x93", "caf\xc3\xa9 \xe2\x9c\x93"},
        {"title\x1b]0;owned\x07", "title\\e]0;owned\\x07"},
        {"two\nlines\r\t", "two\\nlines\\r\\t"},
        {"nul\0del\x7f"s, "nul\\x00del\\x7F"},
        {"c1 csi \xc2\x9b"
         "31m",
         "c1 csi \\u{009B}31m"},
        {"bidi \xe2\x80\xaetxt.exe", "bidi \\u{202E}txt.exe"},
        {"line \xe2\x80\xa8separator", "line \\u{2028}separator"},
        {"latin1 caf\xe9", "latin1 caf\\xE9"},
        {"cut \xe2\x80", "cut \\xE2\\x80"},
        {"surrogate \xed\xa0\x80", "surrogate \\xED\\xA0\\x80"},
        {"back\\e slash", "back\\\\e slash"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(terminalSafe(c.raw), c.shown) << c.shown;
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// bvapi signed in as one account of the reference service.
class BvapiTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        bvtest::ReferenceServer::Options options;
        options.seed = nlohmann::json::array({{{"username", "ann"}, {"password", "pw"}}});
        server_ = new bvtest::ReferenceServer(options);
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override { std::ofstream(dir_ / "pw") << "pw\n"; }

    Outcome bvapi(std::vector<std::string> args) {
        std::vector<std::string> all = {BVAPI_BINARY,
                                        "--api",
                                        server_->baseUrl(),
                                        "--ca",
                                        server_->caFile().string(),
                                        "--user",
                                        "ann",
                                        "--password-file",
                                        (dir_ / "pw").string()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const fs::path out = output_ / "out", err = output_ / "err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        Outcome run;
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        run.out = readText(out);
        run.err = readText(err);
        return run;
    }

    static bvtest::ReferenceServer* server_;
    bvtest::ScopedHome home_;  // bvapi's log and preferences
    bvtest::TempDir dir_{"bvapi"}, output_{"bvapi-output"};
};

bvtest::ReferenceServer* BvapiTest::server_ = nullptr;

// A name chosen by whoever shares a folder with us must not forge listing lines nor set the
// terminal's title.
TEST_F(BvapiTest, ListingsShowHostileNamesEscaped) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"title\x1b]0;owned\x07", "title\\e]0;owned\\x07/"},
        {"two\n  d 2020-01-01 00:00            forged",
         "two\\n  d 2020-01-01 00:00            forged/"},
        {"bidi \xe2\x80\xaetxt.exe", "bidi \\u{202E}txt.exe/"},
    };
    auto linesOf = [](const std::string& text) {
        return size_t(std::count(text.begin(), text.end(), '\n'));
    };
    Outcome before = bvapi({"ls", "/"});
    ASSERT_EQ(before.status, 0) << before.err;
    size_t created = 0;
    for (const auto& name : names) {
        Outcome made = bvapi({"mkdir", "/" + name.first});
        if (made.status == 0)
            ++created;
        EXPECT_EQ(made.out.find('\x1b'), std::string::npos) << made.out;
        EXPECT_EQ(made.err.find('\x1b'), std::string::npos) << made.err;
    }
    ASSERT_GT(created, 0u) << "the service took none of the names";

    Outcome listed = bvapi({"ls", "/"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    for (char c : listed.out) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7f)) << int(byte);
    }
    EXPECT_EQ(listed.out.find("\xe2\x80\xae"), std::string::npos);
    EXPECT_EQ(listed.out.find("\n  d 2020-01-01"), std::string::npos) << "a forged line";
    // A name the client keeps is shown escaped (one it leaves out is not shown at all).
    size_t shownNames = 0;
    for (const auto& name : names)
        shownNames += listed.out.find(name.second) != std::string::npos;
    EXPECT_EQ(linesOf(listed.out), linesOf(before.out) + shownNames) << listed.out;
}

// A download that could not be written is a failure, and leaves nothing half written.
TEST_F(BvapiTest, DownloadsReportWriteFailures) {
    std::ofstream(dir_ / "content") << "the file's content";
    Outcome put = bvapi({"put", (dir_ / "content").string(), "/file.txt"});
    ASSERT_EQ(put.status, 0) << put.err;

    Outcome full = bvapi({"get", "/file.txt", "/dev/full"});
    EXPECT_NE(full.status, 0);
    EXPECT_EQ(full.out.find("downloaded"), std::string::npos) << full.out;
    EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;

    Outcome missing = bvapi({"get", "/file.txt", (output_ / "no/such/folder").string()});
    EXPECT_NE(missing.status, 0);

    std::ofstream(output_ / "copy") << "older and longer content than the new one";
    Outcome fine = bvapi({"get", "/file.txt", (output_ / "copy").string()});
    ASSERT_EQ(fine.status, 0) << fine.err;
    EXPECT_EQ(readText(output_ / "copy"), "the file's content");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(output_.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"copy", "err", "out"}));
}

}  // namespace
