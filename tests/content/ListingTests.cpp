#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVItemNames.h"
#include "BVApi/Content/BVSharingItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUnicodeNames.h"

namespace {

std::shared_ptr<BVFileItem> file(std::string id, std::string name) {
    auto f = std::make_shared<BVFileItem>();
    f->identifier = std::move(id);
    f->name = std::move(name);
    return f;
}

std::shared_ptr<BVFolderItem> folder(std::string id, std::string name) {
    auto f = std::make_shared<BVFolderItem>();
    f->identifier = std::move(id);
    f->name = std::move(name);
    return f;
}

// "É" decomposed (E + U+0301) as the listing stores it, and its precomposed lower case.
const std::string kUpperDecomposed = "\x45\xCC\x81t\xC3\xA9";  // "Été" half decomposed
const std::string kStoredName = BVUnicodeNames::decomposed("\xC3\x89t\xC3\xA9");  // "Été"

class ListingTest : public testing::Test {
  protected:
    void SetUp() override {
        listing.folders = {folder("d1", "Docs"), folder("d2", "Same"), folder("d3", kStoredName)};
        listing.files = {file("f1", "a.TXT"), file("f2", "same"), file("f3", "b.txt")};
    }
    BVFolderListItem listing;
};

TEST_F(ListingTest, ItemNamedIgnoresLetterCaseFoldersFirst) {
    struct Case {
        std::string asked;
        std::string foundId;  // empty: nothing
    };
    const std::vector<Case> cases{
        {"a.txt", "f1"},
        {"A.TXT", "f1"},
        {"docs", "d1"},
        {"same", "d2"},  // a folder wins over a file of the same name
        {"SAME", "d2"},
        {"missing", ""},
        {"", ""},
        {"\xC3\xA9t\xC3\xA9", "d3"},  // "été" precomposed finds the decomposed "Été"
        {"\xC3\x89T\xC3\x89", "d3"},  // "ÉTÉ"
        {kUpperDecomposed, "d3"},
    };
    for (const auto& c : cases) {
        auto found = listing.itemNamed(c.asked);
        EXPECT_EQ(found ? found->identifier : "", c.foundId) << c.asked;
        EXPECT_EQ(listing.containsItemNamed(c.asked), !c.foundId.empty()) << c.asked;
    }
}

TEST_F(ListingTest, RemoveItemNamedIsCaseSensitive) {
    listing.removeItemNamed("A.TXT");
    EXPECT_EQ(listing.files.size(), 3u);
    listing.removeItemNamed("a.TXT");
    EXPECT_THAT(listing.itemNames(),
                testing::ElementsAre("Docs", "Same", kStoredName, "same", "b.txt"));
    listing.removeItemNamed("Same");  // the folder only; the file "same" differs in case
    EXPECT_THAT(listing.itemNames(), testing::ElementsAre("Docs", kStoredName, "same", "b.txt"));
}

TEST_F(ListingTest, RemoveItemWithIdentifierRemovesEveryMatch) {
    listing.files.push_back(file("d1", "odd"));
    listing.removeItemWithIdentifier("d1");
    EXPECT_THAT(listing.itemNames(),
                testing::ElementsAre("Same", kStoredName, "a.TXT", "same", "b.txt"));
}

TEST_F(ListingTest, CombinedItemsAreFoldersThenFiles) {
    auto items = listing.combinedItems();
    std::vector<std::string> ids;
    for (const auto& item : items)
        ids.push_back(item->identifier);
    EXPECT_THAT(ids, testing::ElementsAre("d1", "d2", "d3", "f1", "f2", "f3"));
}

TEST_F(ListingTest, InsertReplacesEqualEntriesAtTheEnd) {
    listing.files.push_back(file("f9", "a.TXT"));  // a duplicate name already present
    auto replacement = file("f10", "a.TXT");
    listing.insertItem(replacement);
    EXPECT_THAT(listing.itemNames(),
                testing::ElementsAre("Docs", "Same", kStoredName, "same", "b.txt", "a.TXT"));
    EXPECT_EQ(listing.files.back(), replacement);

    listing.insertItem(file("f11", "A.txt"));  // another name: both stay
    EXPECT_EQ(listing.files.size(), 4u);

    auto newFolder = folder("d9", "Docs");
    listing.insertItem(newFolder);
    EXPECT_EQ(listing.folders.size(), 3u);
    EXPECT_EQ(listing.folders.back(), newFolder);

    auto info = std::make_shared<BVFileInfoItem>();  // a subclass goes with the files
    info->name = "same";
    listing.insertItem(info);
    EXPECT_EQ(listing.files.back(), info);
    EXPECT_EQ(listing.files.size(), 4u);
}

TEST_F(ListingTest, RemoveItemRemovesThatVeryObject) {
    listing.removeItem(file("f1", "a.TXT"));  // equal, but another object
    EXPECT_EQ(listing.files.size(), 3u);
    listing.removeItem(listing.files[0]);
    listing.removeItem(listing.folders[1]);
    EXPECT_THAT(listing.itemNames(), testing::ElementsAre("Docs", kStoredName, "same", "b.txt"));
}

TEST_F(ListingTest, WrongKindRaisesNamedException) {
    struct Case {
        std::function<void()> call;
        std::string reason;
    };
    auto fsid = std::make_shared<BVFSIdItem>();
    const std::vector<Case> cases{
        {[&] { listing.insertItem(fsid); },
         "insertItem: only support BVFileItem or BVFolderItem instances."},
        {[&] { listing.insertItem(std::make_shared<BVFolderListItem>()); },
         "insertItem: only support BVFileItem or BVFolderItem instances."},
        {[&] { listing.insertItem(nullptr); },
         "insertItem: only support BVFileItem or BVFolderItem instances."},
        {[&] { listing.removeItem(fsid); },
         "removeItem: only support BVFileItem or BVFolderItem instances."},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "no exception for " << c.reason;
        } catch (const BVContentItemException& e) {
            EXPECT_STREQ(e.name(), "BVContentItem");
            EXPECT_EQ(e.reason(), c.reason);
        }
    }
    EXPECT_EQ(listing.combinedItems().size(), 6u);
}

