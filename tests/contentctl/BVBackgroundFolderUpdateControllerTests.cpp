#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVVolumeChangeHook.h"
#include "ContentFixture.h"

namespace bvtest {
namespace {

using Refresher = BVBackgroundFolderUpdateController;

class BackgroundUpdateTest : public ContentFixture {
  protected:
    void SetUp() override {
        ContentFixture::SetUp();
        tmp_ = std::make_shared<BVTmpController>((dir_.path() / "tmp" / "temp").string(),
                                                 dir_.path().string());
    }

    std::unique_ptr<Refresher> makeRefresher(bool thread = false) {
        return std::make_unique<Refresher>(Refresher::Options{
            .clock = clock_,
            .content = content_.get(),
            .cache = cache_,
            .tmp = tmp_,
            .debugParam = [](const std::string&) { return true; },
            .currentUserSession = [this] { return session_; },
            .folderChanged =
                [this](const std::string& path) {
                    std::lock_guard lock(changedLock_);
                    changed_.push_back(path);
                },
            .presentError =
                [this](const bv::Error& error, const std::string&) {
                    std::lock_guard lock(changedLock_);
                    presented_.push_back(error);
                },
            .maxConcurrentUpdates = 2,
            .startRevisitThread = thread,
        });
    }

    std::vector<std::string> changed() {
        std::lock_guard lock(changedLock_);
        return changed_;
    }

    size_t updatesOf(const std::string& path) {
        return occurrences(logText(), "Background update of " + path + " (");
    }

    std::vector<bv::Error> presented() {
        std::lock_guard lock(changedLock_);
        return presented_;
    }

