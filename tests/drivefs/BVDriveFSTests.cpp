// The operations of the volume without a mount: the error tables, the read retries and the
// create throttle on an injected clock, with fake readers; the change reports of a refresh
// and the kernel invalidations they cause, with a fake kernel.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Controllers/BVReadFailureBoard.h"
#include "BVApi/Controllers/BVSatellitesController.h"
#include "BVApi/Controllers/BVVolumeChangeHook.h"
#include "DriveFS/BVDriveFS.h"
#include "DriveFS/BVDriveFSErrors.h"
#include "DriveFS/BVFolderRequests.h"
#include "DriveFS/BVKernelCacheInvalidator.h"
#include "DriveFS/BVUploadStartCounter.h"
#include "TempDir.h"
#include "platform/Clock.h"

namespace bvtest {
namespace {

TEST(BVDriveFSErrorsTest, MapsTheCodesProgramsDependOn) {
    bv::Error refusedName = bv::Error::make(-197, "Invalid file or folder name");
    refusedName.setInfo(bv::kServerCodeKey, int64_t{400});
    bv::Error otherServerError = bv::Error::make(-197, "Folder is busy");
    otherServerError.setInfo(bv::kServerCodeKey, int64_t{503});
    const std::vector<std::pair<bv::Error, int>> cases = {
        {bv::Error::make(-1000, "File not found!"), ENOENT},
        {bv::Error::make(-999, "Folder already exists!"), EEXIST},
        {bv::Error::make(1000, "begins with a space"), EPERM},
        {refusedName, EINVAL},
        {otherServerError, EIO},
        {bv::Error::make(-998, "Shared user not found."), EIO},
        {bv::Error::make(-200, "network"), EIO},
        {bv::Error(), EIO},
        {BVDriveFSErrors::posixError(ENOTEMPTY), ENOTEMPTY},
    };
    for (const auto& [error, expected] : cases)
        EXPECT_EQ(BVDriveFSErrors::posixCodeFor(error), expected) << error.description();
}

TEST(BVDriveFSErrorsTest, DisplaysByCode) {
    struct Case {
        int64_t code;
        int64_t shownCode;
        std::string name;
    };
    for (const auto& c : std::vector<Case>{{1000, 1000, ""},
                                           {-199, 1000, ""},
                                           {-1003, 502, ""},
                                           {-1000, 501, ""},
                                           {-998, 501, ""},
                                           {-200, -200, "Network error"},
                                           {-197, -197, "Server error"},
                                           {-5, -5, ""}}) {
        auto shown = BVDriveFSErrors::displayFor(bv::Error::make(c.code, "reason"));
        EXPECT_EQ(shown.error.code(), c.shownCode) << c.code;
        EXPECT_EQ(shown.name, c.name) << c.code;
    }
    EXPECT_EQ(BVDriveFSErrors::displayFor(bv::Error::make(-1000, "x")).error.localizedDescription(),
              "Item not found");
}

// The failure standing for the file, as every reader of it sees it (the real readers keep it
// on the failure board), and what gave up on it.
struct StandingFailure {
    std::shared_ptr<bv::Clock> clock;
    std::optional<bv::Error> failure;
    uint64_t noted = 0;  // its sequence number
    double at = 0;       // when
    uint64_t sequence = 0;
    int gaveUp = 0;
    std::function<void()> onRead;  // called at each read, before it answers
    void note(const bv::Error& error) {
        failure = error;
        noted = ++sequence;
        at = clock->monotonic();
    }
    // As the failure board marks a read that begins now.
    uint64_t mark() const {
        const bool recent = failure && clock->monotonic() < at + BVReadFailureBoard::kSharedFor;
        return recent ? noted - 1 : sequence;
    }
};

// Answers the scripted results in turn, then the last one forever.
class ScriptedReader : public BVFileReader {
  public:
    ScriptedReader(std::deque<std::optional<bv::Data>> answers, bv::Error failure, int* calls,
                   StandingFailure* standing)
        : answers_(std::move(answers)),
          failure_(std::move(failure)),
          calls_(calls),
          standing_(standing) {}
    std::optional<bv::Data> read(uint64_t, uint64_t, uint64_t since, bv::Error* error) override {
        // As the read-ahead reader, a read that found a failure standing makes no call.
        if (auto failure = standingFailure(since)) {
            bv::setError(error, *failure);
            return std::nullopt;
        }
        ++*calls_;
        if (standing_->onRead)
            standing_->onRead();
        auto answer = answers_.front();
        if (answers_.size() > 1)
            answers_.pop_front();
        if (!answer)
            bv::setError(error, failure_);
        return answer;
    }
    uint64_t failureMark() override { return standing_->mark(); }
    std::optional<bv::Error> standingFailure(uint64_t since) override {
        return standing_->noted > since ? standing_->failure : std::nullopt;
    }
    void gaveUp(const bv::Error& error) override {
        standing_->note(error);
        ++standing_->gaveUp;
    }

