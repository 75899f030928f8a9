#include <gtest/gtest.h>

#include <fstream>

#include <functional>
#include <vector>

#include "BVApi/Cache/BVCacheContentItem.h"
#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVCacheException.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "CacheTestSupport.h"
#include "TempDir.h"
#include "app/Utilities.h"

namespace fs = std::filesystem;
using namespace cachetest;

namespace {

class ControllerTest : public ::testing::Test {
  protected:
    void SetUp() override { start("run-1"); }
    void TearDown() override { BVCacheController::resetSharedController(); }

    // A new controller on the same folder, as after a restart of the program.
    void start(const std::string& run) {
        cache_.reset();
        cache_ = BVCacheController::cacheControllerAt(root(), {clock_, run});
    }
    fs::path root() const { return dir_.path() / "Cache"; }

    std::shared_ptr<BVBinaryDataDescriptorItem> descriptor(const std::string& id,
                                                           const std::string& path) {
        auto d = std::make_shared<BVBinaryDataDescriptorItem>();
        d->identifier = id;
        d->path = path;
        return d;
    }

    bvtest::TempDir dir_{"cache-controller"};
    std::shared_ptr<bv::ManualClock> clock_ = std::make_shared<bv::ManualClock>();
    std::shared_ptr<BVCacheController> cache_;
};

TEST_F(ControllerTest, StoredItemsComeBackWithTheirMetadata) {
    auto l = listing("F1", "/Docs");
    l->files.push_back(fileInfo("a", "a.txt"));
    l->folders.push_back(folder("D", "Sub"));
    cache_->storeItem(l);

    auto back = cache_->fetchFolderList("F1");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->path, "/Docs");
    auto meta = cache_->fetchMetaOfItemWithKey("F1", BVFolderListItem::itemClass());
    ASSERT_TRUE(meta);
    EXPECT_EQ((*meta)["orig_class"], "BVFolderListItem");
    EXPECT_EQ((*meta)["runtimeid"], "run-1");
    EXPECT_EQ((*meta)["controller_version"], "1.0");
    EXPECT_EQ((*meta)["lastindex"], clock_->now());
    EXPECT_EQ((*meta)["invalidated"], false);
    EXPECT_EQ((*meta)["key"], "F1");
    EXPECT_EQ((*meta)["files"], nlohmann::json::array({"a.txt"}));
    EXPECT_EQ((*meta)["folders"], nlohmann::json::array({"Sub"}));
    EXPECT_EQ((*meta)["encrypted"], 0);
    EXPECT_EQ((*meta)["vhash"],
              BVCacheContentItem::cacheIndexVersioningHash(BVFolderListItem::itemClass()));
    EXPECT_EQ(BVCacheContentItem::cacheIndexVersioningHash(BVFSIdItem::itemClass()),
              Utilities::md5HexDigest("identifier:path:"));
    EXPECT_EQ(BVCacheController::sharedController(), cache_);

    // The names are answered however the entry holds them: taken from the listing before the
    // first flush, from its encoding after it, through an invalidation, and from the disk.
    const auto& cls = BVFolderListItem::itemClass();
    const auto files = nlohmann::json::array({"a.txt"});
    cache_->flush();
    EXPECT_EQ((*cache_->fetchMetaOfItemWithKey("F1", cls))["files"], files) << "flushed";
    cache_->invalidateItemWithKey("F1", cls);
    cache_->flush();
    EXPECT_EQ((*cache_->fetchMetaOfItemWithKey("F1", cls))["files"], files) << "invalidated";
    start("run-2");
    auto reread = cache_->fetchMetaOfItemWithKey("F1", cls);
    ASSERT_TRUE(reread);
    EXPECT_EQ((*reread)["files"], files);
    EXPECT_EQ((*reread)["folders"], nlohmann::json::array({"Sub"}));
    EXPECT_EQ((*reread)["invalidated"], true);
}

