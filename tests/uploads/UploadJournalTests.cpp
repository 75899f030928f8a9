#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "UploadFixture.h"

namespace bvtest {
namespace {

// A child process that is killed, and waited for, on every way out of the test.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv) {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<char*> args;
            for (const auto& arg : argv)
                args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        kill();
        if (out_ >= 0)
            ::close(out_);
    }
    // Reads the child's output until the line appears, the child ends or seconds pass.
    bool waitForLine(const std::string& line, int seconds) {
        std::string seen;
        for (;;) {
            pollfd ready{out_, POLLIN, 0};
            if (::poll(&ready, 1, seconds * 1000) <= 0)
                return false;
            char buffer[256];
            const ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            seen.append(buffer, static_cast<size_t>(n));
            if (seen.find(line + "\n") != std::string::npos)
                return true;
        }
    }
    void kill() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    bool started() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

using UploadJournalTest = UploadFixture;

TEST_F(UploadJournalTest, AStagedFileWhoseUploaderDiedAfterTheCloseArrivesWholeAfterARestart) {
    const size_t size = 300000;
    const auto childCache = dir_.path() / "child-cache";
    const auto childTmp = dir_.path() / "child-tmp" / "temp";
    // The first chunk hangs at the service, so the close stops waiting with the upload
    // still running, and the process dies then.
    server_->addFault({{"endpoint", "upload/upload_file_chunk2.json"},
                       {"kind", "delay"},
                       {"delay_ms", 12000},
                       {"count", 1}});
    {
        Child child({UPLOAD_JOURNAL_CHILD, server_->baseUrl(), server_->caFile().string(), user_,
                     "pw", childCache.string(), childTmp.string(), dir_.path().string(),
                     std::to_string(size)});
        ASSERT_TRUE(child.started());
        ASSERT_TRUE(child.waitForLine("released", 60));
        child.kill();
    }
    server_->clearFaults();

    // The next start: the journal names the upload and its copy in the store.
    BVUploadJournal journal(childCache);
    auto entries = journal.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, "/child.bin");
    EXPECT_EQ(entries[0].size, size);
    EXPECT_EQ(entries[0].state, BVUploadJournal::kClosing);
    EXPECT_EQ(entries[0].staged.rfind(childTmp.string(), 0), 0u);

    auto options = uploadOptions();
    options.chunkSize = 64 * 1024;
    auto resumed = journal.resumeJournal(
        [&](const std::string& path) {
            return std::make_unique<BVUploadController>(path, nullptr, options);
        },
        nullptr);
    ASSERT_EQ(resumed.size(), 1u);
    EXPECT_TRUE(resumed[0].uploaded) << resumed[0].error.description();
    EXPECT_TRUE(journal.entries().empty());
    auto stored = serviceBytes("/child.bin");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(*stored == patternBytes(size, 42));
}

TEST_F(UploadJournalTest, AMissingCopyIsReportedByNameThroughTheUserInterface) {
    journal_->record({.id = "",
                      .path = "/Docs/report.pdf",
                      .identifier = "17",
                      .staged = (dir_.path() / "gone").string(),
                      .size = 10,
                      .state = BVUploadJournal::kFailed},
                     nullptr);
    auto previous = bv::UserInterface::setCurrent(ui_);
    auto resumed = journal_->resumeJournal(
        [](const std::string&) { return std::unique_ptr<BVUploadController>(); }, nullptr);
    bv::UserInterface::setCurrent(previous);
    ASSERT_EQ(resumed.size(), 1u);
    EXPECT_FALSE(resumed[0].uploaded);
    auto calls = ui_->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_NE(calls[0].details.dump().find("report.pdf"), std::string::npos);
    EXPECT_TRUE(journal_->entries().empty());
}

}  // namespace
}  // namespace bvtest
