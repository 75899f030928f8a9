#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVSharingItems.h"
#include "BVApi/Content/BVSynchedItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Networking/BVApiClientActivityDelegate.h"
#include "ContentFixture.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

namespace bvtest {
namespace {

using Refresher = BVBackgroundFolderUpdateController;

// Counts the exchanges of the service client, so a test can tell an answer of the cache
// from one of the service.
class RequestCounter : public BVApiClientActivityDelegate {
  public:
    void didStartedRequest() override { ++started; }
    void didFinishedRequest() override {}
    void setActivityDescription(const std::string&) override {}
    std::atomic<int> started{0};
};

bv::Data bytesOf(size_t size, int seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 31 + seed) % 251);
    return bv::Data(std::move(bytes));
}

bool isNotFound(const bv::Error& error) {
    return error.code() == BVContentController::kErrorNotFound;
}

class ManageTest : public ContentFixture {
  protected:
    void SetUp() override {
        ContentFixture::SetUp();
        client_->setActivityDelegate(counter_);
        tmp_ = std::make_shared<BVTmpController>((dir_.path() / "tmp" / "temp").string(),
                                                 dir_.path().string());
        makeManage();
    }

    // The refresher and manage controller on the current cache and content controller.
    void makeManage() {
        manage_.reset();
        refresher_ = std::make_unique<Refresher>(Refresher::Options{
            .clock = clock_,
            .content = content_.get(),
            .cache = cache_,
            .tmp = tmp_,
            .debugParam = [](const std::string&) { return true; },
            .currentUserSession = [] { return std::make_shared<BVUserSessionItem>(); },
            .folderChanged = [](const std::string&) {},
            .presentError = [](const bv::Error&, const std::string&) {},
            .startRevisitThread = false,
        });
        BVApiRequestConfiguration configuration;
        configuration.setRequestHost(server_->baseUrl());
        configuration.setCaFile(server_->caFile().string());
        configuration.numberOfRetries = 0;
        manage_ = std::make_unique<BVManageController>(BVManageController::Options{
            .client = client_.get(),
            .content = content_.get(),
            .cache = cache_,
            .tmp = tmp_,
            .refresher = refresher_.get(),
            .clock = clock_,
            .requestConfiguration = configuration,
        });
    }

    void TearDown() override {
        server_->clearFaults();
        manage_.reset();
        refresher_.reset();
        ContentFixture::TearDown();
    }

    int requests() const { return counter_->started.load(); }

    // The cached listing of the folder, never asked of the service.
    std::shared_ptr<BVFolderListItem> cachedListing(const std::string& path) {
        return cache_->fetchFolderListAt(path);
    }

    std::shared_ptr<BVFolderListItem> listing(const std::string& path) {
        bv::Error error;
        auto listing = content_->listFolderAt(path, &error);
        EXPECT_NE(listing, nullptr) << path << ": " << error.description();
        return listing;
    }

    // The file's bytes as the service holds them.
    std::optional<bv::Data> download(const std::string& path) {
        auto id = content_->identifierForFileAt(path);
        if (!id)
            return std::nullopt;
        bv::Error error;
        return client_->downloadData(*id, service(), &error);
    }

    // Creates the file and uploads the bytes in chunks of chunkSize.
    bool writeFile(const std::string& parent, const std::string& name, const bv::Data& bytes,
                   size_t chunkSize, bv::Error* error) {
        if (!manage_->createFileAt(parent, name, error))
            return false;
        const std::string path = BVVolumePath::appending(parent, name);
        auto handle = manage_->uploadOpenAt(path, bytes.size(), error);
        if (!handle)
            return false;
        for (size_t at = 0; at < bytes.size(); at += chunkSize) {
            const size_t length = std::min(chunkSize, bytes.size() - at);
            bv::Data chunk(std::vector<uint8_t>(bytes.bytes() + at, bytes.bytes() + at + length));
            if (!manage_->uploadChunk(chunk, *handle, false, nullptr, at, error))
                return false;
        }
        bv::Error closeError;
        manage_->uploadClose(*handle, static_cast<int64_t>(bytes.size()), &closeError);
        if (closeError && error)
            *error = closeError;
        return !closeError;
    }

    std::shared_ptr<RequestCounter> counter_ = std::make_shared<RequestCounter>();
    std::shared_ptr<BVTmpController> tmp_;
    std::unique_ptr<Refresher> refresher_;
    std::unique_ptr<BVManageController> manage_;
};

