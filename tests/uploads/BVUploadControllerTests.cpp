#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Controllers/BVJITThrottleUploadController.h"
#include "BVApi/Controllers/BVTmpUploadController.h"
#include "BVApi/Controllers/BVUploadsWindowDelegate.h"
#include "UploadFixture.h"

namespace bvtest {
namespace {

constexpr uint64_t kSmall = 64 * 1024;

class UploadTest : public UploadFixture {
  protected:
    std::unique_ptr<BVJITThrottleUploadController> streamed(const std::string& path,
                                                            uint64_t chunk = 0) {
        // The volume has listed the folder before it writes into it; the mirrored content
        // is valid against that listing.
        content_->listFolderAt(BVVolumePath::parent(path), nullptr);
        auto options = uploadOptions();
        options.chunkSize = chunk;
        auto writer =
            std::make_unique<BVJITThrottleUploadController>(path, &window_, std::move(options));
        bv::Error error;
        EXPECT_TRUE(writer->createFileError(&error)) << error.description();
        return writer;
    }

    // Writes bytes[from, to) in pieces of piece bytes at their own offsets.
    static bool writeRange(BVUploadController& writer, const bv::Data& bytes, size_t from,
                           size_t to, size_t piece, bv::Error* error) {
        for (size_t at = from; at < to; at += piece) {
            const size_t n = std::min(piece, to - at);
            if (!writer.writeFile(bytes.bytes() + at, n, static_cast<int64_t>(at), error))
                return false;
        }
        return true;
    }

    size_t alertsTitled(const std::string& title) {
        size_t count = 0;
        for (const auto& call : ui_->calls())
            count += call.kind == "alert" && call.text == title;
        return count;
    }

    static BVUploadsWindowDelegate::Options windowOptions(std::shared_ptr<bv::Clock> clock) {
        BVUploadsWindowDelegate::Options options;
        options.clock = std::move(clock);
        options.presentError = [](const bv::Error&, const std::string&) {};
        return options;
    }

    BVUploadsWindowDelegate window_{windowOptions(bv::Clock::system())};
};

TEST_F(UploadTest, AFiftyMiBStreamGoesAsTwoFullChunksAndTheLeftoverThenClosesWithItsSize) {
    const bv::Data bytes = patternBytes(50 * 1024 * 1024, 1);
    auto writer = streamed("/big.bin");
    bv::Error error;
    ASSERT_TRUE(writeRange(*writer, bytes, 0, bytes.size(), 1024 * 1024, &error))
        << error.description();
    // During the writes: the two full chunks, nothing else.
    auto sent = writer->uploadedChunks();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].offset, 0u);
    EXPECT_EQ(sent[1].offset, BVUploadController::kChunkSize);
    EXPECT_EQ(sent[1].data->size(), BVUploadController::kChunkSize);
    ASSERT_TRUE(writer->closeFileError(&error)) << error.description();
    sent = writer->uploadedChunks();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2].offset, 2 * BVUploadController::kChunkSize);
    EXPECT_EQ(sent[2].data->size(), 10u * 1024 * 1024);
    EXPECT_EQ(writer->uploadEncryptionOffset(), 52428800u);

    auto listed = std::static_pointer_cast<BVFileItem>(
        content_->listFolderAt("/", true, &error)->itemNamed("big.bin"));
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(listed->size, 52428800);
    auto stored = serviceBytes("/big.bin");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(*stored == bytes);
    // The mirror serves the file back without a download.
    auto mirrored =
        cache_->fetchBinaryDataOf(writer->uploadHandle()->identifier, 0, bytes.size(), &error);
    ASSERT_TRUE(mirrored) << error.description();
    EXPECT_EQ(mirrored->size(), bytes.size());
    EXPECT_TRUE(*mirrored == bytes);
    // The close finished the mirror: its content file is closed, and the descriptor on disk
    // claims the whole file.
    const std::string id = writer->uploadHandle()->identifier;
    cache_->flush();
    EXPECT_EQ(cache_->openContentStream(id), nullptr);
    cache_->backend().clearMemcache();
    auto persisted = std::dynamic_pointer_cast<BVBinaryDataDescriptorItem>(
        cache_->backend().restoreItem(id, BVBinaryDataDescriptorItem::itemClass()));
    ASSERT_NE(persisted, nullptr);
    EXPECT_EQ(persisted->completedBytes, 52428800);
    EXPECT_EQ(persisted->totalBytes, 52428800);
    EXPECT_TRUE(journal_->entries().empty());
    EXPECT_TRUE(window_.records().size() <= 1);
}

