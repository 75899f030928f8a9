#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <sys/xattr.h>

#include "BVApi/Cache/BVCacheChecksums.h"
#include "BVApi/Cache/BVCacheException.h"
#include "BVApi/Cache/BVCacheFileBackend.h"
#include "BVApi/Content/BVTransferItems.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kBlock = BVCacheChecksums::kBlockSize;

std::string pattern(size_t length, unsigned seed = 7) {
    std::string bytes(length, '\0');
    uint32_t x = seed;
    for (auto& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    return bytes;
}

TEST(CacheChecksums, Crc32cMatchesTheStandardAndContinues) {
    const std::string check = "123456789";
    const auto* p = reinterpret_cast<const uint8_t*>(check.data());
    EXPECT_EQ(BVCacheChecksums::crc32c(0, p, check.size()), 0xE3069283u);
    EXPECT_EQ(BVCacheChecksums::crc32c(BVCacheChecksums::crc32c(0, p, 4), p + 4, 5), 0xE3069283u);
    EXPECT_EQ(BVCacheChecksums::crc32c(0, p, 0), 0u);
}

class ChecksumBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        backend_ = std::make_unique<BVCacheFileBackend>(dir_.path() / "Cache");
        descriptor_ = std::make_shared<BVBinaryDataDescriptorItem>();
        descriptor_->identifier = "f";
        descriptor_->path = "/f";
        backend_->storeItem(descriptor_);
    }
    // Stores content in pieces of the given sizes (cycling), as a download lands.
    void store(const std::string& bytes, std::vector<size_t> pieces) {
        size_t at = 0;
        for (size_t i = 0; at < bytes.size(); ++i) {
            const size_t n = std::min(pieces[i % pieces.size()], bytes.size() - at);
            ASSERT_TRUE(backend_->storeBinaryData(bv::Data(bytes.data() + at, n), "f", at)) << at;
            at += n;
        }
        descriptor_->completedBytes = int64_t(bytes.size());
        descriptor_->totalBytes = int64_t(bytes.size());
    }
    std::string read(uint64_t offset, uint64_t size) {
        return backend_->restoreBinaryDataOf(*descriptor_, offset, size).toString();
    }
    std::string content() const { return backend_->pathForBinaryItemWithKey("f"); }
    std::string sums() const { return backend_->pathForChecksumsWithKey("f"); }

    bvtest::TempDir dir_{"cache-checksums"};
    std::unique_ptr<BVCacheFileBackend> backend_;
    std::shared_ptr<BVBinaryDataDescriptorItem> descriptor_;
};

TEST_F(ChecksumBackendTest, PiecesOfAnySizeAreRecordedAndEveryRangeReadsBack) {
    const std::string bytes = pattern(5 * kBlock + 1234);
    store(bytes, {1, 4093, 65536, 100000, 7});
    EXPECT_EQ(fs::file_size(sums()), 8u + 6 * 8u);
    struct Range {
        uint64_t offset, size;
    };
    for (const auto& r : std::vector<Range>{{0, bytes.size()},
                                            {kBlock - 3, 10},
                                            {3 * kBlock, kBlock},
                                            {5 * kBlock + 1000, 10000},
                                            {17, 4 * kBlock},
                                            {uint64_t(bytes.size()), 5}}) {
        EXPECT_EQ(read(r.offset, r.size),
                  bytes.substr(std::min<size_t>(r.offset, bytes.size()), r.size))
            << r.offset << "+" << r.size;
    }
}

TEST_F(ChecksumBackendTest, DamageIsRaisedNeverServed) {
    const std::string bytes = pattern(4 * kBlock + 500);
    struct Damage {
        const char* name;
        std::function<void(const std::string& content, const std::string& sums)> apply;
        uint64_t readAt;  // a read that touches the damage
    };
    auto flipAt = [](uint64_t at) {
        return [at](const std::string& content, const std::string&) {
            std::fstream f(content, std::ios::in | std::ios::out | std::ios::binary);
            f.seekg(std::streamoff(at));
            char c = char(f.get() ^ 0x10);
            f.seekp(std::streamoff(at));
            f.put(c);
        };
    };
    const std::vector<Damage> damages = {
        {"byte flipped in the first block", flipAt(5), 0},
        {"byte flipped in a middle block", flipAt(2 * kBlock + 77), 2 * kBlock},
        {"byte flipped in the last block", flipAt(4 * kBlock + 499), 4 * kBlock},
        {"cut inside a block",
         [](const std::string& c, const std::string&) { fs::resize_file(c, 3 * kBlock + 9); }, 0},
        {"cut at a block boundary",
         [](const std::string& c, const std::string&) { fs::resize_file(c, 2 * kBlock); }, 0},
        {"checksums missing (a cache from before them)",
         [](const std::string&, const std::string& s) { fs::remove(s); }, kBlock},
        {"checksums cut", [](const std::string&, const std::string& s) { fs::resize_file(s, 20); },
         3 * kBlock},
        {"checksum file of another format",
         [](const std::string&, const std::string& s) { std::ofstream(s) << "garbage!garbage!"; },
         0},
    };
    for (const auto& d : damages) {
        backend_->purgeBinaryData("f");
        store(bytes, {65536});
        ASSERT_EQ(read(0, bytes.size()), bytes) << d.name;
        d.apply(content(), sums());
        EXPECT_THROW(read(d.readAt, 4096), BVCacheDamagedException) << d.name;
    }
}