TEST_F(ControllerTest, ValidityFollowsEachClassRule) {
    struct Case {
        std::string name;
        BVItemRef item;
        const BVItemClass& cls;
        double wait;
        bool restart;
        bool valid;
    };
    auto links = std::make_shared<BVUserLinksItem>();
    auto handle = std::make_shared<BVUploadFileHandle>();
    handle->identifier = "H";
    auto mapping = std::make_shared<BVFolderFSIdItem>();
    mapping->identifier = "77";
    mapping->path = "/Docs/Sub";
    const auto& listings = BVFolderListItem::itemClass();
    std::vector<Case> cases = {
        {"plain listing after restart", listing("P", "/p", 0), listings, 100000, true, true},
        {"encrypted listing same run", listing("E", "/e", 1), listings, 100000, false, true},
        {"encrypted listing after restart", listing("E", "/e", 1), listings, 0, true, false},
        {"trash listing encrypted after restart", listing<BVTrashFolderListItem>("T", "/t", 1),
         listings, 0, true, false},
        {"shared listing at 119 s", listing<BVSharedFolderListItem>("S", "/s"), listings, 119,
         false, true},
        {"shared listing at 121 s", listing<BVSharedFolderListItem>("S", "/s"), listings, 121,
         false, false},
        {"stub listing at 1.9 s", listing<BVStubFolderListItem>("X", "/x"), listings, 1.9, false,
         true},
        {"stub listing at 2 s", listing<BVStubFolderListItem>("X", "/x"), listings, 2, false,
         false},
        {"upload handle at 119 s", handle, BVUploadFileHandle::itemClass(), 119, false, true},
        {"upload handle at 121 s", handle, BVUploadFileHandle::itemClass(), 121, false, false},
        {"user links same run", links, BVUserLinksItem::itemClass(), 1e6, false, true},
        {"user links after restart", links, BVUserLinksItem::itemClass(), 0, true, false},
        {"file info after restart", fileInfo("I"), BVFileInfoItem::itemClass(), 1e7, true, true},
        {"path mapping after restart", mapping, BVFSIdItem::itemClass(), 1e7, true, true},
    };
    int run = 1;
    for (const auto& c : cases) {
        cache_->storeItem(c.item);
        clock_->advance(c.wait);
        if (c.restart)
            start("run-" + std::to_string(++run));
        std::string key = BVCacheContentItem::cacheIndexKey(*c.item);
        EXPECT_EQ(cache_->fetchItemWithKey(key, c.cls) != nullptr, c.valid) << c.name;
        // An invalid entry stays in the index with its file.
        EXPECT_TRUE(cache_->indexOf(c.cls).haveIndexFor(key)) << c.name;
    }
}

TEST_F(ControllerTest, HashMismatchAndInvalidationMakeEntriesAbsent) {
    const auto& cls = BVFileInfoItem::itemClass();
    cache_->storeItem(fileInfo("A"));
    cache_->storeItem(fileInfo("B"));
    auto meta = *cache_->fetchMetaOfItemWithKey("A", cls);
    meta["vhash"] = Utilities::md5HexDigest("identifier:name:");  // an older property list
    cache_->indexOf(cls).setMeta(meta, "A");
    cache_->invalidateItemWithKey("B", cls);
    cache_->touchItemForcedWithKey("B", cls);  // does nothing for an invalid entry

    start("run-2");
    EXPECT_FALSE(cache_->fetchItemWithKey("A", cls));
    EXPECT_FALSE(cache_->fetchItemWithKey("B", cls));
    EXPECT_TRUE(fs::exists(cache_->backend().pathForItemWithKey("A", cls)));
    EXPECT_EQ((*cache_->fetchMetaOfItemWithKey("B", cls))["invalidated"], true);

    cache_->storeItem(fileInfo("A"));
    EXPECT_TRUE(cache_->fetchItemWithKey("A", cls));
}