TEST(ListingFlags, IsEncrypted) {
    BVFolderListItem listing;
    EXPECT_FALSE(listing.isEncrypted());
    listing.encrypted = -1;
    EXPECT_TRUE(listing.isEncrypted());
}

TEST(SharingUsers, ItemNamedIsExact) {
    BVSharingUsersItem sharing;
    auto bob = std::make_shared<BVSharingUserItem>();
    bob->name = "Bob";
    sharing.users = {bob};
    EXPECT_EQ(sharing.itemNamed("Bob"), bob);
    EXPECT_EQ(sharing.itemNamed("bob"), nullptr);
}

TEST(ContentDescriptor, BytesReady) {
    struct Case {
        int64_t completed, total, asked;
        bool ready, completedFlag;
    };
    const std::vector<Case> cases{
        {40, 40, 100, true, true},   // the whole (shorter) file is there
        {40, 0, 40, true, false},    // enough bytes even with no length known
        {40, 0, 100, false, false},  // total 0 never counts as the whole file
        {0, 0, 0, true, true},      {10, 100, 10, true, false}, {10, 100, 11, false, false},
    };
    for (const auto& c : cases) {
        BVBinaryDataDescriptorItem d;
        d.completedBytes = c.completed;
        d.totalBytes = c.total;
        EXPECT_EQ(d.isBytesReady(c.asked), c.ready)
            << c.completed << "/" << c.total << " asked " << c.asked;
        EXPECT_EQ(d.isCompleted(), c.completedFlag) << c.completed << "/" << c.total;
    }
}

TEST(UnicodeNames, DecomposeAndLowercase) {
    EXPECT_EQ(BVUnicodeNames::decomposed("plain"), "plain");
    EXPECT_EQ(BVUnicodeNames::decomposed("\xC3\xA9"), "e\xCC\x81");
    EXPECT_EQ(BVUnicodeNames::decomposed("\xFF\xFEnot utf8"), "\xFF\xFEnot utf8");
    EXPECT_EQ(BVUnicodeNames::lowercased("\xC3\x89"), "e\xCC\x81");
    EXPECT_EQ(BVUnicodeNames::lowercased("\xCE\xA3"), "\xCF\x83");  // Greek capital sigma
    EXPECT_EQ(BVUnicodeNames::lowercased("\xFF"
                                         "AB"),
              "\xFF"
              "ab");
    // Lower case, not case folding: "ß" stays distinct from "ss".
    EXPECT_NE(BVUnicodeNames::lowercased("STRASSE"), BVUnicodeNames::lowercased("stra\xC3\x9F"
                                                                                "e"));
}

}  // namespace