// Small content keeps its checksums in an attribute of the content file, and damage to either
// is found as it is with the checksum file.
TEST_F(ChecksumBackendTest, SmallContentCarriesItsChecksumsAndTheirDamageIsRaised) {
    if (::setxattr(dir_.path().c_str(), "user.probe", "x", 1, 0) != 0 && errno == ENOTSUP)
        GTEST_SKIP() << "no extended attributes here; small content uses the checksum file";
    auto attribute = [](const std::string& content) {
        char value[64];
        const ssize_t n =
            ::getxattr(content.c_str(), BVCacheChecksums::kAttribute, value, sizeof value);
        return n < 0 ? std::string() : std::string(value, size_t(n));
    };
    const std::string bytes = pattern(kBlock - 1, 5);
    struct Damage {
        const char* name;
        std::function<void(const std::string& content)> apply;
    };
    const std::vector<Damage> damages = {
        {"byte flipped",
         [](const std::string& c) {
             std::fstream f(c, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(100);
             f.put('\x7f');
         }},
        {"checksums gone",
         [](const std::string& c) { ::removexattr(c.c_str(), BVCacheChecksums::kAttribute); }},
        {"checksums of another format",
         [](const std::string& c) {
             ::setxattr(c.c_str(), BVCacheChecksums::kAttribute, "garbage!garbage!", 16, 0);
         }},
    };
    for (const auto& d : damages) {
        backend_->purgeBinaryData("f");
        store(bytes, {1, 4095, 20000});
        EXPECT_FALSE(fs::exists(sums())) << d.name;
        EXPECT_EQ(attribute(content()).size(), 16u) << d.name;
        ASSERT_EQ(read(0, bytes.size()), bytes) << d.name;
        d.apply(content());
        EXPECT_THROW(read(0, 4096), BVCacheDamagedException) << d.name;
    }

    // Growing past the first block moves the checksums into the file beside, which then holds
    // the records of the bytes before as well.
    backend_->purgeBinaryData("f");
    const std::string grown = pattern(3 * kBlock + 7, 6);
    store(grown, {1000, kBlock - 1000 - 1, 1, 2 * kBlock + 7});
    EXPECT_EQ(attribute(content()), "");
    EXPECT_EQ(fs::file_size(sums()), 8u + 4 * 8u);
    EXPECT_EQ(read(0, grown.size()), grown);
    // Content emptied for a new start forgets them.
    backend_->purgeBinaryData("f");
    store(pattern(10, 8), {10});
    EXPECT_EQ(attribute(content()).size(), 16u);
    auto open = backend_->openContentForAppend("f");
    ASSERT_TRUE(open);
    EXPECT_EQ(open->length, 10u);
    ASSERT_TRUE(backend_->emptyContent(open->fd.get(), "f"));
    EXPECT_EQ(attribute(content()), "");
    EXPECT_FALSE(fs::exists(sums()));
}

TEST_F(ChecksumBackendTest, UnrecordedBytesAreDroppedBeforeAppendingAndPurgesDropChecksums) {
    store(pattern(kBlock + 10), {kBlock + 10});
    // Bytes that landed without their record, as after a crash between the two.
    { std::ofstream(content(), std::ios::app | std::ios::binary) << "unrecorded"; }
    auto open = backend_->openContentForAppend("f");
    ASSERT_TRUE(open);
    EXPECT_EQ(open->length, 0u) << "the content no checksum vouches for is dropped";
    open.reset();

    store(pattern(100, 3), {100});
    EXPECT_EQ(read(0, 100), pattern(100, 3));
    backend_->purgeBinaryData("f");
    EXPECT_FALSE(fs::exists(sums()));
    EXPECT_EQ(fs::file_size(content()), 0u);
}

}  // namespace