TEST_F(ControllerTest, EntryChangesDecideTheNextFetchOfAnItemHeldInMemory) {
    const auto& cls = BVFileInfoItem::itemClass();
    auto withMeta = [&](const char* field, nlohmann::json value) {
        return [this, &cls, field, value] {
            auto meta = *cache_->fetchMetaOfItemWithKey("K", cls);
            meta[field] = value;
            cache_->indexOf(cls).setMeta(meta, "K");
        };
    };
    struct Case {
        const char* name;
        std::function<void()> change;
        bool found;
    };
    const std::vector<Case> cases = {
        {"invalidated", [&] { cache_->invalidateItemWithKey("K", cls); }, false},
        {"invalidated, then stored",
         [&] {
             cache_->invalidateItemWithKey("K", cls);
             cache_->storeItem(fileInfo("K"));
         },
         true},
        {"purged", [&] { cache_->purgeItemWithKey("K", cls); }, false},
        {"purged, then stored",
         [&] {
             cache_->purgeItemWithKey("K", cls);
             cache_->storeItem(fileInfo("K"));
         },
         true},
        {"other controller version", withMeta("controller_version", "0.9"), false},
        {"unknown original class", withMeta("orig_class", "NoSuchClass"), false},
        {"original class with another rule", withMeta("orig_class", "BVUploadFileHandle"), false},
        {"invalidated, then its entry set valid again",
         [&] {
             cache_->invalidateItemWithKey("K", cls);
             withMeta("invalidated", false)();
         },
         true},
    };
    for (const auto& c : cases) {
        cache_->storeItem(fileInfo("K"));
        ASSERT_TRUE(cache_->fetchItemWithKey("K", cls)) << c.name;
        c.change();
        EXPECT_EQ(cache_->fetchItemWithKey("K", cls) != nullptr, c.found) << c.name;
    }
}

TEST_F(ControllerTest, TouchRefreshesTheStoreTime) {
    cache_->storeItem(listing<BVSharedFolderListItem>("S", "/s"));
    clock_->advance(100);
    cache_->touchItemForcedWithKey("S", BVFolderListItem::itemClass());
    clock_->advance(100);
    EXPECT_TRUE(cache_->fetchFolderList("S"));
}

// Item files are renamed into place unsynced: a power loss may leave one missing, empty or
// cut short, and each of those must read as not cached.
TEST_F(ControllerTest, MissingOrDamagedItemFileDropsTheKeyUntilTheNextStore) {
    const auto& cls = BVFileInfoItem::itemClass();
    for (auto key : {"gone", "damaged", "empty", "cut"})
        cache_->storeItem(fileInfo(key));
    start("run-1");  // nothing in memory
    const auto pathOf = [&](const char* key) {
        return cache_->backend().pathForItemWithKey(key, cls);
    };
    fs::remove(pathOf("gone"));
    writeAll(pathOf("damaged"), "\xbf\x66$class");
    writeAll(pathOf("empty"), "");
    fs::resize_file(pathOf("cut"), fs::file_size(pathOf("cut")) / 2);
    for (auto key : {"gone", "damaged", "empty", "cut"}) {
        EXPECT_FALSE(cache_->fetchItemWithKey(key, cls)) << key;
        EXPECT_FALSE(cache_->indexOf(cls).haveIndexFor(key)) << key;
        cache_->storeItem(fileInfo(key));
    }
    start("run-1");
    for (auto key : {"gone", "damaged", "empty", "cut"})
        EXPECT_TRUE(cache_->fetchItemWithKey(key, cls)) << key;
}

TEST_F(ControllerTest, UnreadableIndexIsMovedAsideNeverOverwritten) {
    const auto& cls = BVFileInfoItem::itemClass();
    const std::string indexPath = cache_->backend().pathForIndexOfClass(cls);
    const std::string aside = indexPath + BVCacheFileBackend::kUnreadableSuffix;
    cache_->storeItem(fileInfo("A"));
    cache_->flush();
    const std::string good = readAll(indexPath);
    struct Case {
        std::string name;
        std::function<void()> damage;
        std::string keptBytes;
    };
    const std::vector<Case> cases = {
        {"truncated", [&] { writeAll(indexPath, good.substr(0, good.size() / 2)); },
         good.substr(0, good.size() / 2)},
        {"read error",
         [&] {
             cache_->backend().setIoFault([&](BVCacheFileBackend::Io io, const std::string& path) {
                 return io == BVCacheFileBackend::Io::Read && path == indexPath ? EIO : 0;
             });
         },
         good},
    };
    for (const auto& c : cases) {
        start("run-1");
        fs::remove(aside);
        writeAll(indexPath, good);
        start("run-1");
        c.damage();
        EXPECT_FALSE(cache_->fetchItemWithKey("A", cls)) << c.name;
        cache_->backend().setIoFault(nullptr);
        EXPECT_EQ(readAll(aside), c.keptBytes) << c.name << ": the unreadable file is kept";
        // The next store writes a new index beside it.
        cache_->storeItem(fileInfo("B"));
        start("run-1");
        EXPECT_TRUE(cache_->fetchItemWithKey("B", cls)) << c.name;
        EXPECT_EQ(readAll(aside), c.keptBytes) << c.name;
        EXPECT_EQ(modeOf(indexPath), 0600u);
    }
}

