// Downloads into the cache, the readers that wait for them and the read-ahead of open files,
// against the reference service.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "BVApi/Cache/BVCacheContentStream.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Controllers/BVDownloadController.h"
#include "BVApi/Controllers/BVDownloadLockTable.h"
#include "BVApi/Controllers/BVReadFailureBoard.h"
#include "BVApi/Controllers/BVReadaheadController.h"
#include "ContentFixture.h"
#include "WebCallExec/BVDataEncryption.h"
#include "platform/RunLoop.h"

namespace {

bv::Data patterned(size_t length, uint32_t seed = 7) {
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed;
    for (auto& byte : bytes) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return bv::Data(std::move(bytes));
}

bv::Data slice(const bv::Data& data, size_t offset, size_t length) {
    return data.subdata(offset, length);
}

// A manual clock that tells how often one thread (a reader) has looked at it, so a test can
// move time on only once the reader has seen the previous step.
class WatchedClock : public bv::ManualClock {
  public:
    using ManualClock::ManualClock;
    double monotonic() const override {
        if (std::this_thread::get_id() == watched_.load())
            ++looks_;
        return ManualClock::monotonic();
    }
    void watch() { watched_ = std::this_thread::get_id(); }
    uint64_t looks() const { return looks_.load(); }
    // Blocks until the watched thread looked more often than `than`, or the reader is done.
    template <class Future>
    void awaitLookAfter(uint64_t than, const Future& reader) const {
        while (looks_.load() <= than &&
               reader.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        }
    }

  private:
    std::atomic<std::thread::id> watched_{};
    mutable std::atomic<uint64_t> looks_{0};
};

class BVDownloadControllerTest : public bvtest::ContentFixture {
  protected:
    void SetUp() override {
        ContentFixture::SetUp();
        BVApiRequestConfiguration configuration;
        configuration.setRequestHost(server_->baseUrl());
        configuration.setCaFile(server_->caFile().string());
        configuration.numberOfRetries = 0;
        BVDownloadController::Options defaults;
        defaults.requestConfiguration = configuration;
        BVDownloadController::installAsDownloader(defaults);
    }

    void TearDown() override {
        server_->clearFaults();
        BVContentController::setDownloader(nullptr);
        ContentFixture::TearDown();
    }

    // A file of the root folder with these bytes; its identifier.
    std::string putFile(const std::string& name, const bv::Data& bytes) {
        bv::Error error;
        std::shared_ptr<BVUploadFileHandle> handle;
        auto file = client_->createFile(name, "0", &handle, service(), false, int64_t(bytes.size()),
                                        &error);
        EXPECT_TRUE(file && handle) << error.description();
        if (!file || !handle)
            return "";
        constexpr size_t kChunk = 8 << 20;
        for (size_t at = 0; at < bytes.size(); at += kChunk) {
            auto done = client_->uploadChunk(slice(bytes, at, kChunk), at, file->identifier,
                                             handle->tempLocation, service(), &error);
            EXPECT_TRUE(done) << error.description();
        }
        // Stamped by the test's clock, which the cache also reads: left to the service's own
        // clock, a slow upload would leave the file modified seconds "after" the frozen time
        // its content is cached at, and the cache would rightly drop that content as stale.
        const auto modified = int64_t(clock_->now());
        EXPECT_TRUE(client_->closeFileUpload(file->identifier, int64_t(bytes.size()),
                                             handle->tempLocation, false, modified, service(),
                                             &error))
            << error.description();
        return file->identifier;
    }

    // A download of the file as if it had started: its lock taken and its content stream
    // attached, so that only the test feeds it. Both null when either cannot be had.
    struct HeldDownload {
        std::shared_ptr<BVBinaryDataDescriptorItem> descriptor;
        std::shared_ptr<BVCacheContentStream> stream;
    };
    HeldDownload holdDownload(const std::string& id, const std::string& path) {
        auto& table = BVDownloadLockTable::shared();
        auto descriptor = table.tryLock(id);
        if (!descriptor)
            return {};
        descriptor->path = path;
        cache_->storeItem(descriptor);
        auto stream = cache_->contentStreamFor(id);
        if (!stream || stream->descriptor() != descriptor)
            return {};
        table.attach(descriptor, stream);
        return {descriptor, stream};
    }