TEST_F(ManageTest, CreatedFoldersAndFilesAreKnownToTheCacheAtOnce) {
    bv::Error error;
    listing("/");
    ASSERT_TRUE(manage_->createFolderAt("/", "Docs", &error)) << error.description();
    ASSERT_TRUE(manage_->createFolderAt("/Docs", "Sub", &error)) << error.description();
    ASSERT_TRUE(manage_->createFileAt("/Docs", "a.txt", &error)) << error.description();

    const int before = requests();
    auto docs = listing("/Docs");
    ASSERT_NE(docs, nullptr);
    EXPECT_TRUE(docs->containsItemNamed("Sub"));
    EXPECT_TRUE(docs->containsItemNamed("a.txt"));
    EXPECT_TRUE(listing("/")->containsItemNamed("Docs"));
    auto sub = listing("/Docs/Sub");
    ASSERT_NE(sub, nullptr);
    EXPECT_TRUE(sub->combinedItems().empty());
    EXPECT_TRUE(content_->identifierForFileAt("/Docs/a.txt", true));
    EXPECT_EQ(requests(), before) << "the new items were asked of the service";

    // The service holds what the cache says.
    auto fresh = content_->listFolderAt("/Docs", true, &error);
    ASSERT_NE(fresh, nullptr) << error.description();
    EXPECT_EQ(fresh->itemNames(), (std::vector<std::string>{"Sub", "a.txt"}));

    // A folder the cached listing already names is refused before any service call.
    error = bv::Error();
    EXPECT_FALSE(manage_->createFolderAt("/Docs", "sub", &error));
    EXPECT_EQ(error.code(), BVManageController::kErrorFolderExists);
    EXPECT_EQ(error.failureReason(), "Folder already exists!");
    EXPECT_EQ(requests(), before + 1);

    // Without a cached parent listing, the new folder is found through its own entry.
    cache_->purgeItemForcedWithKey(fresh->identifier, BVFolderListItem::itemClass());
    ASSERT_TRUE(manage_->createFolderAt("/Docs", "Other", &error)) << error.description();
    EXPECT_TRUE(content_->identifierForFolderAt("/Docs/Other", true));
}