    std::shared_ptr<BVTmpController> tmp_;
    std::shared_ptr<BVUserSessionItem> session_ = std::make_shared<BVUserSessionItem>();
    std::mutex changedLock_;  // guards changed_ and presented_
    std::vector<std::string> changed_;
    std::vector<bv::Error> presented_;
};

TEST_F(BackgroundUpdateTest, UpdatesAreQueuedOnlyForListingsOldEnough) {
    std::string folder = makeFolder("Aged", "0");
    struct Case {
        std::string path;
        double age;
        bool accountUser;
        bool queued;
    };
    const std::vector<Case> cases = {
        {"/Aged", 10, false, false}, {"/Aged", 40, false, true},   {"/", 100, false, false},
        {"/", 300, false, true},     {"/Trash", 300, true, false}, {"/Trash", 300, false, true},
    };
    auto refresher = makeRefresher();
    for (const auto& c : cases) {
        session_->isAccountUser = c.accountUser;
        auto listing = content_->listFolderAt(c.path, true, nullptr);
        ASSERT_NE(listing, nullptr) << c.path;
        const size_t before = updatesOf(c.path);
        clock_->advance(c.age);
        refresher->queueUpdate(listing);
        refresher->waitUntilUpdatesFinish();
        EXPECT_EQ(updatesOf(c.path) - before, c.queued ? 1u : 0u) << c.path << " " << c.age;
    }
}

// Stands for the mounted volume: records what the refresher reports as changed.
class RecordingChangeHook : public BVVolumeChangeHook {
  public:
    void itemsChanged(const std::vector<std::string>& paths) override {
        std::lock_guard<std::mutex> guard(pathsLock);
        reported.insert(reported.end(), paths.begin(), paths.end());
    }
    void waitUntilApplied(double) override {}
    std::mutex pathsLock;  // guards reported
    std::vector<std::string> reported;
};

TEST_F(BackgroundUpdateTest, IncrementalUpdateReplacesAChangedListingAndKeepsAnUnchangedOne) {
    std::string docs = makeFolder("Docs", "0");
    makeFolder("gone", docs);
    makeFolder("kept", docs);
    auto refresher = makeRefresher();
    auto hook = std::make_shared<RecordingChangeHook>();
    BVVolumeChangeHook::install(hook);
    struct Uninstall {
        ~Uninstall() { BVVolumeChangeHook::install(nullptr); }
    } uninstall;

    auto listing = content_->listFolderAt("/Docs", nullptr);
    ASSERT_NE(listing, nullptr);
    clock_->advance(40);
    refresher->queueUpdate(listing);
    refresher->waitUntilUpdatesFinish();
    EXPECT_TRUE(changed().empty());
    EXPECT_EQ(cache_->fetchFolderListAt("/Docs"), listing);
    EXPECT_TRUE(hook->reported.empty());

    // The service's folder changes: two sub-folders go, a file comes. Local stand-ins of the
    // vanished folders go too, unless they hold something.
    for (const char* name : {"gone", "kept"})
        ASSERT_TRUE(
            client_->deleteFolder(listing->itemNamed(name)->identifier, service(), nullptr));
    makeFile("new.txt", docs);
    ASSERT_TRUE(tmp_->createDirectoryAt("/Docs/gone", nullptr));
    ASSERT_TRUE(tmp_->createFileAt("/Docs/kept/local.txt", nullptr));

    clock_->advance(40);
    refresher->queueUpdate(listing);
    refresher->waitUntilUpdatesFinish();
    EXPECT_EQ(changed(), std::vector<std::string>{"/Docs"});
    {
        std::lock_guard<std::mutex> guard(hook->pathsLock);
        EXPECT_EQ(hook->reported,
                  (std::vector<std::string>{"/Docs", "/Docs/gone", "/Docs/kept", "/Docs/new.txt"}));
    }
    auto fresh = cache_->fetchFolderListAt("/Docs");
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh, listing);
    EXPECT_TRUE(fresh->containsItemNamed("new.txt"));
    EXPECT_FALSE(fresh->containsItemNamed("gone"));
    EXPECT_FALSE(tmp_->fileExistsAt("/Docs/gone"));
    EXPECT_TRUE(tmp_->fileExistsAt("/Docs/kept/local.txt"));
}

TEST_F(BackgroundUpdateTest, AFailedUpdateShowsTheFailureAndKeepsTheListing) {
    makeFolder("Docs", "0");
    auto refresher = makeRefresher();
    auto root = content_->listFolderAt("/", nullptr);
    auto docs = content_->listFolderAt("/Docs", nullptr);
    ASSERT_TRUE(root && docs);
    struct Case {
        std::string path;
        bool forgotten;  // the cache no longer knows the folder, so its path is asked for
    };
    for (const auto& c : std::vector<Case>{{"/", false}, {"/Docs", false}, {"/Docs", true}}) {
        auto listing = c.path == "/" ? root : docs;
        if (c.forgotten) {
            cache_->purgeItemForced(root);
            cache_->purgeItemForced(docs);
            cache_->purgeIdentifiersForcedAt("/Docs");
        }
        const size_t before = presented().size();
        clock_->advance(300);
        server_->addFault({{"endpoint", "*"}, {"kind", "http500"}, {"count", 10}});
        refresher->queueUpdate(listing);
        refresher->waitUntilUpdatesFinish();
        server_->clearFaults();
        auto shown = presented();
        ASSERT_EQ(shown.size(), before + 1) << c.path << " " << c.forgotten;
        EXPECT_EQ(shown.back().code(), BVApiClient::kErrorNetwork)
            << c.path << " " << c.forgotten << ": " << shown.back().description();
        EXPECT_TRUE(changed().empty());
        if (!c.forgotten) {
            EXPECT_EQ(cache_->fetchFolderListAt(c.path), listing) << c.path;
        }
    }
}

TEST_F(BackgroundUpdateTest, ALockedFolderIsSkippedAndRefreshedLater) {
    makeFolder("Busy", "0");
    auto refresher = makeRefresher();
    auto listing = content_->listFolderAt("/Busy", nullptr);
    ASSERT_NE(listing, nullptr);
    clock_->advance(40);

    ASSERT_TRUE(refresher->tryLockFor("/Busy/"));  // a transfer works in the folder
    refresher->queueUpdate(listing);
    refresher->waitUntilUpdatesFinish();
    EXPECT_EQ(occurrences(logText(), "Folder /Busy is locked."), 1u);
    EXPECT_EQ(updatesOf("/Busy"), 0u);

    // Released by another thread than the one that took it.
    std::thread([&] { refresher->unlockFor("/Busy"); }).join();
    refresher->queueUpdate(listing);
    refresher->waitUntilUpdatesFinish();
    EXPECT_EQ(updatesOf("/Busy"), 1u);
    EXPECT_TRUE(refresher->tryLockFor("/Busy"));
}

TEST_F(BackgroundUpdateTest, WaitForLockGivesUpAfterTenSecondsOrTakesAReleasedLock) {
    auto refresher = makeRefresher();
    ASSERT_TRUE(refresher->tryLockFor("/held"));
    const double start = clock_->now();
    EXPECT_FALSE(refresher->waitForLockFor("/held"));
    EXPECT_GT(clock_->now() - start, 10);
    EXPECT_LT(clock_->now() - start, 13);
    EXPECT_EQ(occurrences(logText(), "[Apr] Lock timeout for path: /held"), 1u);

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        refresher->unlockFor("/held");
    });
    EXPECT_TRUE(refresher->waitForLockFor("/held"));
    releaser.join();
    EXPECT_FALSE(refresher->tryLockFor("/held"));
}

