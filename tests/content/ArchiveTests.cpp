#include <gtest/gtest.h>

#include <random>

#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVSharingItems.h"
#include "BVApi/Content/BVSynchedItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "NestedJson.h"
#include "platform/KeyedArchive.h"

using json = nlohmann::json;
using bv::KeyedArchive;

namespace {

// Sets every field of the item to a value that differs from the creation default.
void populate(BVContentItem& item, int depth = 0) {
    for (const auto& f : item.cls().fields()) {
        BVValue value;
        switch (f.kind) {
            case BVFieldKind::Text:
                value = "text of " + f.name;
                break;
            case BVFieldKind::Json:
                value = json{{"sent", f.name}, {"n", 3}};
                break;
            case BVFieldKind::Integer:
                value = int64_t(1) << 40;
                break;
            case BVFieldKind::Bool:
                value = true;
                break;
            case BVFieldKind::Date:
                value = 1733790000.25;
                break;
            case BVFieldKind::Bytes:
                value = bv::Data(std::vector<uint8_t>{0, 1, 2, 255});
                break;
            case BVFieldKind::Items: {
                BVItemArray items;
                if (depth < 2) {
                    for (int i = 0; i < 2; ++i) {
                        auto element = f.elementClass()->create();
                        populate(*element, depth + 1);
                        items.push_back(element);
                    }
                }
                value = std::move(items);
                break;
            }
            case BVFieldKind::Xattrs:
                value = BVXattrMap{{"/a/b", {{"com.apple.FinderInfo", bv::Data::fromString("x")}}},
                                   {"/c", {}}};
                break;
        }
        ASSERT_TRUE(item.setValueForField(f.name, std::move(value))) << f.name;
    }
    item.timeReceived = 1733790123.5;
}

json archived(const BVContentItem& item, const std::string& field) {
    return item.archiveObject()[field];
}

TEST(KeyedArchiveRoundTrip, EveryClass) {
    for (const BVItemClass* cls : BVItemClass::allClasses()) {
        SCOPED_TRACE(cls->name());
        auto original = cls->create();
        populate(*original);
        auto restored = BVContentItem::unarchive(original->archivedData());
        ASSERT_NE(restored, nullptr);
        EXPECT_EQ(&restored->cls(), cls);
        EXPECT_EQ(restored->timeReceived, original->timeReceived);
        auto fresh = cls->create();
        for (const auto& name : cls->encodeArray()) {
            EXPECT_EQ(archived(*restored, name), archived(*original, name)) << name;
            EXPECT_NE(archived(*restored, name), archived(*fresh, name)) << name;
        }
        // Fields outside the archive list come back with their creation defaults.
        for (const auto& f : cls->fields()) {
            bool listed = std::find(cls->encodeArray().begin(), cls->encodeArray().end(), f.name) !=
                          cls->encodeArray().end();
            if (listed || f.name == "timeReceived")
                continue;
            EXPECT_EQ(KeyedArchive::encode(json{{"v", archived(*restored, f.name)}}),
                      KeyedArchive::encode(json{{"v", archived(*fresh, f.name)}}))
                << f.name;
        }
    }
}

TEST(KeyedArchiveRoundTrip, ListingKeepsTypedEntries) {
    auto listing = std::make_shared<BVSharedFolderListItem>();
    listing->identifier = "sh";
    auto shared = std::make_shared<BVSharedFolderItem>();
    shared->name = "Team";
    shared->shareMode = "rw";
    listing->folders = {shared};
    auto info = std::make_shared<BVFileInfoItem>();
    info->name = "n";
    info->link = "L";
    listing->files = {info};
    listing->responseType = nullptr;

    auto restored = BVContentItem::unarchiveAs<BVFolderListItem>(listing->archivedData());
    ASSERT_NE(restored, nullptr);
    EXPECT_EQ(restored->className(), "BVSharedFolderListItem");
    ASSERT_EQ(restored->folders.size(), 1u);
    ASSERT_TRUE(restored->folders[0]->isKindOf(BVSharedFolderItem::itemClass()));
    EXPECT_EQ(std::static_pointer_cast<BVSharedFolderItem>(restored->folders[0])->shareMode,
              json("rw"));
    ASSERT_TRUE(restored->files[0]->isKindOf(BVFileInfoItem::itemClass()));
    EXPECT_EQ(std::static_pointer_cast<BVFileInfoItem>(restored->files[0])->link, "L");
    EXPECT_TRUE(restored->responseType.is_null());
}

TEST(KeyedArchiveRoundTrip, SessionKeepsDefaultIdentifier) {
    BVUserSessionItem session;
    session.sessionId = "s1";
    session.username = "ann";
    session.isAccountUser = true;
    session.active2FA = "1";
    session.uploadSpeedLimit = 2048;
    session.encryptionKey = bv::Data::fromString("key bytes");
    auto restored = BVContentItem::unarchiveAs<BVUserSessionItem>(session.archivedData());
    ASSERT_NE(restored, nullptr);
    EXPECT_EQ(restored->identifier, "default");
    EXPECT_EQ(restored->sessionId, "s1");
    EXPECT_EQ(restored->username, "ann");
    EXPECT_TRUE(restored->isAccountUser);
    EXPECT_EQ(restored->active2FA, json("1"));
    EXPECT_EQ(restored->uploadSpeedLimit, json(2048));
    EXPECT_TRUE(restored->encryptionKey.empty()) << "the secure-folder key never leaves memory";
    EXPECT_EQ(session.archivedData().toString().find("key bytes"), std::string::npos);
    EXPECT_TRUE(restored->userLevel.is_null());

    // Links are archived without their identifier and come back "default" all the same.
    BVUserLinksItem links;
    links.accountLink = "a";
    auto restoredLinks = BVContentItem::unarchiveAs<BVUserLinksItem>(links.archivedData());
    ASSERT_NE(restoredLinks, nullptr);
    EXPECT_EQ(restoredLinks->identifier, "default");
    EXPECT_EQ(restoredLinks->accountLink, "a");
}

TEST(KeyedArchiveRoundTrip, ExpectedClassIsChecked) {
    BVFileItem file;
    file.name = "a";
    const bv::Data data = file.archivedData();
    EXPECT_NE(BVContentItem::unarchive(data, &BVContentItem::itemClass()), nullptr);
    EXPECT_NE(BVContentItem::unarchiveAs<BVFileItem>(data), nullptr);
    EXPECT_EQ(BVContentItem::unarchiveAs<BVFolderItem>(data), nullptr);
    EXPECT_EQ(BVContentItem::unarchiveAs<BVFileInfoItem>(data), nullptr);
}

bv::Data listingArchive() {
    BVFolderListItem listing;
    listing.identifier = "d1";
    listing.name = "Docs";
    auto f = std::make_shared<BVFileItem>();
    f->name = "a.txt";
    f->size = 5;
    listing.files = {f, f};
    listing.folders = {std::make_shared<BVFolderItem>()};
    return listing.archivedData();
}

TEST(KeyedArchiveDamage, TruncatedOrRandomBytesDecodeToNothing) {
    const bv::Data whole = listingArchive();
    ASSERT_NE(BVContentItem::unarchive(whole), nullptr);
    for (size_t length = 0; length < whole.length(); ++length) {
        EXPECT_EQ(BVContentItem::unarchive(whole.subdata(0, length)), nullptr) << length;
    }
    bv::Data trailing = whole;
    trailing.append("x", 1);
    EXPECT_EQ(BVContentItem::unarchive(trailing), nullptr);

    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        bv::Data bytes = whole;
        if (round % 2) {
            bytes.vector()[random() % bytes.length()] = uint8_t(random());
        } else {
            bytes.resize(random() % 64);
            for (auto& b : bytes.vector())
                b = uint8_t(random());
        }
        (void)BVContentItem::unarchive(bytes);  // must neither crash nor throw
    }
}