TEST_F(UploadTest, AServiceThatLostBytesIsSentTheRememberedChunksAgainEachAfterItsDelay) {
    const bv::Data bytes = patternBytes(5 * kSmall, 2);
    auto writer = streamed("/ico.bin", kSmall);
    bv::Error error;
    ASSERT_TRUE(writeRange(*writer, bytes, 0, 4 * kSmall, kSmall, &error));
    ASSERT_EQ(writer->uploadedChunks().size(), 3u);
    // The service forgets what it received: the upload continues in a fresh session.
    auto handle = writer->uploadHandle();
    auto fresh = client_->openFile(handle->identifier, 0, service(), &error);
    ASSERT_NE(fresh, nullptr) << error.description();
    handle->tempLocation = fresh->tempLocation;

    const double before = following_->slept();
    ASSERT_TRUE(writeRange(*writer, bytes, 4 * kSmall, 5 * kSmall, kSmall, &error))
        << error.description();
    // Three remembered chunks from offset 0, each after its own 900 seconds.
    EXPECT_DOUBLE_EQ(following_->slept() - before, 3 * BVUploadController::kRetryDelay);
    ASSERT_TRUE(writer->closeFileError(&error)) << error.description();
    auto stored = serviceBytes("/ico.bin");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(*stored == bytes);
    EXPECT_FALSE(writer->uploadFailed());
}

// An upload session that already holds bytes no remembered chunk accounts for (a streamed
// start given up, whose handle is still cached): the repair has nothing to send, and the
// chunk meets the same answer again. The upload fails rather than asking forever.
TEST_F(UploadTest, AnOffsetTheRepairCannotMendFailsTheUpload) {
    const bv::Data bytes = patternBytes(3 * kSmall, 4);
    auto writer = streamed("/held.bin", kSmall);
    auto handle = writer->uploadHandle();
    ASSERT_NE(handle, nullptr);
    bv::Error error;
    ASSERT_TRUE(client_->uploadChunk(patternBytes(kSmall, 9), 0, handle->identifier,
                                     handle->tempLocation, service(), &error))
        << error.description();
    EXPECT_FALSE(writeRange(*writer, bytes, 0, 3 * kSmall, kSmall, &error));
    EXPECT_TRUE(writer->uploadFailed());
    EXPECT_TRUE(BVUploadController::isIncorrectOffsetError(writer->uploadError()))
        << writer->uploadError().description();
    EXPECT_FALSE(writer->closeFileError(&error));
}

TEST_F(UploadTest, AFailedChunkIsRetriedAfterTheDelayAndEveryRetryFailingFailsTheUpload) {
    struct Case {
        int faults;
        double slept;
        bool uploaded;
    } cases[] = {{1, 900, true}, {5, 3600, false}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        const std::string path = "/retry" + std::to_string(++n) + ".bin";
        const bv::Data bytes = patternBytes(3 * kSmall, n);
        auto writer = streamed(path, kSmall);
        server_->addFault({{"endpoint", "upload/upload_file_chunk2.json"},
                           {"kind", "error"},
                           {"code", 500},
                           {"count", c.faults}});
        const double before = following_->slept();
        bv::Error error;
        const bool wrote = writeRange(*writer, bytes, 0, bytes.size(), kSmall, &error);
        const bool closed = writer->closeFileError(&error);
        server_->clearFaults();
        EXPECT_DOUBLE_EQ(following_->slept() - before, c.slept);
        EXPECT_EQ(wrote && closed, c.uploaded) << error.description();
        EXPECT_EQ(writer->uploadFailed(), !c.uploaded);
        if (c.uploaded) {
            auto stored = serviceBytes(path);
            ASSERT_TRUE(stored);
            EXPECT_TRUE(*stored == bytes);
        } else {
            EXPECT_EQ(error.failureReason(), "Injected fault");
            EXPECT_EQ(cache_->fetchBinaryDataDescriptor(writer->uploadHandle()->identifier),
                      nullptr);
        }
    }
}

TEST_F(UploadTest, ASpeedLimitMeansSmallChunksTwoRetriesAndALongerDelay) {
    auto options = uploadOptions();
    options.uploadSpeedLimit = 1000;
    BVUploadController limited("/x.bin", nullptr, options);
    EXPECT_EQ(limited.minimalDelay(), 5262u);  // 5242880 / 1000 + 20
    EXPECT_EQ(limited.retryAttemptsDelays(), (std::vector<double>{900, 900}));
    EXPECT_EQ(limited.chunkSize(), BVUploadController::kSmallChunkSize);
    // The flag stays for every later upload.
    BVUploadController later("/y.bin", nullptr, uploadOptions());
    EXPECT_EQ(later.chunkSize(), BVUploadController::kSmallChunkSize);
    EXPECT_EQ(later.retryAttemptsDelays().size(), 4u);
}