TEST_F(BackgroundUpdateTest, ObservedFoldersAreRevisitedOncePerPass) {
    makeFolder("Shown", "0");
    auto refresher = makeRefresher();
    auto listing = content_->listFolderAt("/Shown", nullptr);
    ASSERT_NE(listing, nullptr);
    refresher->beginObserving("/Shown", "port-1");
    refresher->beginObserving("/Shown", "port-1");
    refresher->beginObserving("/Shown", "port-2");
    refresher->beginObserving("/Unlisted", "port-2");
    EXPECT_EQ(refresher->observedDirectories()["port-1"], std::vector<std::string>{"/Shown"});

    clock_->advance(40);
    refresher->revisitObservedDirectories();
    refresher->waitUntilUpdatesFinish();
    EXPECT_EQ(updatesOf("/Shown"), 1u);
    // A folder without a cached listing leaves the lists; a dead client goes with its list.
    EXPECT_EQ(refresher->observedDirectories()["port-2"], std::vector<std::string>{"/Shown"});
    refresher->clientPortInvalidated("port-1");
    refresher->endObserving("/Shown", "port-2");
    auto observed = refresher->observedDirectories();
    EXPECT_EQ(observed.count("port-1"), 0u);
    EXPECT_TRUE(observed["port-2"].empty());
}

TEST_F(BackgroundUpdateTest, TheRevisitThreadPassesEveryFiveSecondsOfItsClock) {
    makeFolder("Watched", "0");
    auto listing = content_->listFolderAt("/Watched", nullptr);
    ASSERT_NE(listing, nullptr);
    auto refresher = makeRefresher(true);
    refresher->beginObserving("/Watched", "port");
    clock_->advance(40);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (updatesOf("/Watched") == 0 && std::chrono::steady_clock::now() < deadline) {
        clock_->advance(Refresher::kRevisitInterval);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(updatesOf("/Watched"), 1u);
}

TEST_F(BackgroundUpdateTest, StartsAndStopsItsThreadRepeatedly) {
    for (int i = 0; i < 100; ++i) {
        auto refresher = makeRefresher(true);
        refresher->beginObserving("/", "port");
    }
    // On the system clock the thread sleeps 5 seconds between passes; a stop wakes it.
    Refresher::Options systemClock;
    systemClock.debugParam = [](const std::string&) { return false; };
    for (int i = 0; i < 5; ++i)
        Refresher refresher(systemClock);
}

}  // namespace
}  // namespace bvtest