TEST(KeyedArchiveDamage, DeepNestingDecodesToNothing) {
    std::vector<uint8_t> bytes(200000, 0x81);  // array of one array of one array ...
    bytes.push_back(0x00);
    EXPECT_FALSE(KeyedArchive::decodeValue(bytes.data(), bytes.size()));
    // A length far beyond the bytes present.
    const std::vector<uint8_t> huge{0xBB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(KeyedArchive::decodeValue(huge.data(), huge.size()));
    const std::vector<uint8_t> hugeText{0x7B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(KeyedArchive::decodeValue(hugeText.data(), hugeText.size()));
}

TEST(KeyedArchiveDamage, DeepNestingIsNotWritten) {
    // As deep as the reader goes is written and read back; one more level, or a hundred
    // thousand, is not written at all.
    const bv::Data deepest = KeyedArchive::encode(bvtest::nestedJson(KeyedArchive::kMaxDepth));
    ASSERT_FALSE(deepest.empty());
    EXPECT_TRUE(KeyedArchive::decodeValue(deepest.bytes(), deepest.length()));
    EXPECT_TRUE(KeyedArchive::encode(bvtest::nestedJson(KeyedArchive::kMaxDepth + 1)).empty());
    EXPECT_TRUE(KeyedArchive::encode(bvtest::nestedJson(100000)).empty());

    BVUserSessionItem session;
    session.active2FA = bvtest::nestedJson(KeyedArchive::kMaxDepth);
    EXPECT_TRUE(session.archivedData().empty());
}

TEST(KeyedArchiveDamage, WrongShapesDecodeToNothing) {
    json fileObject = BVFileItem().archiveObject();
    json listingObject = KeyedArchive::decode(listingArchive()).value();
    auto edited = [](json object, const std::string& key, json value) {
        object[key] = std::move(value);
        return object;
    };
    struct Case {
        std::string label;
        json object;
    };
    const std::vector<Case> cases{
        {"not a map", json::array({1, 2})},
        {"no class", json{{"name", "a"}}},
        {"class not a text", edited(fileObject, "$class", 5)},
        {"unknown class", edited(fileObject, "$class", "NSObject")},
        {"text field holds a number", edited(fileObject, "name", 5)},
        {"identifier holds bytes", edited(fileObject, "identifier", json::binary({1}))},
        {"integer field holds a text", edited(fileObject, "size", "12")},
        {"integer field holds a fraction", edited(fileObject, "size", 1.5)},
        {"integer field beyond 64 bits", edited(fileObject, "size", UINT64_MAX)},
        {"date holds a text", edited(fileObject, "dateModified", "x")},
        {"time received holds a text", edited(fileObject, "timeReceived", "x")},
        {"files not an array", edited(listingObject, "files", json::object())},
        {"file entry without class", edited(listingObject, "files", json::array({json{{"a", 1}}}))},
        {"folder among the files",
         edited(listingObject, "files", json::array({BVFolderItem().archiveObject()}))},
        {"bad field inside an entry",
         edited(listingObject, "files", json::array({edited(fileObject, "size", "x")}))},
        {"bytes field holds a text", edited(BVFileThumbnailItem().archiveObject(), "data", "x")},
        {"flag holds a number", edited(BVUserSessionItem().archiveObject(), "isAccountUser", 1)},
        {"attributes not bytes",
         edited(BVSharedXAttrs().archiveObject(), "xattrsByPath", json{{"/a", {{"n", "v"}}}})},
        {"attributes not a map",
         edited(BVSharedXAttrs().archiveObject(), "xattrsByPath", json::array())},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BVContentItem::unarchive(KeyedArchive::encode(c.object)), nullptr) << c.label;
    }
}

TEST(KeyedArchiveDamage, MissingFieldsKeepDefaults) {
    json object = KeyedArchive::makeObject("BVFolderItem");
    object["name"] = "only a name";
    auto folder = BVContentItem::unarchiveAs<BVFolderItem>(KeyedArchive::encode(object));
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->name, "only a name");
    EXPECT_EQ(folder->encrypted, 0);
    EXPECT_EQ(folder->timeReceived, 0);
}

}  // namespace
