#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "BVApi/Cache/BVCacheException.h"
#include "BVApi/Cache/BVCacheFileBackend.h"
#include "BVApi/Cache/BVCacheIndex.h"
#include "BVApi/Content/BVTransferItems.h"
#include "CacheTestSupport.h"
#include "TempDir.h"

namespace fs = std::filesystem;
using namespace cachetest;

namespace {

class BackendTest : public ::testing::Test {
  protected:
    fs::path root() const { return dir_.path() / "Cache"; }
    std::unique_ptr<BVCacheFileBackend> make() {
        return std::make_unique<BVCacheFileBackend>(root());
    }

    std::shared_ptr<BVBinaryDataDescriptorItem> descriptor(const std::string& id) {
        auto d = std::make_shared<BVBinaryDataDescriptorItem>();
        d->identifier = id;
        d->path = "/" + id;
        return d;
    }

    bvtest::TempDir dir_{"cache-backend"};
};

TEST_F(BackendTest, NamesFilesByClassAndDigestOfTheKey) {
    auto backend = make();
    backend->storeItem(fileInfo("abc"));
    EXPECT_TRUE(fs::exists(root() / "BVFileInfoItem.900150983cd24fb0d6963f7d28e17f72.cache"));
    EXPECT_EQ(backend->pathForBinaryItemWithKey("abc"),
              (root() / "900150983cd24fb0d6963f7d28e17f72.binary").string());
    EXPECT_EQ(backend->pathForIndexOfClass(BVFolderListItem::itemClass()),
              (root() / "BVFolderListItem.index").string());
    // Every listing class shares the listing prefix.
    backend->storeItem(listing<BVSharedFolderListItem>("L", "/s"));
    EXPECT_TRUE(fs::exists(backend->pathForItemWithKey("L", BVFolderListItem::itemClass())));

    EXPECT_EQ(modeOf(root()), 0700u);
    EXPECT_EQ(modeOf(root() / "BVFileInfoItem.900150983cd24fb0d6963f7d28e17f72.cache"), 0600u);
}

TEST_F(BackendTest, RestoresFromDiskAndRefusesOtherClassesAndDamage) {
    {
        auto backend = make();
        auto item = fileInfo("k1", "report.txt", 42);
        backend->storeItem(item);
        backend->storeItem(fileInfo("k2"));
    }
    auto backend = make();
    auto restored = std::dynamic_pointer_cast<BVFileInfoItem>(
        backend->restoreItem("k1", BVFileInfoItem::itemClass()));
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->name, "report.txt");
    EXPECT_EQ(restored->dateModified, 42);
    EXPECT_FALSE(backend->restoreItem("k1", BVFolderItem::itemClass()));
    EXPECT_FALSE(backend->restoreItem("missing", BVFileInfoItem::itemClass()));

    writeAll(backend->pathForItemWithKey("k2", BVFileInfoItem::itemClass()), "\xa1\x63garbage");
    EXPECT_FALSE(backend->restoreItem("k2", BVFileInfoItem::itemClass()));
    writeAll(backend->pathForIndexOfClass(BVFileInfoItem::itemClass()), "not an index");
    EXPECT_FALSE(backend->restoreIndex(BVFileInfoItem::itemClass()));
}

TEST_F(BackendTest, MemoryCacheKeepsTheHundredMostRecentlyUsed) {
    auto backend = make();
    const auto& cls = BVFileInfoItem::itemClass();
    for (int i = 0; i < 100; ++i)
        backend->storeItem(fileInfo("id" + std::to_string(i)));
    // Reading id1 from memory moves it to the back; storing id0 again keeps its place.
    ASSERT_TRUE(backend->restoreItem("id1", cls));
    backend->storeItem(fileInfo("id0"));
    backend->storeItem(fileInfo("id100"));

    auto keys = backend->memcacheKeys();
    ASSERT_EQ(keys.size(), 100u);
    EXPECT_EQ(keys.front(), backend->pathForItemWithKey("id2", cls));
    EXPECT_EQ(keys.back(), backend->pathForItemWithKey("id100", cls));
    EXPECT_EQ(std::count(keys.begin(), keys.end(), backend->pathForItemWithKey("id0", cls)), 0);
    EXPECT_EQ(std::count(keys.begin(), keys.end(), backend->pathForItemWithKey("id1", cls)), 1);

    // Reads from disk are bounded too.
    backend->clearMemcache();
    for (int i = 0; i <= 100; ++i)
        ASSERT_TRUE(backend->restoreItem("id" + std::to_string(i), cls));
    EXPECT_EQ(backend->memcacheKeys().size(), 100u);
}