TEST_F(UploadTest, LowDiskSpaceWarnsOnceThenTheNextChunkAborts) {
    std::vector<uint64_t> free = {650'000'000, 900'000'000, 650'000'000};
    size_t asked = 0;
    auto options = uploadOptions();
    options.chunkSize = kSmall;
    options.freeDiskSpace = [&] { return free[std::min(asked++, free.size() - 1)]; };
    BVJITThrottleUploadController writer("/low.bin", nullptr, options);
    bv::Error error;
    ASSERT_TRUE(writer.createFileError(&error)) << error.description();
    ui_->supplyAlertAnswer(0);  // "Proceed", and the disk has room again
    const bv::Data bytes = patternBytes(3 * kSmall, 5);
    ASSERT_TRUE(writeRange(writer, bytes, 0, 2 * kSmall, kSmall, &error)) << error.description();
    EXPECT_EQ(writer.uploadedChunks().size(), 1u);
    EXPECT_FALSE(writeRange(writer, bytes, 2 * kSmall, 3 * kSmall, kSmall, &error));
    EXPECT_EQ(error.code(), 1000);
    EXPECT_EQ(alertsTitled("Upload Warning. Waiting for 6 minutes."), 1u);
    EXPECT_EQ(alertsTitled("Upload Warning"), 1u);
    EXPECT_TRUE(writer.uploadFailed());
    // The leftover is not sent after a full disk.
    EXPECT_FALSE(writer.closeFileError(&error));
    EXPECT_EQ(writer.uploadedChunks().size(), 1u);
}

TEST_F(UploadTest, AWriteOutOfOrderStagesTheFileAndTheServiceGetsWhatWasWritten) {
    bv::Data expected = patternBytes(5 * kSmall + 100, 7);
    const bv::Data header = patternBytes(16, 99);
    auto writer = streamed("/muxed.bin", kSmall);
    bv::Error error;
    ASSERT_TRUE(writeRange(*writer, expected, 0, 3 * kSmall + 50, 4096, &error));
    ASSERT_GE(writer->uploadedChunks().size(), 2u);
    // A header patched near the start, then the writing goes on at the end.
    ASSERT_TRUE(writer->writeFile(header.bytes(), header.size(), 10, &error))
        << error.description();
    std::copy(header.bytes(), header.bytes() + header.size(), expected.mutableBytes() + 10);
    EXPECT_TRUE(writer->isStaged());
    ASSERT_TRUE(writeRange(*writer, expected, 3 * kSmall + 50, expected.size(), 4096, &error));
    ASSERT_TRUE(writer->closeFileError(&error)) << error.description();
    auto stored = serviceBytes("/muxed.bin");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), expected.size());
    EXPECT_TRUE(*stored == expected);
    EXPECT_FALSE(tmp_->fileExistsAt("/muxed.bin"));
    EXPECT_TRUE(journal_->entries().empty());
}

TEST_F(UploadTest, AStagedWriteOfAnExistingFileUploadsTheWholeChangedFile) {
    const bv::Data original = patternBytes(3 * kSmall, 8);
    {
        auto writer = streamed("/doc.bin", kSmall);
        bv::Error error;
        ASSERT_TRUE(writeRange(*writer, original, 0, original.size(), kSmall, &error));
        ASSERT_TRUE(writer->closeFileError(&error)) << error.description();
    }
    // The cached content is dropped so the staged copy starts from the service's.
    cache_->purgeBinaryDataForcedOf(*content_->identifierForFileAt("/doc.bin"));
    cache_->purgeItemForcedWithKey(*content_->identifierForFileAt("/doc.bin"),
                                   BVBinaryDataDescriptorItem::itemClass());
    auto options = uploadOptions();
    options.chunkSize = kSmall;
    BVTmpUploadController writer("/doc.bin", &window_, options);
    bv::Error error;
    ASSERT_TRUE(writer.openFileError(&error)) << error.description();
    const bv::Data patch = patternBytes(1000, 9);
    ASSERT_TRUE(writer.writeFile(patch.bytes(), patch.size(), kSmall + 5, &error));
    ASSERT_TRUE(writer.closeFileError(&error)) << error.description();
    bv::Data expected = original;
    std::copy(patch.bytes(), patch.bytes() + patch.size(), expected.mutableBytes() + kSmall + 5);
    auto stored = serviceBytes("/doc.bin");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(*stored == expected);
    EXPECT_TRUE(journal_->entries().empty());
    EXPECT_FALSE(std::filesystem::exists(writer.tmpPath()));
    EXPECT_TRUE(window_.records().empty());
}