TEST_F(ManageTest, TheErrorTable) {
    makeFolder("Docs", "0");
    struct Case {
        std::string name;
        std::function<bool(bv::Error*)> run;
        int64_t code;
        std::string reason;
    };
    auto& m = *manage_;
    const std::vector<Case> cases = {
        {"folder in a missing parent",
         [&](bv::Error* e) { return m.createFolderAt("/None", "x", e); }, -1000,
         "Folder not found!"},
        {"file in a missing parent", [&](bv::Error* e) { return m.createFileAt("/None", "x", e); },
         -1000, "Folder not found!"},
        {"delete a missing file", [&](bv::Error* e) { return m.deleteFileAt("/Docs/none", e); },
         -1000, "File not found!"},
        {"trash a missing file", [&](bv::Error* e) { return m.trashFileAt("/Docs/none", e); },
         -1000, "File not found!"},
        {"open a missing file",
         [&](bv::Error* e) { return m.uploadOpenAt("/Docs/none", 1, e) != nullptr; }, -1000,
         "File not found!"},
        {"delete a missing item", [&](bv::Error* e) { return m.deleteItemAt("/Docs/none", e); },
         -1000, "Folder not found!"},
        {"move a missing item", [&](bv::Error* e) { return m.moveItemAt("/none", "/Docs/n", e); },
         -1000, "Folder not found!"},
        {"move into a missing folder",
         [&](bv::Error* e) { return m.moveItemAt("/Docs", "/None/Docs", e); }, -1000,
         "Folder not found!"},
        {"share a missing folder", [&](bv::Error* e) { return m.shareFolderAt("/None", "u", e); },
         -1000, "Folder not found!"},
        {"move out of the trash", [&](bv::Error* e) { return m.moveItemAt("/Trash/x", "/x", e); },
         -997, "This operation is not supported in Trash"},
        {"rename in the trash",
         [&](bv::Error* e) { return m.moveItemAt("/Trash/x", "/Trash/y", e); }, -997,
         "This operation is not supported in Trash"},
        {"folder that exists",
         [&](bv::Error* e) {
             listing("/");
             return m.createFolderAt("/", "docs", e);
         },
         -999, "Folder already exists!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // What stood in the slot is kept beneath.
        bv::Error error = bv::Error::make(7, "before");
        EXPECT_FALSE(c.run(&error));
        EXPECT_EQ(error.domain(), "__FILE__");
        EXPECT_EQ(error.code(), c.code);
        EXPECT_EQ(error.failureReason(), c.reason);
        ASSERT_NE(error.underlyingError(), nullptr);
        EXPECT_EQ(error.underlyingError()->code(), 7);
    }

    // Without a session, the context's error and nothing asked.
    cache_->purgeItemForcedWithKey("default", BVUserSessionItem::itemClass());
    bv::Error error;
    EXPECT_FALSE(manage_->changeSharing("1", 1, &error));
    EXPECT_EQ(error.code(), -199);
}

TEST_F(ManageTest, FailedLookupsAndServiceFailuresPassThroughAsThemselves) {
    std::string docs = makeFolder("Docs", "0");
    makeFile("a.txt", docs);
    // Nothing is cached: every operation must ask, and every question fails.
    server_->addFault({{"endpoint", "*"},
                       {"kind", "error"},
                       {"code", 500},
                       {"message", "down"},
                       {"count", 1000}});
    struct Case {
        std::string name;
        std::function<bool(bv::Error*)> run;
    };
    auto& m = *manage_;
    const std::vector<Case> cases = {
        {"create folder", [&](bv::Error* e) { return m.createFolderAt("/Docs", "x", e); }},
        {"create file", [&](bv::Error* e) { return m.createFileAt("/Docs", "x", e); }},
        {"delete file", [&](bv::Error* e) { return m.deleteFileAt("/Docs/a.txt", e); }},
        {"delete item", [&](bv::Error* e) { return m.deleteItemAt("/Docs/a.txt", e); }},
        {"open upload",
         [&](bv::Error* e) { return m.uploadOpenAt("/Docs/a.txt", 1, e) != nullptr; }},
        {"move", [&](bv::Error* e) { return m.moveItemAt("/Docs/a.txt", "/b.txt", e); }},
        {"sync",
         [&](bv::Error* e) {
             return m.syncItem("default", BVSharedXAttrs::itemClass(), "/.MACOSX_XATTRS", e);
         }},
        {"empty trash", [&](bv::Error* e) { return m.emptyTrashWithError(e); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bv::Error error;
        EXPECT_FALSE(c.run(&error));
        EXPECT_TRUE(error);
        EXPECT_FALSE(isNotFound(error)) << error.description();
    }
    server_->clearFaults();
    // Nothing was changed at the service, and no empty copy of the synched item was sent.
    bv::Error error;
    auto fresh = content_->listFolderAt("/Docs", true, &error);
    ASSERT_NE(fresh, nullptr) << error.description();
    EXPECT_EQ(fresh->itemNames(), std::vector<std::string>{"a.txt"});
    EXPECT_FALSE(content_->listFolderAt("/", true, &error)->containsItemNamed(".MACOSX_XATTRS"));
}

TEST_F(ManageTest, AMultiChunkUploadArrivesWholeAndTheCacheFollowsEachChunk) {
    listing("/");
    bv::Error error;
    ASSERT_TRUE(manage_->createFolderAt("/", "Up", &error)) << error.description();
    ASSERT_TRUE(manage_->createFileAt("/Up", "big.bin", &error)) << error.description();

    const size_t chunk = 256 * 1024;
    const bv::Data bytes = bytesOf(3 * chunk + 1000, 3);
    // The handle the creation answered is cached: opening asks nothing, twice.
    int before = requests();
    auto handle = manage_->uploadOpenAt("/Up/big.bin", bytes.size(), &error);
    ASSERT_NE(handle, nullptr) << error.description();
    auto again = manage_->uploadOpenAt("/Up/big.bin", bytes.size(), &error);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->tempLocation, handle->tempLocation);
    EXPECT_EQ(requests(), before);

    int64_t lastSent = 0, expected = 0;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        const size_t length = std::min(chunk, bytes.size() - at);
        bv::Data piece(std::vector<uint8_t>(bytes.bytes() + at, bytes.bytes() + at + length));
        // Asynchronous with progress for the first chunks, synchronous for the last.
        const bool async = at + length < bytes.size();
        ASSERT_TRUE(manage_->uploadChunk(
            piece, *handle, false,
            [&](int64_t sent, int64_t total) {
                lastSent = sent;
                expected = total;
                return true;
            },
            at, async, &error))
            << error.description();
        auto entry = cachedListing("/Up")->itemNamed("big.bin");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(std::static_pointer_cast<BVFileItem>(entry)->size,
                  static_cast<int64_t>(at + length));
    }
    EXPECT_GT(lastSent, static_cast<int64_t>(chunk));
    EXPECT_EQ(lastSent, expected);

    ASSERT_TRUE(manage_->uploadClose(*handle, static_cast<int64_t>(bytes.size()), &error));
    EXPECT_FALSE(error) << error.description();
    EXPECT_EQ(cache_->fetchUploadHandle(handle->identifier), nullptr);
    before = requests();
    auto entry = std::static_pointer_cast<BVFileItem>(listing("/Up")->itemNamed("big.bin"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->size, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(requests(), before);

    auto stored = download("/Up/big.bin");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(*stored == bytes);
}

TEST_F(ManageTest, RefusedOrStoppedChunksFailARefusedCloseStillAnswersTrue) {
    listing("/");
    bv::Error error;
    ASSERT_TRUE(manage_->createFileAt("/", "f.bin", &error)) << error.description();
    auto handle = manage_->uploadOpenAt("/f.bin", 10, &error);
    ASSERT_NE(handle, nullptr) << error.description();
    const bv::Data piece = bytesOf(10, 1);
    auto sizeListed = [&] {
        return std::static_pointer_cast<BVFileItem>(cachedListing("/")->itemNamed("f.bin"))->size;
    };

    // The deliberately wrong request is refused by the service: no size change.
    EXPECT_FALSE(manage_->uploadChunk(piece, *handle, true, nullptr, 0, &error));
    EXPECT_EQ(error.code(), -197) << error.description();
    EXPECT_EQ(sizeListed(), 0);
    // On the main thread a chunk goes through the network thread, on any other thread over
    // that thread's own connection; both report progress where the caller waits, and stop.
    for (const bool onWorker : {false, true}) {
        SCOPED_TRACE(onWorker ? "worker thread" : "main thread");
        auto run = [&](const std::function<void()>& checks) {
            if (!onWorker)
                return checks();
            std::thread worker(checks);
            worker.join();
        };
        run([&] {
            // A progress callback that says stop ends the chunk as a failure.
            bv::Error failure;
            EXPECT_FALSE(manage_->uploadChunk(
                piece, *handle, false, [](int64_t, int64_t) { return false; }, 0, &failure));
            EXPECT_EQ(sizeListed(), 0);
            // "CancelAllUploads" ends a waiting chunk.
            server_->addFault({{"endpoint", "upload/upload_file_chunk2.json"},
                               {"kind", "delay"},
                               {"delay_ms", 3000},
                               {"count", 1}});
            std::thread canceller([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                bv::NotificationCenter::defaultCenter().post(
                    BVApiRequest::kCancelAllUploadsNotification);
            });
            const auto started = std::chrono::steady_clock::now();
            EXPECT_FALSE(manage_->uploadChunk(piece, *handle, false, nullptr, 0, &failure));
            canceller.join();
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
            server_->clearFaults();
            EXPECT_EQ(sizeListed(), 0);
        });
    }
    // A chunk sent from a worker reports its progress on that thread, up to the whole body.
    // (Into a file of its own: the service may hold the stopped chunks of the first.)
    ASSERT_TRUE(manage_->createFileAt("/", "p.bin", &error)) << error.description();
    auto fresh = manage_->uploadOpenAt("/p.bin", 10, &error);
    ASSERT_NE(fresh, nullptr) << error.description();
    std::thread worker([&] {
        int64_t sent = 0, expected = -1;
        std::thread::id reportedOn;
        bv::Error failure;
        EXPECT_TRUE(manage_->uploadChunk(
            piece, *fresh, false,
            [&](int64_t now, int64_t total) {
                sent = now;
                expected = total;
                reportedOn = std::this_thread::get_id();
                return true;
            },
            0, &failure))
            << failure.description();
        EXPECT_EQ(reportedOn, std::this_thread::get_id());
        EXPECT_GT(sent, static_cast<int64_t>(piece.size()));
        EXPECT_EQ(sent, expected);
    });
    worker.join();
    EXPECT_EQ(std::static_pointer_cast<BVFileItem>(cachedListing("/")->itemNamed("p.bin"))->size,
              10);

    // A close the service refuses still answers true, with its error.
    BVUploadFileHandle bogus;
    bogus.identifier = handle->identifier;
    bogus.path = handle->path;
    bogus.tempLocation = "no-such-upload";
    error = bv::Error();
    EXPECT_TRUE(manage_->uploadClose(bogus, 10, &error));
    EXPECT_EQ(error.code(), -197);
}

TEST_F(ManageTest, RenamesAndMovesShowInTheCachedListings) {
    std::string a = makeFolder("A", "0");
    makeFolder("B", "0");
    std::string inner = makeFolder("Inner", a);
    makeFile("deep.txt", inner);
    bv::Error error;
    ASSERT_TRUE(writeFile("/A", "f.txt", bytesOf(100, 5), 64, &error)) << error.description();
    listing("/");
    listing("/A");
    listing("/B");

    // A rename within one folder: the destination's lookup (the service does not know it)
    // and the move, no listing.
    int before = requests();
    ASSERT_TRUE(manage_->moveItemAt("/A/f.txt", "/A/g.txt", &error)) << error.description();
    EXPECT_EQ(requests() - before, 2);
    before = requests();
    auto listedA = listing("/A");
    EXPECT_FALSE(listedA->containsItemNamed("f.txt"));
    EXPECT_TRUE(listedA->containsItemNamed("g.txt"));
    EXPECT_EQ(requests(), before);

    // A file and a folder into another folder.
    ASSERT_TRUE(manage_->moveItemAt("/A/g.txt", "/B/h.txt", &error)) << error.description();
    listing("/A/Inner");
    ASSERT_TRUE(manage_->moveItemAt("/A/Inner", "/B/Inner2", &error)) << error.description();
    before = requests();
    auto listedB = listing("/B");
    EXPECT_TRUE(listedB->containsItemNamed("h.txt"));
    EXPECT_TRUE(listedB->containsItemNamed("Inner2"));
    EXPECT_FALSE(listing("/A")->containsItemNamed("Inner"));
    EXPECT_EQ(requests(), before);
    // The moved folder's old listing is gone; under its new path it lists its file.
    EXPECT_EQ(cachedListing("/A/Inner"), nullptr);
    EXPECT_TRUE(listing("/B/Inner2")->containsItemNamed("deep.txt"));
    EXPECT_TRUE(download("/B/h.txt") == bytesOf(100, 5));

    auto fresh = content_->listFolderAt("/B", true, &error);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->itemNames(), (std::vector<std::string>{"Inner2", "h.txt"}));
}

TEST_F(ManageTest, MovingOntoAFileReplacesItAndKeepsTheOldOneInTheTrash) {
    listing("/");
    bv::Error error;
    ASSERT_TRUE(writeFile("/", "new.txt", bytesOf(50, 1), 50, &error)) << error.description();
    ASSERT_TRUE(writeFile("/", "old.txt", bytesOf(70, 2), 70, &error)) << error.description();

    ASSERT_TRUE(manage_->moveItemAt("/new.txt", "/old.txt", &error)) << error.description();
    auto root = listing("/");
    EXPECT_FALSE(root->containsItemNamed("new.txt"));
    EXPECT_TRUE(download("/old.txt") == bytesOf(50, 1));
    auto trash = content_->listFolderAt("/Trash", true, &error);
    ASSERT_NE(trash, nullptr) << error.description();
    EXPECT_TRUE(trash->containsItemNamed("old.txt"));

    // A change of letter case only is a rename of the same file, not a replacement.
    ASSERT_TRUE(manage_->moveItemAt("/old.txt", "/OLD.txt", &error)) << error.description();
    EXPECT_TRUE(listing("/")->containsItemNamed("OLD.txt"));
    EXPECT_EQ(content_->listFolderAt("/Trash", true, &error)->files.size(), 1u);
}

TEST_F(ManageTest, TrashRestoreDeleteAndEmptyTrash) {
    std::string docs = makeFolder("Docs", "0");
    std::string sub = makeFolder("Sub", docs);
    makeFile("a.txt", docs);
    makeFile("b.txt", docs);
    makeFile("c.txt", sub);
    listing("/Docs/Sub");
    auto trashBefore = listing("/Trash");
    ASSERT_TRUE(trashBefore->combinedItems().empty());
    bv::Error error;

    ASSERT_TRUE(manage_->trashItemAt("/Docs/a.txt", &error)) << error.description();
    ASSERT_TRUE(manage_->trashFileAt("/Docs/b.txt", &error)) << error.description();
    EXPECT_FALSE(listing("/Docs")->containsItemNamed("a.txt"));
    ASSERT_TRUE(manage_->trashItemAt("/Docs/Sub", &error)) << error.description();
    EXPECT_EQ(cachedListing("/Docs/Sub"), nullptr);
    EXPECT_FALSE(listing("/Docs")->containsItemNamed("Sub"));
    // The trash is listed afresh and shows all three.
    auto trash = listing("/Trash");
    EXPECT_EQ(trash->itemNames(), (std::vector<std::string>{"Sub", "a.txt", "b.txt"}));

    // Restoring answers the new path; the folder it went back to lists afresh.
    std::string restored;
    ASSERT_TRUE(manage_->restoreItemAt("/Trash/a.txt", &restored, &error)) << error.description();
    EXPECT_EQ(restored, "/Docs/a.txt");
    const int before = requests();
    EXPECT_TRUE(listing("/Docs")->containsItemNamed("a.txt"));
    EXPECT_GT(requests(), before);
    EXPECT_FALSE(listing("/Trash")->containsItemNamed("a.txt"));
    ASSERT_TRUE(manage_->restoreItemAt("/Trash/Sub", &restored, &error)) << error.description();
    EXPECT_EQ(restored, "/Docs/Sub");
    EXPECT_TRUE(listing("/Docs/Sub")->containsItemNamed("c.txt"));

    // Deletion of a file and of a folder; a folder can be told empty first.
    EXPECT_EQ(manage_->isFolderEmptyAt("/Docs/Sub", &error), std::optional<bool>(false));
    ASSERT_TRUE(manage_->deleteItemAt("/Docs/Sub/c.txt", &error)) << error.description();
    EXPECT_EQ(manage_->isFolderEmptyAt("/Docs/Sub", &error), std::optional<bool>(true));
    ASSERT_TRUE(manage_->deleteItemAt("/Docs/Sub", &error)) << error.description();
    EXPECT_EQ(listing("/Docs")->itemNames(), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(manage_->isFolderEmptyAt("/Docs/Sub", &error), std::nullopt);
    EXPECT_TRUE(isNotFound(error));

    // Emptying the trash: the cached count goes to 0, the trash lists afresh, and empty.
    auto info = content_->userInfoWithError(&error);
    ASSERT_NE(info, nullptr) << error.description();
    EXPECT_EQ(info->trashCount, 1);
    ASSERT_TRUE(manage_->emptyTrashWithError(&error)) << error.description();
    EXPECT_EQ(cache_->fetch<BVUserInfoItem>("default")->trashCount, 0);
    EXPECT_EQ(cachedListing("/Trash"), nullptr);
    EXPECT_TRUE(listing("/Trash")->combinedItems().empty());
}

TEST_F(ManageTest, PurgingAFolderWaitsForTheRefreshersLock) {
    std::string docs = makeFolder("Docs", "0");
    listing("/Docs");
    bv::Error error;
    ASSERT_TRUE(refresher_->tryLockFor("/Docs"));
    EXPECT_FALSE(manage_->purgeCacheForFolderAt("/Docs", &error));
    EXPECT_NE(cachedListing("/Docs"), nullptr);
    refresher_->unlockFor("/Docs");
    EXPECT_TRUE(manage_->purgeCacheForFolderAt("/Docs", &error));
    EXPECT_EQ(cachedListing("/Docs"), nullptr);
    EXPECT_TRUE(refresher_->tryLockFor("/Docs")) << "the lock was not given back";
}

TEST_F(ManageTest, SharingAndSettings) {
    const std::string owner = user_;
    const std::string guest = newUser();
    std::string mine = makeFolder("Mine", "0");
    makeFile("f.txt", mine);
    bv::Error error;
    ASSERT_TRUE(manage_->shareFolderAt("/Mine", guest, &error)) << error.description();
    auto users = content_->sharingUsersOfFolderAt("/Mine", &error);
    ASSERT_NE(users, nullptr) << error.description();
    ASSERT_EQ(users->users.size(), 1u);
    EXPECT_EQ(users->users[0]->name, guest);
    const std::string sharingId = users->users[0]->identifier;
    ASSERT_TRUE(manage_->changeSharing(sharingId, 1, &error)) << error.description();
    ASSERT_TRUE(client_->shareFolder(makeFolder("Also", "0"), guest, 1, service(), &error))
        << error.description();
    const auto mode = content_->sharingUsersOfFolderAt("/Mine", &error)->users[0]->mode;
    EXPECT_TRUE(mode == 1 || mode == "1") << mode.dump();

    EXPECT_TRUE(manage_->setSettings({{"description", "d"}}, "/Mine/f.txt", &error))
        << error.description();
    EXPECT_TRUE(manage_->setSettings({{"description", "d"}}, "/Mine", &error))
        << error.description();

    // The guest sees the folder; moving its own file into it sends no source sharing.
    signIn(guest, "pw");
    makeManage();
    listing("/");
    listing("/Shared Folders");
    auto shared = listing("/Shared Folders/" + owner);
    ASSERT_TRUE(shared->containsItemNamed("Mine"));
    makeFile("own.txt", "0");
    listing("/");
    error = bv::Error();
    EXPECT_FALSE(
        manage_->moveItemAt("/own.txt", "/Shared Folders/" + owner + "/Mine/own.txt", &error));
    EXPECT_EQ(error.code(), -198) << error.description();
    // Between two folders of the same sharing user, both sharing identifiers go along.
    const std::string from = "/Shared Folders/" + owner + "/Mine";
    const std::string to = "/Shared Folders/" + owner + "/Also";
    listing(from);
    listing(to);
    ASSERT_TRUE(manage_->moveItemAt(from + "/f.txt", to + "/g.txt", &error)) << error.description();
    EXPECT_TRUE(listing(to)->containsItemNamed("g.txt"));
    EXPECT_FALSE(listing(from)->containsItemNamed("f.txt"));

    // Back as the owner, the sharing is taken away.
    signIn(owner, "pw");
    makeManage();
    ASSERT_TRUE(manage_->deleteSharing(sharingId, &error)) << error.description();
    EXPECT_TRUE(content_->sharingUsersOfFolderAt("/Mine", &error)->users.empty());
}

TEST_F(ManageTest, SynchedItemsFollowTheNewerSide) {
    const std::string path = "/.MACOSX_XATTRS";
    const BVItemClass& cls = BVSharedXAttrs::itemClass();
    bv::Error error;
    auto stored = [&] { return cache_->fetch<BVSharedXAttrs>("default"); };

    // Neither side: a new item, sent.
    ASSERT_TRUE(manage_->syncItem("default", cls, path, &error)) << error.description();
    ASSERT_NE(stored(), nullptr);
    auto remote = BVContentItem::unarchiveAs<BVSharedXAttrs>(*download(path));
    ASSERT_NE(remote, nullptr);
    const double sentDate = stored()->dateModified;
    EXPECT_NE(sentDate, 0);

    // Equal dates: nothing is sent.
    int before = requests();
    ASSERT_TRUE(manage_->syncItem("default", cls, path, &error)) << error.description();
    EXPECT_LE(requests(), before + 2);

    // A newer local item replaces the account's copy (the old one goes to the trash).
    auto local = std::make_shared<BVSharedXAttrs>();
    local->dateModified = sentDate + 100;
    local->xattrsByPath["/a"]["k"] = bv::Data(std::vector<uint8_t>{1, 2, 3});
    cache_->storeItem(local);
    ASSERT_TRUE(manage_->syncItem("default", cls, path, &error)) << error.description();
    remote = BVContentItem::unarchiveAs<BVSharedXAttrs>(*download(path));
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(remote->xattrsByPath.count("/a"), 1u);
    EXPECT_TRUE(listing("/Trash")->containsItemNamed(".MACOSX_XATTRS"));

    // An older local item is replaced by the account's copy.
    auto stale = std::make_shared<BVSharedXAttrs>();
    stale->dateModified = 1;
    cache_->storeItem(stale);
    ASSERT_TRUE(manage_->syncItem("default", cls, path, &error)) << error.description();
    ASSERT_NE(stored(), nullptr);
    EXPECT_EQ(stored()->xattrsByPath.count("/a"), 1u);
    EXPECT_NE(stored()->dateModified, 1);

    // A missing local item is taken from the account.
    cache_->purgeItemForcedWithKey("default", cls);
    ASSERT_TRUE(manage_->syncItem("default", cls, path, &error)) << error.description();
    EXPECT_EQ(stored()->xattrsByPath.count("/a"), 1u);

    // An unreadable copy in the account goes to the trash and the item starts afresh.
    listing("/");
    ASSERT_TRUE(manage_->deleteFileAt(path, &error)) << error.description();
    ASSERT_TRUE(writeFile("/", ".MACOSX_XATTRS", bytesOf(40, 9), 40, &error))
        << error.description();
    cache_->purgeItemForcedWithKey("default", cls);
    EXPECT_FALSE(manage_->syncItem("default", cls, path, &error));
    ASSERT_NE(stored(), nullptr);
    EXPECT_TRUE(stored()->xattrsByPath.empty());
    EXPECT_FALSE(content_->listFolderAt("/", true, &error)->containsItemNamed(".MACOSX_XATTRS"));

    // Only synched items can be synchronised.
    EXPECT_THROW(manage_->syncItem("default", BVFileItem::itemClass(), path, &error),
                 BVManageControllerException);
}

TEST_F(ManageTest, TheLogNamesEachChange) {
    std::string docs = makeFolder("Docs", "0");
    makeFolder("Gone", docs);
    makeFolder("Binned", docs);
    makeFile("a.txt", docs);
    makeFile("b.txt", docs);
    makeFile("c.txt", docs);
    // Earlier tests of this process wrote to the same log.
    const std::string earlier = logText();
    bv::Error error;
    ASSERT_TRUE(manage_->createFileAt("/Docs", "up.bin", &error)) << error.description();
    // Without the handle the creation cached, opening asks the service for a new one.
    auto id = content_->identifierForFileAt("/Docs/up.bin", true);
    ASSERT_TRUE(id);
    cache_->purgeItemForcedWithKey(*id, BVUploadFileHandle::itemClass());
    auto handle = manage_->uploadOpenAt("/Docs/up.bin", 3, &error);
    ASSERT_NE(handle, nullptr) << error.description();
    EXPECT_NE(cache_->fetchUploadHandle(*id), nullptr);
    EXPECT_FALSE(manage_->uploadChunk(bytesOf(3, 0), *handle, true, nullptr, 0, &error));

    ASSERT_TRUE(manage_->deleteFileAt("/Docs/a.txt", &error)) << error.description();
    ASSERT_TRUE(manage_->trashFileAt("/Docs/b.txt", &error)) << error.description();
    ASSERT_TRUE(manage_->trashItemAt("/Docs/c.txt", &error)) << error.description();
    ASSERT_TRUE(manage_->deleteFolderAt("/Docs/Gone", &error)) << error.description();
    ASSERT_TRUE(manage_->trashItemAt("/Docs/Binned", &error)) << error.description();
    ASSERT_TRUE(manage_->moveItemAt("/Docs/up.bin", "/up2.bin", &error)) << error.description();

    const std::string log = logText();
    for (const std::string text : {
             "upload handle not cached, opening new",
             "upload bytes mismatch 3 expected vs 0 written",
             "Deleting file at /Docs/a.txt",
             "Trashing file /Docs/b.txt",
             "Trashing file item /Docs/c.txt",
             "Deleting folder /Docs/Gone",
             "Trashing folder item /Docs/Binned",
             "Moving file up2.bin to /up2.bin",
         })
        EXPECT_EQ(occurrences(log, text) - occurrences(earlier, text), 1u) << text;
}

TEST_F(ManageTest, SignOutForgetsTheSession) {
    bv::Error error;
    ASSERT_TRUE(manage_->logoutWithError(&error)) << error.description();
    EXPECT_EQ(cache_->fetchUserSession("default"), nullptr);
    EXPECT_FALSE(manage_->createFolderAt("/", "x", &error));
    EXPECT_EQ(error.code(), -199);
}

TEST_F(ManageTest, ConcurrentChangesOfOneFolderAreAllKept) {
    listing("/");
    bv::Error error;
    ASSERT_TRUE(manage_->createFolderAt("/", "Busy", &error)) << error.description();
    constexpr int kThreads = 6;
    constexpr int kFolders = 5;
    auto folderName = [](int t, int d) {
        return "d" + std::to_string(t) + "-" + std::to_string(d);
    };
    std::atomic<int> finished{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            bv::Error e;
            const std::string name = "f" + std::to_string(t);
            // Each thread writes its own file in two asynchronous chunks, whose answers
            // the main thread delivers while it waits below.
            if (!writeFile("/Busy", name, bytesOf(3000, t), 2000, &e))
                ++failures;
            for (int d = 0; d < kFolders; ++d) {
                if (!manage_->createFolderAt("/Busy", folderName(t, d), &e))
                    ++failures;
            }
            ++finished;
            bv::RunLoop::main().wakeUp();
        });
    }
    bv::RunLoop::main().runUntil([&] { return finished == kThreads; }, 60);
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
    auto busy = cachedListing("/Busy");
    ASSERT_NE(busy, nullptr);
    for (int t = 0; t < kThreads; ++t) {
        auto file = std::static_pointer_cast<BVFileItem>(busy->itemNamed("f" + std::to_string(t)));
        ASSERT_NE(file, nullptr) << t;
        EXPECT_EQ(file->size, 3000);
        for (int d = 0; d < kFolders; ++d)
            EXPECT_TRUE(busy->containsItemNamed(folderName(t, d))) << folderName(t, d);
        EXPECT_TRUE(download("/Busy/f" + std::to_string(t)) == bytesOf(3000, t));
    }
}

}  // namespace
}  // namespace bvtest