TEST_F(BackendTest, MemoryCopiesAreKeptApartByClassAndDroppedByPurge) {
    auto backend = make();
    const auto& fileCls = BVFileInfoItem::itemClass();
    const auto& folderCls = BVFolderInfoItem::itemClass();
    auto info = std::make_shared<BVFolderInfoItem>();
    info->identifier = "7";
    backend->storeItem(fileInfo("7"));
    backend->storeItem(info);

    // One key under two classes names two files, so two memory copies.
    auto file = backend->restoreItem("7", fileCls);
    auto folder = backend->restoreItem("7", folderCls);
    ASSERT_TRUE(file && folder);
    EXPECT_TRUE(file->isKindOf(fileCls));
    EXPECT_TRUE(folder->isKindOf(folderCls));
    EXPECT_FALSE(backend->restoreItem("7", BVFileItem::itemClass()));

    backend->purgeItemWithKey("7", fileCls);
    EXPECT_FALSE(backend->restoreItem("7", fileCls));
    EXPECT_EQ(backend->restoreItem("7", folderCls), folder);
    EXPECT_EQ(backend->memcacheKeys(),
              std::vector<std::string>{backend->pathForItemWithKey("7", folderCls)});

    // The purged copy no longer counts against the limit.
    for (int i = 0; i < 99; ++i)
        backend->storeItem(fileInfo("id" + std::to_string(i)));
    EXPECT_EQ(backend->memcacheKeys().size(), 100u);
    EXPECT_EQ(backend->memcacheKeys().front(), backend->pathForItemWithKey("7", folderCls));
}

TEST_F(BackendTest, DescriptorStoreCreatesContentFileOnceAndAppendsOnlyAtTheEnd) {
    auto backend = make();
    auto d = descriptor("file1");
    backend->storeItem(d);
    std::string content = backend->pathForBinaryItemWithKey("file1");
    ASSERT_TRUE(fs::exists(content));
    EXPECT_EQ(fs::file_size(content), 0u);
    EXPECT_EQ(modeOf(content), 0600u);

    struct Append {
        uint64_t offset;
        std::string bytes;
        bool stored;
        uint64_t sizeAfter;
    };
    std::vector<Append> appends = {
        {0, "0123456789", true, 10},
        {10, "abcdefghij", true, 20},
        {30, "too late..", false, 20},  // a gap
        {5, "earlier...", false, 20},   // already written
    };
    for (const auto& a : appends) {
        EXPECT_EQ(backend->storeBinaryData(bv::Data::fromString(a.bytes), "file1", a.offset),
                  a.stored)
            << a.offset;
        EXPECT_EQ(fs::file_size(content), a.sizeAfter) << a.offset;
    }
    backend->storeItem(d);
    EXPECT_EQ(fs::file_size(content), 20u) << "a second descriptor store must not truncate";

    struct Read {
        uint64_t offset, size;
        std::string expected;
    };
    for (const auto& r :
         std::vector<Read>{{0, 4, "0123"}, {15, 100, "fghij"}, {20, 5, ""}, {1000, 5, ""}}) {
        EXPECT_EQ(backend->restoreBinaryDataOf(*d, r.offset, r.size).toString(), r.expected)
            << r.offset;
    }
    EXPECT_FALSE(backend->storeBinaryData(bv::Data::fromString("x"), "", 0));
}

TEST_F(BackendTest, PurgingContentEmptiesExistingFilesOnly) {
    auto backend = make();
    backend->storeItem(descriptor("f"));
    ASSERT_TRUE(backend->storeBinaryData(bv::Data::fromString(std::string(20, 'x')), "f", 0));
    backend->purgeBinaryData("f");
    EXPECT_EQ(fs::file_size(backend->pathForBinaryItemWithKey("f")), 0u);
    backend->purgeBinaryData("never");
    EXPECT_FALSE(fs::exists(backend->pathForBinaryItemWithKey("never")));

    auto missing = descriptor("never");
    EXPECT_FALSE(backend->validateBinaryDataOf(*missing));
    try {
        backend->restoreBinaryDataOf(*missing, 0, 1);
        FAIL() << "expected a read failure";
    } catch (const BVCacheException& e) {
        EXPECT_EQ(e.name(), "BVCacheController");
        EXPECT_EQ(e.reason(), "Failed to open file " + backend->pathForBinaryItemWithKey("never") +
                                  " for reading.");
    }
}

TEST_F(BackendTest, PurgingAMissingItemFileRaises) {
    auto backend = make();
    backend->storeItem(fileInfo("x"));
    EXPECT_NO_THROW(backend->purgeItemWithKey("x", BVFileInfoItem::itemClass()));
    EXPECT_FALSE(backend->restoreItem("x", BVFileInfoItem::itemClass())) << "memory copy dropped";
    EXPECT_THROW(backend->purgeItemWithKey("x", BVFileInfoItem::itemClass()), BVCacheException);
}