  private:
    std::deque<std::optional<bv::Data>> answers_;
    bv::Error failure_;
    int* calls_;
    StandingFailure* standing_;
};

class DriveFSTest : public ::testing::Test {
  protected:
    std::unique_ptr<BVDriveFS> makeFS(std::deque<std::optional<bv::Data>> answers,
                                      bv::Error failure = bv::Error::make(-200, "network")) {
        BVSatellitesController::Options satellites;
        satellites.callerPid = [] { return getpid(); };
        BVDriveFS::Options options;
        options.tmp = tmp_;
        options.satellites = std::make_shared<BVSatellitesController>(satellites);
        options.uploadStartCounter = &counter_;
        options.clock = clock_;
        options.presentError = [this](const bv::Error& e, const std::string&) {
            shown_.push_back(e);
        };
        standing_ = StandingFailure{};
        standing_.clock = clock_;
        options.readers = [this, answers, failure](const std::string&) {
            readerCalls_ = 0;
            return std::make_unique<ScriptedReader>(answers, failure, &readerCalls_, &standing_);
        };
        return std::make_unique<BVDriveFS>(std::move(options));
    }
    // Reads 4 bytes at 0 through a fresh read-only handle; the errno lands in *posix.
    int64_t readOnce(BVDriveFS& fs, std::string* bytes, int* posix) {
        bv::Error error;
        auto handle = fs.openFileAtPath("/f.bin", false, false, &error);
        EXPECT_NE(handle, nullptr);
        char buffer[4] = {};
        const int64_t count = fs.readFileAtPath("/f.bin", *handle, buffer, 4, 0, &error);
        *posix = BVDriveFSErrors::posixCodeFor(error);
        if (count > 0)
            bytes->assign(buffer, static_cast<size_t>(count));
        return count;
    }