TEST_F(ControllerTest, IndexThatCanNeitherBeReadNorMovedAsideIsLeftAsItIs) {
    const auto& cls = BVFileInfoItem::itemClass();
    cache_->storeItem(fileInfo("A"));
    start("run-1");
    const std::string indexPath = cache_->backend().pathForIndexOfClass(cls);
    const std::string good = readAll(indexPath);
    // Every name for a copy is taken by earlier ones.
    writeAll(indexPath + BVCacheFileBackend::kUnreadableSuffix, "old");
    for (int n = 2; n <= BVCacheFileBackend::kUnreadableCopies; ++n)
        writeAll(indexPath + BVCacheFileBackend::kUnreadableSuffix + "-" + std::to_string(n),
                 "old");
    cache_->backend().setIoFault([&](BVCacheFileBackend::Io io, const std::string& path) {
        return io == BVCacheFileBackend::Io::Read && path == indexPath ? EIO : 0;
    });
    EXPECT_FALSE(cache_->fetchItemWithKey("A", cls));
    cache_->storeItem(fileInfo("B"));
    cache_->flush();
    EXPECT_EQ(readAll(indexPath), good);
    EXPECT_TRUE(cache_->fetchItemWithKey("B", cls)) << "this run keeps the index in memory";
    cache_->backend().setIoFault(nullptr);
    start("run-1");
    EXPECT_TRUE(cache_->fetchItemWithKey("A", cls));
}

TEST_F(ControllerTest, FullDiskDuringAStoreLeavesThePreviousIndexReadable) {
    const auto& cls = BVFileInfoItem::itemClass();
    cache_->storeItem(fileInfo("A"));
    cache_->flush();
    cache_->backend().setWriteFault([](const std::string&) { return true; });
    cache_->storeItem(fileInfo("B"));
    EXPECT_TRUE(cache_->fetchItemWithKey("B", cls)) << "the memory copy serves this run";

    start("run-1");
    EXPECT_TRUE(cache_->fetchItemWithKey("A", cls));
    EXPECT_FALSE(cache_->fetchItemWithKey("B", cls));
}

TEST_F(ControllerTest, PurgeDuringAFullDiskDoesNotResurrectTheItem) {
    const auto& cls = BVFileInfoItem::itemClass();
    cache_->storeItem(fileInfo("A"));
    cache_->flush();
    cache_->backend().setWriteFault([](const std::string&) { return true; });
    cache_->purgeItemWithKey("A", cls);
    start("run-1");
    EXPECT_FALSE(cache_->fetchItemWithKey("A", cls));
}

TEST_F(ControllerTest, ItemChecksRaiseForTheItemOperations) {
    auto keyless = std::make_shared<BVFileInfoItem>();
    struct Case {
        BVItemRef item;
        std::string reason;
    };
    for (const auto& c :
         std::vector<Case>{{nullptr, "cache controller received nil item!"},
                           {keyless, "cache controller received item without .cacheIndexKey!"}}) {
        for (auto op : std::vector<std::function<void()>>{
                 [&] { cache_->purgeItem(c.item); }, [&] { cache_->purgeItemForced(c.item); },
                 [&] { cache_->fetchMetaOfItem(c.item); }}) {
            try {
                op();
                ADD_FAILURE() << "expected " << c.reason;
            } catch (const BVCacheException& e) {
                EXPECT_EQ(e.reason(), c.reason);
            }
        }
        EXPECT_NO_THROW(cache_->storeItem(c.item));
    }
    EXPECT_NO_THROW(cache_->purgeItemForcedWithKey("never", BVFileInfoItem::itemClass()));
    EXPECT_EQ(cache_->indexOf(BVFileInfoItem::itemClass()).count(), 0u);
}

