#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BVApi/Controllers/BVJITThrottleUploadController.h"
#include "BVApi/Controllers/BVTmpUploadController.h"

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

// Closes confirmed by the service leave nothing to sync; a record is made durable only when
// a close returns without the service's confirmation, and then holds the whole file.
TEST_F(UploadJournalTest, AStreamedCloseTheServiceRefusedStaysInTheJournalWithItsBytes) {
    auto options = uploadOptions();
    options.chunkSize = 64 * 1024;
    const bv::Data bytes = patternBytes(150000, 3);
    bv::Error error;
    // As on the volume, the parent is listed before a file is created in it.
    ASSERT_TRUE(content_->listFolderAt("/", true, &error)) << error.description();
    {
        BVJITThrottleUploadController writer("/fine.bin", nullptr, options);
        ASSERT_TRUE(writer.createFileError(&error)) << error.description();
        ASSERT_TRUE(writer.writeFile(bytes.bytes(), bytes.size(), 0, &error));
        ASSERT_TRUE(writer.closeFileError(&error)) << error.description();
    }
    EXPECT_TRUE(std::filesystem::is_empty(journal_->folder()));

    server_->addFault(
        {{"endpoint", "upload/close_file_upload.json"}, {"kind", "error"}, {"count", 1}});
    {
        BVJITThrottleUploadController writer("/refused.bin", nullptr, options);
        ASSERT_TRUE(writer.createFileError(&error)) << error.description();
        ASSERT_TRUE(writer.writeFile(bytes.bytes(), bytes.size(), 0, &error));
        EXPECT_FALSE(writer.closeFileError(&error));
    }
    // What a later start finds.
    BVUploadJournal later(cache_->rootPath());
    auto entries = later.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, "/refused.bin");
    EXPECT_EQ(entries[0].state, BVUploadJournal::kFailed);
    EXPECT_EQ(entries[0].size, bytes.size());
    std::ifstream copy(entries[0].staged, std::ios::binary);
    const std::string kept((std::istreambuf_iterator<char>(copy)), {});
    ASSERT_EQ(kept.size(), bytes.size()) << entries[0].staged;
    EXPECT_TRUE(kept == std::string(reinterpret_cast<const char*>(bytes.bytes()), bytes.size()));
}

// A close that failed leaves its record; a later close of the same file that the service
// confirms makes it obsolete, and the next start must not put the older copy over the newer
// file.
TEST_F(UploadJournalTest, AConfirmedCloseRetiresTheRecordsOfEarlierClosesOfTheFile) {
    auto options = uploadOptions();
    options.chunkSize = 64 * 1024;
    bv::Error error;
    ASSERT_TRUE(content_->listFolderAt("/", true, &error)) << error.description();
    const bv::Data older = patternBytes(90000, 5);
    const bv::Data newer = patternBytes(70000, 6);
    // Streamed as a new file, refused at its close; then changed as the volume changes an
    // existing file, through a staged copy.
    server_->addFault(
        {{"endpoint", "upload/close_file_upload.json"}, {"kind", "error"}, {"count", 1}});
    {
        BVJITThrottleUploadController writer("/same.bin", nullptr, options);
        ASSERT_TRUE(writer.createFileError(&error)) << error.description();
        ASSERT_TRUE(writer.writeFile(older.bytes(), older.size(), 0, &error));
        EXPECT_FALSE(writer.closeFileError(&error));
    }
    ASSERT_EQ(journal_->entries().size(), 1u);
    {
        BVTmpUploadController writer("/same.bin", nullptr, options);
        ASSERT_TRUE(writer.openFileError(&error)) << error.description();
        ASSERT_TRUE(writer.writeFile(newer.bytes(), newer.size(), 0, &error));
        BVTmpController::Attributes cut;
        cut.size = newer.size();
        ASSERT_TRUE(tmp_->setAttributes(cut, "/same.bin", &error));
        EXPECT_TRUE(writer.closeFileError(&error)) << error.description();
    }
    EXPECT_TRUE(journal_->entries().empty());

    BVUploadJournal later(cache_->rootPath());
    auto resumed = later.resumeJournal(
        [&](const std::string& path) {
            return std::make_unique<BVUploadController>(path, nullptr, options);
        },
        nullptr);
    EXPECT_TRUE(resumed.empty());
    auto stored = serviceBytes("/same.bin");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(*stored == newer);
}

