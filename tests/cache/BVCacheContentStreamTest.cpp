#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "BVApi/Cache/BVCacheContentStream.h"
#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVTransferItems.h"
#include "CacheTestSupport.h"
#include "TempDir.h"

namespace fs = std::filesystem;
using namespace cachetest;

namespace {

constexpr size_t kPiece = 512 * 1024;

class ContentStreamTest : public ::testing::Test {
  protected:
    void TearDown() override { BVCacheController::resetSharedController(); }

    // A controller whose writer never flushes by itself: only flush() and the end write.
    std::shared_ptr<BVCacheController> open() {
        return BVCacheController::cacheControllerAt(root(), {clock_, "run", std::chrono::hours(1)});
    }
    fs::path root() const { return dir_.path() / "Cache"; }

    // A file the cache knows, with an empty descriptor, as a download starts it.
    void prepare(BVCacheController& cache, const std::string& id) {
        cache.storeItem(fileInfo(id, id + ".bin", clock_->now()));
        auto d = std::make_shared<BVBinaryDataDescriptorItem>();
        d->identifier = id;
        d->path = "/" + id + ".bin";
        cache.storeItem(d);
    }

    static bv::Data piece(size_t index, size_t length = kPiece) {
        return bv::Data::fromString(std::string(length, char('a' + index % 26)));
    }

    bvtest::TempDir dir_{"cache-stream"};
    std::shared_ptr<bv::ManualClock> clock_ = std::make_shared<bv::ManualClock>();
};

// The fsyncs of a whole download do not grow with its pieces: its descriptor is written
// once at the end, not per piece.
TEST_F(ContentStreamTest, ADownloadCostsTheSameFsyncsWhateverItsPieceCount) {
    auto cache = open();
    std::vector<uint64_t> counts;
    for (size_t pieces : {size_t(16), size_t(32)}) {
        const std::string id = "file" + std::to_string(pieces);
        prepare(*cache, id);
        cache->flush();
        const uint64_t before = cache->backend().fsyncCount();
        auto stream = cache->contentStreamFor(id);
        ASSERT_TRUE(stream);
        for (size_t i = 0; i < pieces; ++i)
            ASSERT_TRUE(stream->append(piece(i), int64_t(i * kPiece), -1)) << i;
        stream->finish();
        cache->flush();
        counts.push_back(cache->backend().fsyncCount() - before);

        auto d = cache->fetchBinaryDataDescriptor(id);
        ASSERT_TRUE(d);
        EXPECT_TRUE(d->isCompleted());
        EXPECT_EQ(d->completedBytes, int64_t(pieces * kPiece));
    }
    EXPECT_EQ(counts[0], counts[1]);
    // The descriptor index, the folder and one write-out of the large content; item files
    // go unsynced.
    EXPECT_LE(counts[1], 3u);

    auto restarted = open();
    for (size_t pieces : {size_t(16), size_t(32)}) {
        const std::string id = "file" + std::to_string(pieces);
        auto d = restarted->fetchBinaryDataDescriptor(id);
        ASSERT_TRUE(d) << id;
        EXPECT_EQ(d->completedBytes, int64_t(pieces * kPiece));
        EXPECT_EQ(d->totalBytes, -1) << "the stored copy keeps the total of the last append";
        auto last = restarted->fetchBinaryDataOf(id, (pieces - 1) * kPiece, kPiece);
        EXPECT_EQ(last.toString(), piece(pieces - 1).toString());
    }
}

// A new controller over the folder of one that never shut down sees what was flushed, and
// a descriptor there never claims bytes that were not yet made durable.
TEST_F(ContentStreamTest, RestartWithoutShutdownReadsWhatWasFlushed) {
    auto crashed = open();
    prepare(*crashed, "f");
    crashed->storeItem(listing("L", "/docs"));
    auto stream = crashed->contentStreamFor("f");
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->append(piece(0), 0));
    ASSERT_TRUE(stream->append(piece(1), kPiece));
    crashed->flush();
    // After the flush: more content, a new item, a purge; none of it written yet.
    ASSERT_TRUE(stream->append(piece(2), 2 * kPiece));
    crashed->storeItem(fileInfo("late"));
    crashed->purgeItemWithKey("L", BVFolderListItem::itemClass());
    EXPECT_EQ(crashed->fetchBinaryDataDescriptor("f")->completedBytes, int64_t(3 * kPiece));