    // Runs the reader on its own thread while this (main) thread delivers the request
    // callbacks, as the volume's worker threads and the main loop do.
    template <class F>
    auto onReader(F reader) {
        auto done = std::async(std::launch::async, reader);
        bv::RunLoop::main().runUntil(
            [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            120);
        return done.get();
    }

    // Downloads of the file the service has answered so far.
    size_t downloadsServed() const {
        std::ifstream log(server_->dataDir() / "server.log");
        std::stringstream text;
        text << log.rdbuf();
        return occurrences(text.str(), "GET download/file.json -> 200");
    }
};

TEST_F(BVDownloadControllerTest, TwoReadersOfAnUncachedFileShareOneDownload) {
    const bv::Data bytes = patterned(3 << 20);
    putFile("shared.bin", bytes);
    const size_t before = downloadsServed();
    // The first reader's download waits a moment at the service, so the second reader comes
    // while it runs.
    server_->addFault({{"endpoint", "download/file.json"}, {"kind", "delay"}, {"delay_ms", 300}});
    auto results = onReader([&] {
        auto second = std::async(std::launch::async, [&] {
            bv::Error error;
            return content_->readFileAt("/shared.bin", 2 << 20, 4096, &error);
        });
        bv::Error error;
        auto first = content_->readFileAt("/shared.bin", 0, 4096, &error);
        return std::make_pair(first, second.get());
    });
    ASSERT_TRUE(results.first && results.second);
    EXPECT_EQ(results.first->vector(), slice(bytes, 0, 4096).vector());
    EXPECT_EQ(results.second->vector(), slice(bytes, 2 << 20, 4096).vector());
    bv::RunLoop::main().runUntil([] { return BVDownloadController::runningCount() == 0; }, 60);
    EXPECT_EQ(downloadsServed() - before, 1u);
    auto descriptor =
        cache_->fetchBinaryDataDescriptor(*content_->identifierForFileAt("/shared.bin"));
    ASSERT_NE(descriptor, nullptr);
    EXPECT_TRUE(descriptor->isCompleted());
    EXPECT_EQ(descriptor->completedBytes.load(), int64_t(bytes.size()));
}

TEST_F(BVDownloadControllerTest, AShortFileAnswersWhatItHoldsAndLaterReadsComeFromTheCache) {
    putFile("ten.txt", bv::Data::fromString("0123456789"));
    const size_t before = downloadsServed();
    for (int round = 0; round < 2; ++round) {
        bv::Error error;
        auto data = onReader([&] { return content_->readFileAt("/ten.txt", 0, 4096, &error); });
        ASSERT_TRUE(data) << error.description();
        EXPECT_EQ(data->toString(), "0123456789");
    }
    EXPECT_EQ(downloadsServed() - before, 1u);
}

// Written again at the same second it was cached: the dates cannot tell the old content from
// the new, the listed size does.
TEST_F(BVDownloadControllerTest, CachedContentOfAnotherSizeThanListedIsDownloadedAgain) {
    const std::string id = putFile("again.txt", bv::Data::fromString("old content"));
    bv::Error error;
    auto first = onReader([&] { return content_->readFileAt("/again.txt", 0, 4096, &error); });
    ASSERT_TRUE(first) << error.description();
    ASSERT_EQ(first->toString(), "old content");

    const std::string newer = "new and longer content";
    auto handle = client_->openFile(id, int64_t(newer.size()), service(), &error);
    ASSERT_TRUE(handle) << error.description();
    ASSERT_TRUE(client_->uploadChunk(bv::Data::fromString(newer), 0, handle->identifier,
                                     handle->tempLocation, service(), &error))
        << error.description();
    ASSERT_TRUE(client_->closeFileUpload(handle->identifier, int64_t(newer.size()),
                                         handle->tempLocation, false, int64_t(clock_->now()),
                                         service(), &error))
        << error.description();
    ASSERT_TRUE(content_->listFolderAt("/", true, &error)) << error.description();

    auto second = onReader([&] { return content_->readFileAt("/again.txt", 0, 4096, &error); });
    ASSERT_TRUE(second) << error.description();
    EXPECT_EQ(second->toString(), newer);
}

TEST_F(BVDownloadControllerTest, ARefusedDownloadFailsTheStartAndTheNextReadDownloadsAgain) {
    putFile("refused.txt", bv::Data::fromString("content"));
    server_->addFault({{"endpoint", "download/file.json"},
                       {"kind", "error"},
                       {"code", 404},
                       {"message", "File not found"}});
    bv::Error error;
    EXPECT_FALSE(onReader([&] { return content_->readFileAt("/refused.txt", 0, 100, &error); }));
    EXPECT_NE(error.failureReason().find("File not found"), std::string::npos)
        << error.description();
    EXPECT_EQ(
        BVDownloadLockTable::shared().lockedItem(*content_->identifierForFileAt("/refused.txt")),
        nullptr);

    bv::Error again;
    auto data = onReader([&] { return content_->readFileAt("/refused.txt", 0, 100, &again); });
    ASSERT_TRUE(data) << again.description();
    EXPECT_EQ(data->toString(), "content");
}

TEST_F(BVDownloadControllerTest, AReaderTimesOutOnceItsDownloadWasQuietForTwentySeconds) {
    // The reader's clock is watched, so each step of time comes after it saw the last one.
    auto clock = std::make_shared<WatchedClock>(clock_->now());
    clock_ = clock;
    signIn(user_, "pw");
    putFile("stalled.bin", patterned(1000));
    const std::string id = *content_->identifierForFileAt("/stalled.bin");
    ASSERT_NE(content_->minimalItemInfoAt("/stalled.bin", nullptr), nullptr);
    // A download that has started and then stalls: the file's lock is held and its content
    // stream open, and only this test appends.
    auto [descriptor, stream] = holdDownload(id, "/stalled.bin");
    ASSERT_TRUE(descriptor && stream);

    const bv::Data bytes = patterned(1000);
    auto moving = std::async(std::launch::async, [&] {
        clock->watch();
        bv::Error error;
        return std::make_pair(content_->downloadFileAt("/stalled.bin", 300, &error), error);
    });
    // Bytes every 15 seconds keep the reader waiting well past 20 seconds from its start.
    clock->awaitLookAfter(1, moving);
    for (int step = 0; step < 3; ++step) {
        uint64_t looked = clock->looks();
        clock->advance(15);
        stream->wakeWaiters();
        clock->awaitLookAfter(looked, moving);
        looked = clock->looks();
        ASSERT_TRUE(stream->append(slice(bytes, step * 100, 100), step * 100));
        if (step < 2)
            clock->awaitLookAfter(looked, moving);
    }
    auto [ready, error] = moving.get();
    ASSERT_NE(ready, nullptr) << error.description();
    EXPECT_EQ(ready, descriptor);

    auto stalled = std::async(std::launch::async, [&] {
        clock->watch();
        bv::Error error;
        return std::make_pair(content_->downloadFileAt("/stalled.bin", 1000, &error), error);
    });
    clock->awaitLookAfter(clock->looks(), stalled);
    const double started = clock->monotonic();
    uint64_t looked = clock->looks();
    clock->advance(19);
    stream->wakeWaiters();
    clock->awaitLookAfter(looked, stalled);
    EXPECT_EQ(stalled.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    while (stalled.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        looked = clock->looks();
        clock->advance(1);
        stream->wakeWaiters();
        clock->awaitLookAfter(looked, stalled);
    }
    EXPECT_GE(clock->monotonic() - started, BVDownloadController::kReaderWait);
    auto [none, timeout] = stalled.get();
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(timeout.code(), BVDownloadController::kErrorTimedOut);
    EXPECT_EQ(timeout.failureReason(), BVDownloadController::kTimedOut);

    // Still quiet: a reader that comes now (a retry) gives up at once instead of waiting the
    // whole time again.
    const double before = clock->monotonic();
    auto late = std::async(std::launch::async, [&] {
        bv::Error error;
        return std::make_pair(content_->downloadFileAt("/stalled.bin", 1000, &error), error);
    });
    const bool atOnce = late.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!atOnce) {
        clock->advance(BVDownloadController::kReaderWait);
        stream->wakeWaiters();
    }
    EXPECT_TRUE(atOnce) << "the retry waited for the clock";
    auto [lateNone, lateTimeout] = late.get();
    EXPECT_EQ(lateNone, nullptr);
    EXPECT_EQ(lateTimeout.code(), BVDownloadController::kErrorTimedOut);
    EXPECT_EQ(clock->monotonic(), before);
    stream->fail(timeout);
    BVDownloadLockTable::shared().unlock(descriptor);
}

TEST_F(BVDownloadControllerTest, ReadsUnderWayWhenOneGaveUpShareItsFailureUntilTheFileMoves) {
    const bv::Data bytes = patterned(1000);
    const std::string id = putFile("given-up.bin", bytes);
    ASSERT_NE(content_->minimalItemInfoAt("/given-up.bin", nullptr), nullptr);
    // A download that answered and then went quiet for longer than a reader waits; only this
    // test feeds it.
    auto [descriptor, stream] = holdDownload(id, "/given-up.bin");
    ASSERT_TRUE(descriptor && stream);
    BVDownloadController::Options options;
    options.content = content_.get();
    options.cache = cache_;
    options.clock = clock_;
    auto download = BVDownloadController::downloadControllerForDescriptor(descriptor, options);
    // Ended on every path, so that no download of this test outlives it (a no-op once ended).
    std::shared_ptr<void> ends(nullptr, [&](void*) {
        download->requestCompletedHandler(nullptr, bv::Error::make(-1, "test over"));
    });
    clock_->advance(BVDownloadController::kReaderWait + 1);

    BVReadaheadController giving("/given-up.bin", content_.get(), clock_);
    BVReadaheadController beside("/given-up.bin", content_.get(), clock_);
    // A read of the other handle is under way while this one gives up.
    const uint64_t underWay = beside.failureMark();
    EXPECT_FALSE(giving.request({0, 100}));
    EXPECT_EQ(giving.cacheReads(), uint64_t(BVReadaheadController::kAttempts));
    const bv::Error timedOut = bv::Error::make(BVDownloadController::kErrorTimedOut, "x");
    giving.gaveUp(timedOut);

    // The read under way shares the failure, with the same error.
    auto standing = beside.standingFailure(underWay);
    ASSERT_TRUE(standing);
    EXPECT_EQ(standing->code(), BVDownloadController::kErrorTimedOut);
    // So does one that begins right after it; one that begins once that time is over, on
    // either handle, tries for itself.
    ASSERT_TRUE(giving.standingFailure(giving.failureMark()));
    clock_->advance(BVReadFailureBoard::kSharedFor);
    EXPECT_FALSE(giving.standingFailure(giving.failureMark()));
    EXPECT_FALSE(beside.standingFailure(beside.failureMark()));

    // The service answering a download of the file again clears it, and so do bytes that
    // land.
    BVHttpResponse answered;
    answered.statusCode = 200;
    download->requestResponseHandler(answered);
    EXPECT_FALSE(beside.standingFailure(underWay));
    giving.gaveUp(timedOut);
    ASSERT_TRUE(beside.standingFailure(underWay));
    download->requestDataHandler(bytes, 0, int64_t(bytes.size()));
    ASSERT_TRUE(download->storeBuffer());
    EXPECT_FALSE(beside.standingFailure(underWay));
    download->requestCompletedHandler(nullptr, bv::Error());
    auto data = beside.request({0, 100});
    ASSERT_TRUE(data);
    EXPECT_EQ(data->vector(), slice(bytes, 0, 100).vector());
    EXPECT_EQ(BVDownloadController::runningCount(), 0u);
}

TEST_F(BVDownloadControllerTest, ADownloadCutShortNeverClaimsTheWholeFile) {
    const bv::Data bytes = patterned(3 << 20);
    putFile("cut.bin", bytes);
    const std::string id = *content_->identifierForFileAt("/cut.bin");
    server_->addFault({{"endpoint", "download/file.json"}, {"kind", "drop"}, {"bytes", 1 << 20}});
    bv::Error error;
    EXPECT_FALSE(onReader([&] { return content_->downloadFileAt("/cut.bin", &error); }));
    bv::RunLoop::main().runUntil([] { return BVDownloadController::runningCount() == 0; }, 60);
    auto descriptor = cache_->fetchBinaryDataDescriptor(id);
    ASSERT_NE(descriptor, nullptr);
    EXPECT_FALSE(descriptor->isCompleted());
    EXPECT_LE(descriptor->completedBytes.load(), int64_t(1 << 20));

    bv::Error again;
    auto data = onReader([&] { return content_->readFileAt("/cut.bin", 0, 3 << 20, &again); });
    ASSERT_TRUE(data) << again.description();
    EXPECT_TRUE(data->vector() == bytes.vector());
}

TEST_F(BVDownloadControllerTest, ReadaheadReadsTheCacheOncePerStep) {
    const bv::Data bytes = patterned(3 << 20);
    putFile("sequential.bin", bytes);
    BVReadaheadController readahead("/sequential.bin", content_.get(), clock_);
    constexpr uint64_t kRead = 4096;
    const uint64_t behind = BVReadaheadController::kKeptBehind;
    onReader([&] {
        for (uint64_t at = 0; at < (2u << 20); at += kRead) {
            auto data = readahead.request({at, kRead});
            EXPECT_TRUE(data && data->vector() == slice(bytes, at, kRead).vector()) << at;
            if (at > behind) {
                EXPECT_EQ(readahead.offset(), at - behind);
            }
        }
        return 0;
    });
    // One cache read per 512 KiB of file: the window reached 2 MiB in four steps.
    EXPECT_EQ(readahead.cacheReads(), 4u);
    EXPECT_LE(readahead.bufferLength(), behind + BVReadaheadController::kStep);

    // Going back to the start starts the window again there.
    auto first = onReader([&] { return readahead.request({0, kRead}); });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->vector(), slice(bytes, 0, kRead).vector());
    EXPECT_EQ(readahead.offset(), 0u);
    EXPECT_EQ(readahead.cacheReads(), 5u);