// The interleavings around a confirmed close, one step after another: an earlier upload of
// the file still running when a later close is confirmed, which then fails, and the
// confirmed upload's own record asked to change afterwards. A removed record never comes
// back; records of other files stay.
TEST_F(UploadJournalTest, ARecordThatWentIsNeverWrittenAgain) {
    const auto copy = dir_.path() / "copy";
    std::ofstream(copy) << "0123456789";
    auto recordOf = [&](const std::string& path) {
        auto id = journal_->recordPending({.id = "",
                                           .path = path,
                                           .identifier = "",
                                           .staged = copy.string(),
                                           .size = 10,
                                           .state = BVUploadJournal::kClosing},
                                          nullptr);
        EXPECT_TRUE(id);
        return id.value_or("");
    };
    const std::string running = recordOf("/a.bin");
    const std::string other = recordOf("/b.bin");
    ASSERT_TRUE(journal_->makeDurable(running, nullptr));
    const uint64_t mark = journal_->generation();
    const std::string confirmed = recordOf("/a.bin");
    const std::string newest = recordOf("/a.bin");  // a close after the confirmed one began
    journal_->confirmed("/a.bin", mark, confirmed);

    // The earlier upload fails now, as its close and its queue would report it.
    EXPECT_TRUE(journal_->makeDurable(running, nullptr));
    EXPECT_FALSE(journal_->setState(running, BVUploadJournal::kFailed));
    EXPECT_FALSE(journal_->setState(confirmed, BVUploadJournal::kFailed));
    EXPECT_TRUE(journal_->setState(newest, BVUploadJournal::kFailed));

    std::vector<std::pair<std::string, std::string>> left;
    for (const auto& entry : BVUploadJournal(cache_->rootPath()).entries())
        left.emplace_back(entry.id, entry.state);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {other, BVUploadJournal::kClosing}, {newest, BVUploadJournal::kFailed}};
    EXPECT_EQ(left, expected);
}

TEST_F(UploadJournalTest, PendingRecordsAreSeenByALaterStartAndBecomeDurableTogether) {
    const auto copy = dir_.path() / "copy";
    std::ofstream(copy) << "0123456789";
    std::vector<std::string> ids;
    for (int i = 0; i < 8; ++i) {
        auto id = journal_->recordPending({.id = "",
                                           .path = "/f" + std::to_string(i),
                                           .identifier = "",
                                           .staged = copy.string(),
                                           .size = 10,
                                           .state = BVUploadJournal::kClosing},
                                          nullptr);
        ASSERT_TRUE(id);
        ids.push_back(*id);
    }
    EXPECT_EQ(BVUploadJournal(cache_->rootPath()).entries().size(), 8u);

    // Eight closes wanting durability at once, one of them after its record went.
    journal_->remove(ids[7]);
    std::vector<int> durable(8, 0);
    {
        std::vector<std::jthread> closes;
        for (int i = 0; i < 8; ++i)
            closes.emplace_back([&, i] { durable[i] = journal_->makeDurable(ids[i], nullptr); });
    }
    EXPECT_EQ(durable, std::vector<int>(8, 1));
    auto entries = BVUploadJournal(cache_->rootPath()).entries();
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[0].path, "/f0");
}

// The process ended after the close made the record but before the file reached the
// service: the resume creates it in its folder and sends it whole. A service that cannot be
// asked is no reason to create anything.
TEST_F(UploadJournalTest, AFileNotYetAtTheServiceIsCreatedThereByTheResume) {
    bv::Error error;
    ASSERT_TRUE(manage_->createFolderAt("/", "Docs", &error)) << error.description();
    const auto copy = dir_.path() / "copy";
    const bv::Data bytes = patternBytes(70000, 9);
    std::ofstream(copy, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.bytes()),
               static_cast<std::streamsize>(bytes.size()));
    journal_->record({.id = "",
                      .path = "/Docs/new.bin",
                      .identifier = "",
                      .staged = copy.string(),
                      .size = bytes.size(),
                      .state = BVUploadJournal::kClosing},
                     nullptr);
    auto options = uploadOptions();
    options.chunkSize = 64 * 1024;
    auto resume = [&] {
        return journal_->resumeJournal(
            [&](const std::string& path) {
                return std::make_unique<BVUploadController>(path, nullptr, options);
            },
            nullptr);
    };

    server_->addFault({{"endpoint", "*"}, {"kind", "http500"}, {"count", 1000}});
    auto refused = resume();
    server_->clearFaults();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_FALSE(refused[0].uploaded);
    EXPECT_NE(refused[0].error.code(), BVContentController::kErrorNotFound);
    EXPECT_FALSE(serviceBytes("/Docs/new.bin"));

    auto resumed = resume();
    ASSERT_EQ(resumed.size(), 1u);
    EXPECT_TRUE(resumed[0].uploaded) << resumed[0].error.description();
    EXPECT_TRUE(journal_->entries().empty());
    auto stored = serviceBytes("/Docs/new.bin");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(*stored == bytes);
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