TEST_F(ControllerTest, PurgeRemovesEntryAndFile) {
    const auto& cls = BVFileInfoItem::itemClass();
    cache_->storeItem(fileInfo("A"));
    cache_->purgeItemWithKey("A", cls);
    cache_->flush();
    EXPECT_FALSE(fs::exists(cache_->backend().pathForItemWithKey("A", cls)));
    start("run-1");
    EXPECT_FALSE(cache_->indexOf(cls).haveIndexFor("A"));
}

TEST_F(ControllerTest, FolderListAtIgnoresCaseAndDiacritics) {
    cache_->storeItem(listing("1", "/Docs/R\u00e9sum\u00e9s"));
    struct Case {
        std::string path;
        bool found;
    };
    for (const auto& c : std::vector<Case>{{"/Docs/R\u00e9sum\u00e9s", true},
                                           {"/docs/resumes", true},
                                           {"/DOCS/Re\u0301SUME\u0301S", true},
                                           {"/Docs/Resume", false},
                                           {"/Docs", false}}) {
        auto found = cache_->fetchFolderListAt(c.path);
        EXPECT_EQ(found != nullptr, c.found) << c.path;
        if (found) {
            EXPECT_EQ(found->identifier, "1");
        }
    }
}

TEST_F(ControllerTest, TwoListingsForOnePathPreferTheExactPathElseTheLatest) {
    cache_->storeItem(listing("old", "/Photos"));
    clock_->advance(10);
    cache_->storeItem(listing("new", "/photos"));
    EXPECT_EQ(cache_->fetchFolderListAt("/Photos")->identifier, "old");
    EXPECT_EQ(cache_->fetchFolderListAt("/photos")->identifier, "new");
    EXPECT_EQ(cache_->fetchFolderListAt("/PHOTOS")->identifier, "new");
    try {
        cache_->fetchItemWithPredicate(BVCacheFilter::pathMatching("/PHOTOS"),
                                       BVFolderListItem::itemClass());
        FAIL() << "expected the more-than-one-row exception";
    } catch (const BVCacheException& e) {
        EXPECT_EQ(e.reason(), "fetch item with predicate query resulted in more than 1 row (2).");
    }
}

TEST_F(ControllerTest, ContentDescriptorFollowsItsFileOnTheService) {
    auto l = listing("P", "/Docs");
    l->files.push_back(fileInfo("f", "a.txt", clock_->now() + 1));
    cache_->storeItem(l);
    cache_->storeItem(descriptor("f", "/Docs/a.txt"));
    EXPECT_TRUE(cache_->fetchBinaryDataDescriptor("f")) << "found through the parent listing";

    // The file record says it changed 1.5 s / 2 s after the descriptor's store.
    struct Case {
        double modifiedAfterStore;
        bool valid;
    };
    for (const auto& c : std::vector<Case>{{1.5, true}, {2, false}}) {
        cache_->storeItem(descriptor("f", "/Docs/a.txt"));
        cache_->storeItem(fileInfo("f", "a.txt", clock_->now() + c.modifiedAfterStore));
        EXPECT_EQ(cache_->fetchBinaryDataDescriptor("f") != nullptr, c.valid)
            << c.modifiedAfterStore;
    }
    cache_->storeItem(fileInfo("f", "a.txt", clock_->now()));
    fs::remove(cache_->pathForBinaryItemWithKey("f"));
    EXPECT_FALSE(cache_->fetchBinaryDataDescriptor("f")) << "content file gone";
    cache_->storeItem(descriptor("orphan", "/Nowhere/x"));
    EXPECT_FALSE(cache_->fetchBinaryDataDescriptor("orphan")) << "no file item";
}