TEST_F(BackendTest, CreationTrimsOldestItemAndContentFilesToTheLimit) {
    fs::create_directory(root());
    const uint64_t mib = 1024 * 1024;
    // 20 sparse files of 10 MiB, each one second older than the next, plus a big index file.
    std::vector<fs::path> files;
    for (int i = 0; i < 20; ++i) {
        fs::path p = root() / (std::to_string(i) + (i % 2 ? ".binary" : ".cache"));
        int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_EQ(::ftruncate(fd, off_t(10 * mib)), 0);
        struct timespec times[2] = {{1000 + i, 0}, {1000 + i, 0}};
        ::futimens(fd, times);
        ::close(fd);
        files.push_back(p);
    }
    fs::path index = root() / "BVFolderListItem.index";
    {
        int fd = ::open(index.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_EQ(::ftruncate(fd, off_t(50 * mib)), 0);
        struct timespec times[2] = {{1, 0}, {1, 0}};
        ::futimens(fd, times);
        ::close(fd);
    }
    auto backend = make();
    EXPECT_LE(backend->totalCacheSize(), BVCacheFileBackend::kCacheSizeLimit);
    EXPECT_EQ(backend->totalCacheSize(), 120 * mib);
    for (int i = 0; i < 8; ++i)
        EXPECT_FALSE(fs::exists(files[i])) << i;
    for (int i = 8; i < 20; ++i)
        EXPECT_TRUE(fs::exists(files[i])) << i;
    EXPECT_TRUE(fs::exists(index));
}

TEST_F(BackendTest, CreationRaisesWhenTheParentIsMissing) {
    fs::path deep = dir_.path() / "no" / "such" / "Cache";
    try {
        BVCacheFileBackend backend(deep);
        FAIL() << "expected creation to raise";
    } catch (const BVCacheException& e) {
        EXPECT_EQ(e.name(), "BVCacheFileBackend");
        EXPECT_EQ(e.reason(), "Failed to create cache directory at " + deep.string());
    }
}

// Every system call would stop at the NUL and tidy up (remove leftovers, trim, chmod) the
// folder named before it.
TEST_F(BackendTest, CreationRefusesARootHoldingANul) {
    fs::path victim = dir_.path() / "victim";
    fs::create_directory(victim);
    ::chmod(victim.c_str(), 0755);
    { std::ofstream(victim / ".tmp-keep") << "precious"; }
    fs::path hostile = victim.string() + std::string("\0/Cache", 7);
    EXPECT_THROW(BVCacheFileBackend backend(hostile), BVCacheException);
    EXPECT_TRUE(fs::exists(victim / ".tmp-keep"));
    struct stat st {};
    ASSERT_EQ(::lstat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(BackendTest, FailedIndexWriteKeepsThePreviousFile) {
    auto backend = make();
    const auto& cls = BVFileInfoItem::itemClass();
    BVCacheIndex index;
    index.index(*fileInfo("a"), 1, "run");
    backend->storeIndex(index, cls);
    index.index(*fileInfo("b"), 2, "run");
    backend->setWriteFault([](const std::string& path) { return path.ends_with(".index"); });
    EXPECT_THROW(backend->storeIndex(index, cls), BVCacheException);

    auto restored = backend->restoreIndex(cls);
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->keys(), std::vector<std::string>{"a"});
    for (const auto& entry : fs::directory_iterator(root()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".tmp-")) << entry.path();
}

// A read that fails part-way must never pass for a shorter file.
TEST_F(BackendTest, ReadErrorsAreFailuresNotShortFiles) {
    auto backend = make();
    const auto& cls = BVFileInfoItem::itemClass();
    backend->storeItem(fileInfo("k", "report.txt"));
    auto d = descriptor("c");
    backend->storeItem(d);
    ASSERT_TRUE(backend->storeBinaryData(bv::Data::fromString(std::string(4096, 'x')), "c", 0));
    BVCacheIndex index;
    index.index(*fileInfo("k"), 1, "run");
    backend->storeIndex(index, cls);
    backend->clearMemcache();
    const std::string itemPath = backend->pathForItemWithKey("k", cls);
    const std::string indexPath = backend->pathForIndexOfClass(cls);
    const std::string indexBytes = readAll(indexPath);
    backend->setIoFault([](BVCacheFileBackend::Io io, const std::string&) {
        return io == BVCacheFileBackend::Io::Read ? EIO : 0;
    });

    EXPECT_FALSE(backend->restoreItem("k", cls));
    EXPECT_THROW(backend->restoreBinaryDataOf(*d, 0, 4096), BVCacheException);
    EXPECT_FALSE(backend->restoreIndex(cls));
    // Nothing was thrown away: the item file stays, the index is kept aside.
    EXPECT_TRUE(fs::exists(itemPath));
    EXPECT_FALSE(fs::exists(indexPath));
    EXPECT_EQ(readAll(indexPath + BVCacheFileBackend::kUnreadableSuffix), indexBytes);

    backend->setIoFault(nullptr);
    EXPECT_TRUE(backend->restoreItem("k", cls));
    EXPECT_EQ(backend->restoreBinaryDataOf(*d, 0, 8192).length(), 4096u);
    EXPECT_FALSE(backend->restoreIndex(cls)) << "a missing index is simply absent";
    EXPECT_FALSE(fs::exists(indexPath + BVCacheFileBackend::kUnreadableSuffix + "-2"));
}

}  // namespace
