#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVCacheIndex.h"
#include "BVApi/Content/BVTransferItems.h"
#include "CacheTestSupport.h"
#include "TempDir.h"

namespace fs = std::filesystem;
using namespace cachetest;

namespace {

// A failed assertion must not leave the shared cache's writer running into the exit.
class CacheConcurrencyTest : public ::testing::Test {
  protected:
    void TearDown() override { BVCacheController::resetSharedController(); }
};

// Eight threads store, fetch and purge listings and file records while a ninth appends a
// file's content piece by piece. Every append must land, and every index file left on disk
// must decode.
TEST_F(CacheConcurrencyTest, StoresFetchesAndPurgesWhileContentIsAppended) {
    bvtest::TempDir dir("cache-concurrency");
    auto clock = std::make_shared<bv::ManualClock>();
    auto cache = BVCacheController::cacheControllerAt(dir.path() / "Cache", {clock, "run"});
    cache->storeItem(fileInfo("content", "big.bin", clock->now()));
    auto d = std::make_shared<BVBinaryDataDescriptorItem>();
    d->identifier = "content";
    d->path = "/big.bin";
    cache->storeItem(d);

    constexpr int kPieces = 300;
    constexpr int kPieceSize = 1000;
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                std::string id = "t" + std::to_string(t) + "-" + std::to_string(i % 7);
                auto l = listing(id, "/dir/" + id);
                l->files.push_back(fileInfo(id + "f", "x"));
                cache->storeItem(l);
                cache->storeItem(fileInfo(id + "f", "x"));
                if (!cache->fetchFolderList(id))
                    failed = true;  // nobody else touches this key
                cache->fetchFolderListAt("/DIR/" + id);
                cache->fetchFileItem(id + "f", "/dir/" + id + "/x");
                if (i % 3 == 0)
                    cache->purgeCacheForFolder(id, "");
                if (i % 5 == 0)
                    cache->purgeCacheForFile(id + "f", id);
                cache->fetchBinaryDataOf("content", 0, 10, nullptr);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < kPieces; ++i) {
            std::string piece(kPieceSize, char('a' + i % 26));
            if (!cache->storeBinaryData(bv::Data::fromString(piece), int64_t(i) * kPieceSize,
                                        kPieces * kPieceSize, "content"))
                failed = true;
        }
    });
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(failed);

    auto content = cache->fetchBinaryDataOf("content", 0, kPieces * kPieceSize);
    ASSERT_EQ(content.length(), size_t(kPieces) * kPieceSize);
    for (int i = 0; i < kPieces; ++i)
        ASSERT_EQ(content.bytes()[size_t(i) * kPieceSize], uint8_t('a' + i % 26)) << i;
    EXPECT_EQ(cache->fetchBinaryDataDescriptor("content")->completedBytes, kPieces * kPieceSize);
    cache->flush();

    for (const auto& entry : fs::directory_iterator(dir.path() / "Cache")) {
        if (entry.path().extension() != ".index")
            continue;
        auto index = BVCacheIndex::unarchive(bv::Data::fromString(readAll(entry.path())));
        EXPECT_TRUE(index) << entry.path();
    }
    // The index on disk agrees with the one in memory.
    auto listingIndexKeys = cache->indexOf(BVFolderListItem::itemClass()).keys();
    auto restarted = BVCacheController::cacheControllerAt(dir.path() / "Cache", {clock, "run"});
    EXPECT_EQ(restarted->indexOf(BVFolderListItem::itemClass()).keys(), listingIndexKeys);
    BVCacheController::resetSharedController();
}

// Fetches of items held in memory (the getattr path) by eight threads while the disk does
// not answer: once while the writer is stuck writing the class's files, once while another
// item of the class is read cold. Before, both held the class lock across the disk.
TEST_F(CacheConcurrencyTest, HotFetchesDoNotWaitForABlockedDisk) {
    struct Case {
        const char* name;
        BVCacheFileBackend::Io blocked;
    };
    for (const Case& c : {Case{"blocked write", BVCacheFileBackend::Io::Write},
                          Case{"blocked cold read", BVCacheFileBackend::Io::Read}}) {
        bvtest::TempDir dir("cache-blocked");
        auto clock = std::make_shared<bv::ManualClock>();
        auto cache = BVCacheController::cacheControllerAt(
            dir.path() / "Cache", {clock, "run", std::chrono::milliseconds(0)});
        const auto& cls = BVFileInfoItem::itemClass();
        for (int i = 0; i < 8; ++i) {
            cache->storeItem(fileInfo("hot" + std::to_string(i), "h"));
            cache->storeItem(listing("L" + std::to_string(i), "/dir" + std::to_string(i)));
        }
        cache->storeItem(fileInfo("cold", "c"));
        cache->flush();
        cache->backend().clearMemcache();
        for (int i = 0; i < 8; ++i) {
            ASSERT_TRUE(cache->fetchItemWithKey("hot" + std::to_string(i), cls));
            ASSERT_TRUE(cache->fetchFolderListAt("/dir" + std::to_string(i)));
        }

        cachetest::Gate disk;
        const std::string coldPath = cache->backend().pathForItemWithKey("cold", cls);
        cache->backend().setIoFault([&](BVCacheFileBackend::Io io, const std::string& path) {
            if (io == c.blocked && (io == BVCacheFileBackend::Io::Write || path == coldPath))
                disk.pass();
            return 0;
        });
        std::future<BVItemRef> coldFetch;
        if (c.blocked == BVCacheFileBackend::Io::Write)
            cache->storeItem(fileInfo("new", "n"));  // the writer takes it at once
        else
            coldFetch = std::async(std::launch::async,
                                   [&] { return cache->fetchItemWithKey("cold", cls); });
        ASSERT_TRUE(disk.awaitSomebodyHeld()) << c.name;

        std::atomic<int> done{0};
        std::mutex doneLock;
        std::condition_variable allDone;
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                const std::string id = std::to_string(t);
                bool ok = true;
                for (int i = 0; i < 200; ++i) {
                    ok = ok && cache->fetchItemWithKey("hot" + id, cls);
                    ok = ok && cache->fetchFolderListAt("/DIR" + id);
                    // Stores of the same class go on too; the writer will take them later.
                    cache->storeItem(fileInfo("t" + id, "x"));
                    ok = ok && cache->fetchItemWithKey("t" + id, cls);
                }
                if (ok)
                    ++done;
                std::lock_guard lock(doneLock);
                allDone.notify_all();
            });
        }
        {
            std::unique_lock lock(doneLock);
            allDone.wait_for(lock, std::chrono::seconds(60), [&] { return done == 8; });
        }
        EXPECT_EQ(done, 8) << c.name;
        EXPECT_EQ(disk.held(), 1) << c.name << ": the disk was still blocked throughout";
        disk.open();
        for (auto& t : threads)
            t.join();
        if (coldFetch.valid()) {
            EXPECT_TRUE(coldFetch.get()) << c.name;
        }
        cache->backend().setIoFault(nullptr);
        cache->flush();
        auto restarted = BVCacheController::cacheControllerAt(dir.path() / "Cache", {clock, "run"});
        for (auto key : {"new", "t0", "t7"}) {
            if (c.blocked == BVCacheFileBackend::Io::Write || std::string(key) != "new") {
                EXPECT_TRUE(restarted->fetchItemWithKey(key, cls)) << c.name << " " << key;
            }
        }
        restarted.reset();
        cache.reset();
        BVCacheController::resetSharedController();
    }
}

}  // namespace