    auto restarted = open();
    ASSERT_TRUE(restarted->fetchFolderList("L"));
    EXPECT_FALSE(restarted->fetchItemWithKey("late", BVFileInfoItem::itemClass()));
    auto d = restarted->fetchBinaryDataDescriptor("f");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->completedBytes, int64_t(2 * kPiece));
    EXPECT_EQ(restarted->fetchBinaryDataOf("f", kPiece, kPiece).toString(), piece(1).toString());
    restarted.reset();
    crashed.reset();
}

TEST_F(ContentStreamTest, WaitersSeeBytesLandAndHowTheStreamEnds) {
    auto cache = open();
    struct Case {
        const char* name;
        uint64_t wanted;
        std::function<void(BVCacheController&, BVCacheContentStream&)> then;
        BVContentWait expected;
    };
    const std::vector<Case> cases = {
        {"bytes land", 2 * kPiece,
         [](BVCacheController&, BVCacheContentStream& s) { s.append(piece(1), kPiece); },
         BVContentWait::Ready},
        {"complete, shorter than wanted", 10 * kPiece,
         [](BVCacheController&, BVCacheContentStream& s) { s.finish(); }, BVContentWait::Ready},
        {"failed", 10 * kPiece,
         [](BVCacheController&, BVCacheContentStream& s) {
             s.fail(bv::Error::make(-200, "network"));
         },
         BVContentWait::Failed},
        {"content purged", 10 * kPiece,
         [](BVCacheController& c, BVCacheContentStream& s) {
             c.purgeBinaryDataForcedOf(s.identifier());
         },
         BVContentWait::Ended},
        {"no progress until the deadline", 10 * kPiece,
         [this](BVCacheController&, BVCacheContentStream& s) {
             clock_->advance(21);
             s.wakeWaiters();
         },
         BVContentWait::TimedOut},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string id = "w" + std::to_string(n++);
        prepare(*cache, id);
        auto stream = cache->contentStreamFor(id);
        ASSERT_TRUE(stream);
        ASSERT_TRUE(stream->append(piece(0), 0));
        EXPECT_EQ(stream->waitForBytes(kPiece, clock_->monotonic()), BVContentWait::Ready);
        const double deadline = clock_->monotonic() + 20;
        auto waiter = std::async(std::launch::async,
                                 [&] { return stream->waitForBytes(c.wanted, deadline); });
        c.then(*cache, *stream);
        EXPECT_EQ(waiter.get(), c.expected) << c.name;
    }
}

TEST_F(ContentStreamTest, OneStreamAndOneDescriptorPerFileUntilItsContentIsPurged) {
    auto cache = open();
    prepare(*cache, "f");
    auto stream = cache->contentStreamFor("f");
    ASSERT_TRUE(stream);
    EXPECT_EQ(cache->contentStreamFor("f"), stream);
    EXPECT_EQ(cache->fetchBinaryDataDescriptor("f"), stream->descriptor());
    cache->backend().clearMemcache();
    EXPECT_EQ(cache->fetchBinaryDataDescriptor("f"), stream->descriptor())
        << "readers share the downloading descriptor even when memory copies are dropped";
    ASSERT_TRUE(stream->append(piece(0), 0));
    EXPECT_FALSE(stream->append(piece(1), 2 * kPiece)) << "a gap";
    EXPECT_FALSE(stream->append(piece(1), 0)) << "already written";

    // The descriptor is purged while the download runs: nothing brings it back.
    cache->purgeItemWithKey("f", BVBinaryDataDescriptorItem::itemClass());
    EXPECT_FALSE(stream->append(piece(1), kPiece));
    cache->flush();
    EXPECT_FALSE(cache->fetchBinaryDataDescriptor("f"));
    EXPECT_FALSE(cache->contentStreamFor("f")) << "no descriptor, no stream";

    prepare(*cache, "f");
    auto again = cache->contentStreamFor("f");
    ASSERT_TRUE(again);
    EXPECT_NE(again, stream);
    // The bytes no descriptor claims any more go: the new download starts at its claim.
    EXPECT_EQ(again->length(), 0u);
    EXPECT_TRUE(again->append(piece(0), 0));
}

}  // namespace