TEST_F(ControllerTest, ContentStoresRecordProgressAndRefuseWrongOffsets) {
    cache_->storeItem(fileInfo("f", "a.txt", clock_->now()));
    cache_->storeItem(descriptor("f", "/a.txt"));
    struct Step {
        int64_t offset;
        std::string bytes;
        bool stored;
        int64_t completed;
    };
    for (const auto& s : std::vector<Step>{{0, "hello ", true, 6},
                                           {6, "world", true, 11},
                                           {20, "gap", false, 11},
                                           {-1, "neg", false, 11}}) {
        EXPECT_EQ(cache_->storeBinaryData(bv::Data::fromString(s.bytes), s.offset, 11, "f"),
                  s.stored);
        EXPECT_EQ(cache_->fetchBinaryDataDescriptor("f")->completedBytes, s.completed);
    }
    start("run-2");
    auto d = cache_->fetchBinaryDataDescriptor("f");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->completedBytes, 11);
    EXPECT_EQ(d->totalBytes, 11);
    EXPECT_EQ(cache_->fetchBinaryDataOf("f", 6, 100).toString(), "world");

    EXPECT_FALSE(cache_->storeBinaryData(bv::Data::fromString("x"), 0, 1, "nodescriptor"));
    EXPECT_FALSE(fs::exists(cache_->pathForBinaryItemWithKey("nodescriptor")));
    EXPECT_THROW(cache_->fetchBinaryDataOf("nodescriptor", 0, 1), BVCacheException);
    bv::Error error;
    EXPECT_FALSE(cache_->fetchBinaryDataOf("nodescriptor", 0, 1, &error));
    EXPECT_EQ(error.code(), -1000);

    // Emptied content under a descriptor that claims bytes is no end of file for a reader.
    cache_->purgeBinaryDataForcedOf("f");
    EXPECT_THROW(cache_->fetchBinaryDataOf("f", 0, 100), BVCacheDamagedException);
    EXPECT_FALSE(cache_->fetchBinaryDataDescriptor("f"));
}

TEST_F(ControllerTest, DamagedContentIsDroppedWithItsDescriptorNeverAnswered) {
    cache_->storeItem(fileInfo("f", "a.txt", clock_->now()));
    cache_->storeItem(descriptor("f", "/a.txt"));
    ASSERT_TRUE(cache_->storeBinaryData(bv::Data::fromString("hello world"), 0, 11, "f"));
    {
        std::fstream f(cache_->pathForBinaryItemWithKey("f"),
                       std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4);
        f.put('0');
    }
    bv::Error error;
    EXPECT_FALSE(cache_->fetchBinaryDataOf("f", 0, 11, &error));
    EXPECT_EQ(error.code(), BVCacheController::kErrorContentDamaged);
    EXPECT_FALSE(cache_->fetchBinaryDataDescriptor("f")) << "the descriptor must go with it";
    EXPECT_EQ(std::filesystem::file_size(cache_->pathForBinaryItemWithKey("f")), 0u);
}

TEST_F(ControllerTest, ContentNoDescriptorClaimsGivesWayToANewDownload) {
    cache_->storeItem(fileInfo("f", "a.txt", clock_->now()));
    cache_->storeItem(descriptor("f", "/a.txt"));
    ASSERT_TRUE(cache_->storeBinaryData(bv::Data::fromString("old content"), 0, 11, "f"));
    // As after a lost index: a fresh descriptor over the content file left behind.
    cache_->storeItem(descriptor("f", "/a.txt"));
    EXPECT_TRUE(cache_->storeBinaryData(bv::Data::fromString("fresh"), 0, 5, "f"));
    EXPECT_EQ(cache_->fetchBinaryDataOf("f", 0, 100).toString(), "fresh");
}