TEST_F(UploadTest, AFailedStagedUploadKeepsItsCopyAndIsResumedAtTheNextSignIn) {
    auto options = uploadOptions();
    options.chunkSize = kSmall;
    const bv::Data bytes = patternBytes(2 * kSmall + 7, 10);
    std::string staged;
    {
        BVTmpUploadController writer("/kept.bin", nullptr, options);
        bv::Error error;
        ASSERT_TRUE(writer.createFileError(&error)) << error.description();
        ASSERT_TRUE(writer.writeFile(bytes.bytes(), bytes.size(), 0, &error));
        server_->addFault(
            {{"endpoint", "upload/close_file_upload.json"}, {"kind", "error"}, {"count", 1}});
        EXPECT_FALSE(writer.closeFileError(&error));
        staged = writer.tmpPath();
    }
    auto entries = journal_->entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].state, BVUploadJournal::kFailed);
    EXPECT_EQ(entries[0].path, "/kept.bin");
    EXPECT_EQ(entries[0].size, bytes.size());
    EXPECT_TRUE(std::filesystem::exists(staged));

    // A second record whose copy is gone is reported by the file's name.
    journal_->record({.id = "",
                      .path = "/Docs/gone.txt",
                      .identifier = "",
                      .staged = (dir_.path() / "nowhere").string(),
                      .size = 3,
                      .state = BVUploadJournal::kClosing},
                     nullptr);
    std::vector<std::string> reported;
    // The next sign-in: a new journal on the same folder, before the store is emptied.
    BVUploadJournal journal(cache_->rootPath());
    auto resumed = journal.resumeJournal(
        [&](const std::string& path) {
            return std::make_unique<BVUploadController>(path, nullptr, options);
        },
        [&](const BVUploadJournal::Entry& entry, const std::string&) {
            reported.push_back(BVVolumePath::lastComponent(entry.path));
        });
    ASSERT_EQ(resumed.size(), 2u);
    EXPECT_EQ(reported, std::vector<std::string>{"gone.txt"});
    const auto done = std::find_if(resumed.begin(), resumed.end(),
                                   [](const auto& r) { return r.entry.path == "/kept.bin"; });
    ASSERT_NE(done, resumed.end());
    EXPECT_TRUE(done->uploaded) << done->error.description();
    EXPECT_TRUE(journal.entries().empty());
    EXPECT_TRUE(std::filesystem::is_empty(journal.folder()));
    auto stored = serviceBytes("/kept.bin");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(*stored == bytes);
}

TEST_F(UploadTest, TheWindowKeepsAQueryableRecordPerRunningUpload) {
    auto still = std::make_shared<bv::ManualClock>(1000);
    BVUploadsWindowDelegate window_{windowOptions(still)};
    BVUploadController a("/A/one.bin", nullptr, uploadOptions());
    BVUploadController b("/A/two.bin", nullptr, uploadOptions());
    window_.uploadDidStarted(&a);
    window_.uploadDidStarted(&b);
    window_.uploadDidMadeProgress(&b, 500, 1000);
    still->advance(2);
    window_.uploadDidMadeProgress(&b, 900, 1000);
    auto records = window_.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].path, "/A/one.bin");
    EXPECT_TRUE(records[0].isPending());
    EXPECT_EQ(records[1].completed, 900u);
    EXPECT_EQ(records[1].total, 1000u);
    EXPECT_DOUBLE_EQ(records[1].speed, 200);
    EXPECT_EQ(records[1].pathText(), "Uploading \"two.bin\" to \"A\".");
    window_.uploadDidFinished(&a);
    window_.uploadDidFailedWithError(&b, bv::Error::make(-200, "down"));
    EXPECT_TRUE(window_.records().empty());
    // A controller that goes away without finishing (a cancelled upload) takes its record.
    {
        BVUploadController c("/A/three.bin", &window_, uploadOptions());
        window_.uploadDidStarted(&c);
        EXPECT_EQ(window_.records().size(), 1u);
    }
    EXPECT_TRUE(window_.records().empty());
}

}  // namespace
}  // namespace bvtest