    // A read past the end comes back short.
    auto tail = onReader([&] { return readahead.request({bytes.size() - 100, kRead}); });
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->vector(), slice(bytes, bytes.size() - 100, 100).vector());
}

// The kernel's concurrent reads of one file reach the window out of order. Reads within the
// bytes kept behind come from memory; a read before the window or far past it starts the
// window at that read, never at the start of the file, so memory stays at about one step.
TEST_F(BVDownloadControllerTest, ReadaheadServesOutOfOrderReadsWithoutRereading) {
    const bv::Data bytes = patterned(6 << 20);
    putFile("unordered.bin", bytes);
    constexpr uint64_t K = 128 << 10;
    const uint64_t step = BVReadaheadController::kStep;
    struct Case {
        const char* name;
        std::vector<uint64_t> reads;  // offsets of 128 KiB reads, in arrival order
        uint64_t cacheReads;
        uint64_t offsetAfter;
    };
    const Case cases[] = {
        {"in order", {0, K, 2 * K, 3 * K, 4 * K, 5 * K}, 2, 4 * K},
        {"neighbours swapped", {0, 2 * K, K, 4 * K, 3 * K, 5 * K}, 2, 4 * K},
        {"two behind", {0, K, 3 * K, 4 * K, 2 * K, 5 * K}, 3, 4 * K},
        {"back to the start", {8 * K, 9 * K, 0}, 2, 0},
        {"far ahead", {0, 40 * K, 41 * K}, 2, 40 * K},
        {"across steps", {0, 3 * K + 4096, 7 * K + 4096}, 3, 6 * K + 4096},
    };
    for (const auto& c : cases) {
        BVReadaheadController readahead("/unordered.bin", content_.get(), clock_);
        onReader([&] {
            for (uint64_t at : c.reads) {
                // Straight into the caller's buffer, as the volume reads.
                std::vector<uint8_t> out(K);
                auto copied = readahead.requestInto({at, K}, out.data());
                EXPECT_EQ(copied, std::optional<uint64_t>(K)) << c.name << " at " << at;
                EXPECT_TRUE(out == slice(bytes, at, K).vector()) << c.name << " at " << at;
                EXPECT_LE(readahead.bufferLength(), K + 2 * step) << c.name << " at " << at;
            }
            return 0;
        });
        EXPECT_EQ(readahead.cacheReads(), c.cacheReads) << c.name;
        EXPECT_EQ(readahead.offset(), c.offsetAfter) << c.name;
    }
}