TEST_F(ControllerTest, PurgingAFolderCascadesThroughItsListings) {
    // Root R holds A; A holds B and C; B holds D, whose damaged listing names B again.
    auto r = listing("R", "/");
    r->folders = {folder("A", "A")};
    auto a = listing("A", "/A");
    a->folders = {folder("B", "B"), folder("C", "C")};
    a->files = {fileInfo("file-in-A", "x.txt")};
    auto b = listing("B", "/A/B");
    b->folders = {folder("D", "D")};
    auto d = listing("D", "/A/B/D");
    d->folders = {folder("B", "loop")};
    for (auto& l : {r, a, b, d})
        cache_->storeItem(l);
    cache_->storeItem(fileInfo("file-in-A", "x.txt"));
    auto mapB = std::make_shared<BVFolderFSIdItem>();
    mapB->identifier = "B";
    mapB->path = "/A/B";
    cache_->storeItem(mapB);
    auto mapA = std::make_shared<BVFolderFSIdItem>();
    mapA->identifier = "A";
    mapA->path = "/A";
    cache_->storeItem(mapA);

    cache_->purgeCacheForFolder("A", "R");

    const auto& lc = BVFolderListItem::itemClass();
    for (auto id : {"A", "B", "D"})
        EXPECT_FALSE(cache_->indexOf(lc).haveIndexFor(id)) << id;
    EXPECT_FALSE(cache_->indexOf(BVFSIdItem::itemClass()).haveIndexFor("/a/b"));
    EXPECT_FALSE(cache_->indexOf(BVFSIdItem::itemClass()).haveIndexFor("/a"));
    EXPECT_TRUE(cache_->fetchItemWithKey("file-in-A", BVFileInfoItem::itemClass()));
    auto root = cache_->fetchFolderList("R");
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->folders.empty());
    EXPECT_EQ(r->folders.size(), 1u) << "the stored object itself is never changed";
}

TEST_F(ControllerTest, PurgingAFileRemovesItsEntryRecordAndContent) {
    auto p = listing("P", "/");
    p->files = {fileInfo("f", "a.txt", clock_->now()), fileInfo("g", "b.txt")};
    cache_->storeItem(p);
    cache_->storeItem(fileInfo("f", "a.txt", clock_->now()));
    cache_->storeItem(descriptor("f", "/a.txt"));
    ASSERT_TRUE(cache_->storeBinaryData(bv::Data::fromString("abc"), 0, 3, "f"));

    cache_->purgeCacheForFile("f", "P");
    start("run-1");
    auto back = cache_->fetchFolderList("P");
    ASSERT_TRUE(back);
    ASSERT_EQ(back->files.size(), 1u);
    EXPECT_EQ(back->files[0]->identifier, "g");
    EXPECT_FALSE(cache_->fetchItemWithKey("f", BVFileInfoItem::itemClass()));
    EXPECT_FALSE(cache_->indexOf(BVBinaryDataDescriptorItem::itemClass()).haveIndexFor("f"));
    EXPECT_EQ(fs::file_size(cache_->pathForBinaryItemWithKey("f")), 0u);
}

TEST_F(ControllerTest, PathMappingsArePurgedByPathAndByIdentifier) {
    const auto& cls = BVFSIdItem::itemClass();
    for (auto [id, path] : std::vector<std::pair<std::string, std::string>>{
             {"7", "/A/One"}, {"7", "/a/one-alias"}, {"8", "/B"}}) {
        auto m = std::make_shared<BVFSIdItem>();
        m->identifier = id;
        m->path = path;
        cache_->storeItem(m);
    }
    EXPECT_TRUE(cache_->fetch<BVFSIdItem>("/a/one", cls));
    cache_->purgeIdentifiersForcedOf("7");
    EXPECT_EQ(cache_->indexOf(cls).keys(), std::vector<std::string>{"/b"});
    cache_->purgeIdentifiersForcedAt("/B");
    EXPECT_EQ(cache_->indexOf(cls).count(), 0u);
}

TEST_F(ControllerTest, SecondControllerBecomesTheSharedOne) {
    auto session = std::make_shared<BVUserSessionItem>();
    session->username = "ann";
    session->driveName = "Cloud";
    cache_->storeItem(session);
    EXPECT_EQ(Utilities::currentUserSession()->username, "ann");

    bvtest::TempDir other("cache-other");
    auto second = BVCacheController::cacheControllerAt(other.path() / "Cache", {clock_, "run-1"});
    EXPECT_EQ(BVCacheController::sharedController(), second);
    EXPECT_FALSE(Utilities::currentUserSession());
}

}  // namespace