    TempDir dir_;
    std::shared_ptr<BVTmpController> tmp_ =
        std::make_shared<BVTmpController>((dir_.path() / "tmp").string(), dir_.path().string());
    std::shared_ptr<bv::ManualClock> clock_ = std::make_shared<bv::ManualClock>(1000);
    BVUploadStartCounter counter_{[](double, std::function<void()>) {}};
    std::vector<bv::Error> shown_;
    int readerCalls_ = 0;
    StandingFailure standing_;
};

TEST_F(DriveFSTest, ReadRetriesThreeTimesFiveSecondsApartThenFails) {
    struct Case {
        std::string what;
        std::deque<std::optional<bv::Data>> answers;
        bv::Error failure;
        int64_t count;
        double waited;
        int posix;
    };
    const bv::Data abcd = bv::Data::fromString("abcd");
    const std::vector<Case> cases = {
        {"at once", {abcd}, {}, 4, 0, 0},
        {"second attempt", {std::nullopt, abcd}, bv::Error::make(-200, "n"), 4, 5, EIO},
        {"never", {std::nullopt}, bv::Error::make(-200, "n"), -1, 15, EIO},
        {"gone", {std::nullopt}, bv::Error::make(-1000, "File not found!"), -1, 15, ENOENT},
        {"reader's own time limit", {bv::Data()}, {}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto fs = makeFS(c.answers, c.failure);
        const double before = clock_->now();
        std::string bytes;
        int posix = 0;
        EXPECT_EQ(readOnce(*fs, &bytes, &posix), c.count);
        EXPECT_NEAR(clock_->now() - before, c.waited, 1e-6);
        if (c.count > 0) {
            EXPECT_EQ(bytes, "abcd");
        }
        if (c.count < 0) {
            EXPECT_EQ(posix, c.posix);
            EXPECT_EQ(readerCalls_, 4);
        }
    }
}

TEST_F(DriveFSTest, AReadThatGaveUpFailsTheReadsUnderWayOrJustBegunAndLaterReadsTryAgain) {
    // Not found at the end, so that the shared failure is seen to be the same one (ENOENT);
    // each handle's reader fails four times, then the file is there again.
    const bv::Data abcd = bv::Data::fromString("abcd");
    auto fs = makeFS({std::nullopt, std::nullopt, std::nullopt, std::nullopt, abcd},
                     bv::Error::make(-1000, "File not found!"));
    bv::Error error;
    auto first = fs->openFileAtPath("/f.bin", false, false, &error);
    auto second = fs->openFileAtPath("/f.bin", false, false, &error);
    ASSERT_TRUE(first && second);
    struct Outcome {
        int64_t count;
        double waited;
        int posix;
        int calls;
    };
    auto read = [&](BVDriveFSHandle& handle) {
        bv::Error failure;
        char buffer[4];
        readerCalls_ = 0;
        const double before = clock_->now();
        const int64_t count = fs->readFileAtPath("/f.bin", handle, buffer, 4, 0, &failure);
        return Outcome{count, clock_->now() - before, BVDriveFSErrors::posixCodeFor(failure),
                       readerCalls_};
    };

    // A read under way on the other handle when another read gives up stops at its next
    // retry with the same failure, spending no more of them.
    standing_.onRead = [&] {
        if (readerCalls_ == 2)
            standing_.note(bv::Error::make(-1000, "File not found!"));
    };
    auto beside = read(*second);
    EXPECT_EQ(beside.count, -1);
    EXPECT_NEAR(beside.waited, 5, 1e-6);
    EXPECT_EQ(beside.posix, ENOENT);
    EXPECT_EQ(beside.calls, 2);
    EXPECT_EQ(standing_.gaveUp, 0);
    standing_.onRead = nullptr;

    // So does a read that begins right after it (the kernel's own second try of a page).
    auto right = read(*first);
    EXPECT_EQ(right.count, -1);
    EXPECT_EQ(right.waited, 0);
    EXPECT_EQ(right.posix, ENOENT);
    EXPECT_EQ(right.calls, 0);

    // The failure still stands, but a read that begins once its time is over is a read of
    // its own: it runs its retries and gives up itself, and a later one, on the same handle
    // that never was reopened, gets the bytes once the file is there again.
    clock_->advance(BVReadFailureBoard::kSharedFor);
    auto given = read(*first);
    EXPECT_EQ(given.count, -1);
    EXPECT_NEAR(given.waited, 15, 1e-6);
    EXPECT_EQ(given.calls, 4);
    EXPECT_EQ(standing_.gaveUp, 1);
    clock_->advance(BVReadFailureBoard::kSharedFor);
    auto back = read(*first);
    EXPECT_EQ(back.count, 4);
    EXPECT_EQ(back.waited, 0);
    EXPECT_EQ(back.calls, 1);
}

TEST_F(DriveFSTest, MoreThanFiveCreatesWithinASecondAreSlowedDown) {
    auto fs = makeFS({bv::Data()});
    for (int i = 0; i < 8; ++i) {
        const double before = clock_->now();
        bv::Error error;
        auto handle = fs->createFileAtPath("/n" + std::to_string(i) + ".DS_Store", &error);
        ASSERT_NE(handle, nullptr) << error.description();
        EXPECT_NEAR(clock_->now() - before, i > 4 ? 0.2 : 0.0, 1e-6) << i;
        fs->releaseFileAtPath("/", std::move(handle));
    }
    EXPECT_EQ(counter_.value(), 8u);
    counter_.decrementUploadStartCounter();
    EXPECT_EQ(counter_.value(), 7u);
}

TEST_F(DriveFSTest, LinksAreRefusedWithoutAnErrorObject) {
    auto fs = makeFS({bv::Data()});
    bv::Error error = bv::Error::make(1, "stale");
    EXPECT_FALSE(fs->createSymbolicLinkAtPath("/l", "/t", &error));
    EXPECT_FALSE(error);
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].localizedDescription(), BVDriveFS::kLinksMessage);
    EXPECT_FALSE(fs->linkItemAtPath("/a", "/b", &error));
    EXPECT_EQ(shown_.size(), 1u);
}

TEST(BVUploadStartCounterTest, EachIncrementSchedulesItsDecrementAndNeverGoesBelowZero) {
    std::vector<std::pair<double, std::function<void()>>> scheduled;
    BVUploadStartCounter counter(
        [&](double delay, std::function<void()> task) { scheduled.emplace_back(delay, task); });
    counter.incrementUploadStartCounter();
    counter.incrementUploadStartCounter();
    ASSERT_EQ(scheduled.size(), 2u);
    EXPECT_DOUBLE_EQ(scheduled[0].first, 1.0);
    for (auto& [delay, task] : scheduled)
        task();
    EXPECT_EQ(counter.value(), 0u);
    counter.decrementUploadStartCounter();
    EXPECT_EQ(counter.value(), 0u);
}

}  // namespace
}  // namespace bvtest