TEST_F(BVDownloadControllerTest, ASecureFileStoresWholeRecordsAndKeepsThePartialOne) {
    const std::string id = putFile("secure.bin", patterned(16));
    ASSERT_NE(content_->minimalItemInfoAt("/secure.bin", nullptr), nullptr);
    const bv::Data key = patterned(32, 99);
    cache_->fetchUserSession("default")->encryptionKey = key;
    const bv::Data plain = patterned(700 * 1024 + 300);
    auto cipher = encryptWithKey(plain, key);
    ASSERT_TRUE(cipher);

    auto descriptor = BVDownloadLockTable::shared().tryLock(id);
    ASSERT_NE(descriptor, nullptr);
    descriptor->path = "/secure.bin";
    descriptor->encrypted = true;
    cache_->storeItem(descriptor);
    ASSERT_NE(cache_->contentStreamFor(id), nullptr);
    BVDownloadController::Options options;
    options.client = client_.get();
    options.content = content_.get();
    options.cache = cache_;
    auto download = BVDownloadController::downloadControllerForDescriptor(descriptor, options);
    BVHttpResponse head;
    head.statusCode = 200;
    download->requestResponseHandler(head);

    // One byte over the flush size: the whole records are stored, the partial one waits.
    const size_t first = BVDownloadController::kTransferFlush + 1;
    download->requestDataHandler(slice(*cipher, 0, first), 0, int64_t(cipher->size()));
    const size_t records = first / 1082;
    EXPECT_EQ(descriptor->completedBytes.load(), int64_t(records * 1024));
    EXPECT_EQ(download->pendingBytes(), first - records * 1082);
    EXPECT_FALSE(descriptor->isCompleted());

    download->requestDataHandler(slice(*cipher, first, cipher->size() - first), int64_t(first),
                                 int64_t(cipher->size()));
    const bv::Data noBody;
    download->requestCompletedHandler(&noBody, bv::Error());
    EXPECT_TRUE(descriptor->isCompleted());
    EXPECT_EQ(descriptor->completedBytes.load(), int64_t(plain.size()));
    EXPECT_EQ(cache_->fetchBinaryDataOf(id, 0, plain.size()).vector(), plain.vector());
    EXPECT_EQ(BVDownloadLockTable::shared().lockedItem(id), nullptr);
    EXPECT_EQ(BVDownloadController::runningCount(), 0u);
}

}  // namespace
