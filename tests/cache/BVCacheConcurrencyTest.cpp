#include <atomic>
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

// Eight threads store, fetch and purge listings and file records while a ninth appends a
// file's content piece by piece. Every append must land, and every index file left on disk
// must decode.
TEST(CacheConcurrencyTest, StoresFetchesAndPurgesWhileContentIsAppended) {
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

}  // namespace