TEST(ItemNames, UsableNames) {
    struct Case {
        std::string name;
        bool usable;
    };
    const std::vector<Case> cases{
        {"a.txt", true},
        {".hidden", true},
        {"...", true},
        {"caf\xC3\xA9", true},
        {"\xC2\xA0nbsp", true},  // U+00A0 is no control character
        {std::string(255, 'x'), true},
        {"", false},
        {".", false},
        {"..", false},
        {"a/b", false},
        {"/", false},
        {std::string("a\0b", 3), false},
        {"tab\there", false},
        {"line\n", false},
        {"\x1b]0;title\x07", false},
        {"del\x7f", false},
        {"csi\xC2\x9B"
         "2J",
         false},  // U+009B
        {"\xC2\x80", false},
        {std::string(256, 'x'), false},
        {std::string(300 * 1024, 'x'), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BVItemNames::isUsableName(c.name), c.usable) << testing::PrintToString(c.name);
    for (const char* id : {"0", "-1", "-2"})
        EXPECT_TRUE(BVItemNames::isFixedFolderIdentifier(id)) << id;
    for (const char* id : {"", "00", "1", "-3", "undefined"})
        EXPECT_FALSE(BVItemNames::isFixedFolderIdentifier(id)) << id;
}

// Entries a hostile or broken service may send, each next to a good one.
nlohmann::json hostileEntries(const char* idKey) {
    using json = nlohmann::json;
    json entries = json::array();
    auto entry = [&](const std::string& id, const std::string& name) {
        entries.push_back({{idKey, id}, {"Name", name}, {"Size", 1}, {"ShareMode", 1}});
    };
    entry("g1", "good");
    for (const std::string& bad :
         {std::string(""), std::string("."), std::string(".."), std::string("a/b"),
          std::string("nul\0x", 5), std::string("esc\x1b[2J"), std::string(300 * 1024, 'n')})
        entry("b" + std::to_string(entries.size()), bad);
    for (const char* fixed : {"0", "-1", "-2"})
        entry(fixed, std::string("fixed") + fixed);
    entry("g2", "also good");
    return entries;
}

TEST(ListingEntries, UnusableNamesAndFixedIdentifiersAreLeftOut) {
    using json = nlohmann::json;
    auto files = hostileEntries("FileId");
    files.push_back({{"FileId", "neg"}, {"Name", "negative"}, {"Size", -5}});
    const json folders = hostileEntries("FolderID");
    struct Case {
        const BVItemClass& cls;
        json answer;
        size_t folders, files;
    };
    const std::vector<Case> cases{
        {BVFolderListItem::itemClass(),
         {{"Name", "x"},
          {"ParentFolderID", "1"},
          {"ResponseType", 1},
          {"Folders", folders},
          {"Files", files}},
         2,
         2},
        {BVTrashFolderListItem::itemClass(),
         {{"ResponseType", 1}, {"Folders", folders}, {"Files", files}},
         2,
         2},
        {BVSharedFolderListItem::itemClass(),
         {{"ResponseType", 1}, {"SharedFolders", hostileEntries("FolderID")}},
         2,
         0},
    };
    for (const auto& c : cases) {
        auto listing = std::static_pointer_cast<BVFolderListItem>(c.cls.itemWithDict(c.answer));
        ASSERT_NE(listing, nullptr) << c.cls.name();
        EXPECT_THAT(listing->itemNames(),
                    testing::IsSupersetOf(std::vector<std::string>{"good", "also good"}))
            << c.cls.name();
        EXPECT_EQ(listing->folders.size(), c.folders) << c.cls.name();
        EXPECT_EQ(listing->files.size(), c.files) << c.cls.name();
    }

    // A user who shares with the account becomes a folder named after the user.
    json users = json::array();
    for (const auto& e : hostileEntries("SharingID"))
        users.push_back(e);
    auto sharers = BVContentItem::itemWithDict<BVSharedUsersFolderListItem>(
        {{"ResponseType", 1}, {"SharedUsers", users}});
    ASSERT_NE(sharers, nullptr);
    EXPECT_THAT(sharers->itemNames(), testing::ElementsAre("good", "also good"));
}