namespace bvtest {
namespace {

std::shared_ptr<BVFileItem> fileItem(const std::string& name, const std::string& id, int64_t size,
                                     double date = 100) {
    auto file = std::make_shared<BVFileItem>();
    file->name = name;
    file->identifier = id;
    file->size = size;
    file->dateModified = date;
    return file;
}

std::shared_ptr<BVFolderItem> folderItem(const std::string& name, const std::string& id,
                                         double date = 100) {
    auto folder = std::make_shared<BVFolderItem>();
    folder->name = name;
    folder->identifier = id;
    folder->dateModified = date;
    return folder;
}

std::shared_ptr<BVFolderListItem> listingOf(std::vector<std::shared_ptr<BVFolderItem>> folders,
                                            std::vector<std::shared_ptr<BVFileItem>> files) {
    auto listing = std::make_shared<BVFolderListItem>();
    listing->folders = std::move(folders);
    listing->files = std::move(files);
    return listing;
}

TEST(BVVolumeChangeHookTest, ReportsWhatDiffersBetweenTwoListings) {
    // The cached listings below "/D/Old", which the kernel may hold names of.
    const std::map<std::string, std::shared_ptr<BVFolderListItem>> cached = {
        {"/D/Old", listingOf({folderItem("Deep", "f2")}, {fileItem("x", "x1", 1)})},
        {"/D/Old/Deep", listingOf({}, {fileItem("y", "y1", 1)})},
    };
    const auto cachedListing = [&](const std::string& path) {
        auto it = cached.find(path);
        return it == cached.end() ? nullptr : it->second;
    };
    const auto before = listingOf({folderItem("Old", "f1"), folderItem("Same", "f3")},
                                  {fileItem("a", "a1", 5), fileItem("gone", "g1", 1)});
    struct Case {
        const char* what;
        std::shared_ptr<BVFolderListItem> after;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"unchanged",
         listingOf({folderItem("Old", "f1"), folderItem("Same", "f3")},
                   {fileItem("a", "a1", 5), fileItem("gone", "g1", 1)}),
         {}},
        {"a file's size and one removed",
         listingOf({folderItem("Old", "f1"), folderItem("Same", "f3")}, {fileItem("a", "a1", 6)}),
         {"/D", "/D/a", "/D/gone"}},
        {"a folder renamed takes its cached contents",
         listingOf({folderItem("New", "f1"), folderItem("Same", "f3")},
                   {fileItem("a", "a1", 5), fileItem("gone", "g1", 1)}),
         {"/D", "/D/New", "/D/Old", "/D/Old/Deep", "/D/Old/Deep/y", "/D/Old/x"}},
        {"a folder's new date leaves its contents",
         listingOf({folderItem("Old", "f1", 200), folderItem("Same", "f3")},
                   {fileItem("a", "a1", 5), fileItem("gone", "g1", 1)}),
         {"/D", "/D/Old"}},
        {"a file replaced by another of the same name and size",
         listingOf({folderItem("Old", "f1"), folderItem("Same", "f3")},
                   {fileItem("a", "a2", 5), fileItem("gone", "g1", 1)}),
         {"/D", "/D/a"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BVVolumeChangeHook::changedPaths("/D", before.get(), *c.after, cachedListing),
                  c.expected)
            << c.what;
}

TEST(BVVolumeChangeHookTest, AListingThatNamesItselfEnds) {
    auto loop = listingOf({folderItem("L", "f1")}, {});
    auto before = listingOf({folderItem("L", "f1")}, {});
    auto after = listingOf({}, {});
    auto paths = BVVolumeChangeHook::changedPaths("/", before.get(), *after,
                                                  [&](const std::string&) { return loop; });
    EXPECT_GT(paths.size(), 2u);
    EXPECT_LT(paths.size(), 100u);
}

TEST(BVKernelCacheInvalidatorTest, DropsItemsWithTheirNamesAndTheirFoldersAttributesOnly) {
    std::mutex seenLock;
    std::vector<std::string> items, entries;
    BVKernelCacheInvalidator::Kernel kernel;
    kernel.invalidateItem = [&](const std::string& path) {
        std::lock_guard<std::mutex> guard(seenLock);
        items.push_back(path);
    };
    kernel.invalidateEntry = [&](const std::string& folder, const std::string& name) {
        std::lock_guard<std::mutex> guard(seenLock);
        entries.push_back(folder + "|" + name);
    };
    BVKernelCacheInvalidator invalidator(kernel);
    invalidator.itemsChanged({"/D/a", "/D/b", "/", "relative"});
    invalidator.waitUntilIdle();
    {
        std::lock_guard<std::mutex> guard(seenLock);
        EXPECT_EQ(entries, (std::vector<std::string>{"/D|a", "/D|b"}));
        EXPECT_EQ(items, (std::vector<std::string>{"/D/a", "/D/b", "/", "/D"}));
    }
    invalidator.stop();
    invalidator.itemsChanged({"/E/c"});
    invalidator.waitUntilIdle();
    std::lock_guard<std::mutex> guard(seenLock);
    EXPECT_EQ(entries.size(), 2u);
}

// What the invalidator told a fake kernel, for tests that wait for a name to be dropped.
struct SeenKernel {
    std::mutex seenLock;  // guards items, entries
    std::condition_variable entrySeen;
    std::vector<std::string> items, entries;

    BVKernelCacheInvalidator::Kernel kernel() {
        BVKernelCacheInvalidator::Kernel kernel;
        kernel.invalidateItem = [this](const std::string& path) {
            std::lock_guard<std::mutex> guard(seenLock);
            items.push_back(path);
        };
        kernel.invalidateEntry = [this](const std::string& folder, const std::string& name) {
            {
                std::lock_guard<std::mutex> guard(seenLock);
                entries.push_back(folder + "|" + name);
            }
            entrySeen.notify_all();
        };
        return kernel;
    }
    // The entries once the one is among them; the bound only keeps a broken test from hanging.
    std::vector<std::string> entriesOnce(const std::string& entry) {
        std::unique_lock<std::mutex> lock(seenLock);
        entrySeen.wait_for(lock, std::chrono::seconds(30), [&] {
            return std::find(entries.begin(), entries.end(), entry) != entries.end();
        });
        return entries;
    }
};

TEST(BVKernelCacheInvalidatorTest, ANameWaitsUntilNoRequestOfItsFolderIsUnderWay) {
    BVFolderRequests requests;
    auto renameInA =
        std::make_unique<BVFolderRequests::Request>(requests, std::vector<std::string>{"/A", "/A"});
    auto lookupInA =
        std::make_unique<BVFolderRequests::Request>(requests, std::vector<std::string>{"/A"});
    SeenKernel seen;
    BVKernelCacheInvalidator invalidator(seen.kernel(), &requests, std::chrono::hours(1));
    invalidator.itemsChanged({"/A/x", "/B/y"});
    // Another folder is not held up, nor the busy folder's attributes.
    EXPECT_EQ(seen.entriesOnce("/B|y"), (std::vector<std::string>{"/B|y"}));
    {
        std::lock_guard<std::mutex> guard(seen.seenLock);
        EXPECT_EQ(seen.items, (std::vector<std::string>{"/A/x", "/B/y", "/A", "/B"}));
    }
    renameInA.reset();
    EXPECT_FALSE(requests.isQuiet("/A"));
    lookupInA.reset();
    EXPECT_TRUE(requests.isQuiet("/A"));
    invalidator.waitUntilIdle();
    std::lock_guard<std::mutex> guard(seen.seenLock);
    EXPECT_EQ(seen.entries, (std::vector<std::string>{"/B|y", "/A|x"}));
}

TEST(BVKernelCacheInvalidatorTest, ANameOfAFolderThatStaysBusyGoesLateOrNotAtStop) {
    BVFolderRequests requests;
    BVFolderRequests::Request createInA(requests, {"/A"});
    {
        // The kernel would keep the name for good: past the wait it goes anyway.
        SeenKernel seen;
        BVKernelCacheInvalidator invalidator(seen.kernel(), &requests,
                                             std::chrono::milliseconds(0));
        invalidator.itemsChanged({"/A/x"});
        invalidator.waitUntilIdle();
        std::lock_guard<std::mutex> guard(seen.seenLock);
        EXPECT_EQ(seen.entries, (std::vector<std::string>{"/A|x"}));
    }
    // stop() ends a wait at once (else this test would wait an hour).
    SeenKernel seen;
    BVKernelCacheInvalidator invalidator(seen.kernel(), &requests, std::chrono::hours(1));
    invalidator.itemsChanged({"/A/x", "/B/y"});
    seen.entriesOnce("/B|y");
    invalidator.stop();
    std::lock_guard<std::mutex> guard(seen.seenLock);
    EXPECT_EQ(seen.entries, (std::vector<std::string>{"/B|y"}));
}

}  // namespace
}  // namespace bvtest
