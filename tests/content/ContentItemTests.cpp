#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "BVApi/Content/BVAnonymousItem.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVSharingItems.h"
#include "BVApi/Content/BVSynchedItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVValueConverter.h"
#include "NestedJson.h"

using json = nlohmann::json;

namespace {

// "é" precomposed (U+00E9) and decomposed (e + U+0301).
const std::string kPrecomposed = "caf\xC3\xA9";
const std::string kDecomposed = "cafe\xCC\x81";

json fileAnswer() {
    return {{"FileId", "f1"},
            {"Name", "a.txt"},
            {"Size", 12},
            {"RequireCompression", 1},
            {"DateModified", 1733790000}};
}

json without(json j, const std::string& key) {
    j.erase(key);
    return j;
}

json with(json j, const std::string& key, json value) {
    j[key] = std::move(value);
    return j;
}

struct FileCase {
    std::string label;
    json answer;
    bool built;
    std::string id = {};
    std::string name = {};
    int64_t size = 0;
    double date = 0;
};

TEST(ContentItemBuild, FileItemFromAnswers) {
    const std::vector<FileCase> cases{
        {"complete", fileAnswer(), true, "f1", "a.txt", 12, 1733790000},
        {"no size", without(fileAnswer(), "Size"), true, "f1", "a.txt", 0, 1733790000},
        {"no date", without(fileAnswer(), "DateModified"), true, "f1", "a.txt", 12, 0},
        {"no compression", without(fileAnswer(), "RequireCompression"), true, "f1", "a.txt", 12,
         1733790000},
        {"no name", without(fileAnswer(), "Name"), false},
        {"no id", without(fileAnswer(), "FileId"), false},
        {"null name counts as missing", with(fileAnswer(), "Name", nullptr), false},
        {"null id counts as missing", with(fileAnswer(), "FileId", nullptr), false},
        {"null size counts as missing", with(fileAnswer(), "Size", nullptr), true, "f1", "a.txt", 0,
         1733790000},
        {"null date counts as missing", with(fileAnswer(), "DateModified", nullptr), true, "f1",
         "a.txt", 12, 0},
        {"id sent as a number", with(fileAnswer(), "FileId", 123), true, "123", "a.txt", 12,
         1733790000},
        {"id sent as a dictionary", with(fileAnswer(), "FileId", json::object()), false},
        {"date as digits text", with(fileAnswer(), "DateModified", "1733790000"), true, "f1",
         "a.txt", 12, 1733790000},
        {"date as text with a fraction", with(fileAnswer(), "DateModified", "1733790000.75"), true,
         "f1", "a.txt", 12, 1733790000},
        {"size as digits text", with(fileAnswer(), "Size", "4096"), true, "f1", "a.txt", 4096,
         1733790000},
        {"size of the wrong type", with(fileAnswer(), "Size", json::array()), true, "f1", "a.txt",
         0, 1733790000},
        {"precomposed name", with(fileAnswer(), "Name", kPrecomposed), true, "f1", kDecomposed, 12,
         1733790000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto file = BVContentItem::itemWithDict<BVFileItem>(c.answer);
        ASSERT_EQ(file != nullptr, c.built);
        if (!file)
            continue;
        EXPECT_EQ(file->identifier, c.id);
        EXPECT_EQ(file->name, c.name);
        EXPECT_EQ(file->size, c.size);
        EXPECT_EQ(file->dateModified, c.date);
    }
}

TEST(ContentItemBuild, NotADictionaryBuildsNothing) {
    for (const json& answer : {json(nullptr), json(5), json("text"), json::array({fileAnswer()})}) {
        EXPECT_EQ(BVFileItem::itemClass().itemWithDict(answer), nullptr) << answer.dump();
        EXPECT_EQ(BVAnonymousItem::itemClass().itemWithDict(answer), nullptr) << answer.dump();
    }
}

TEST(ContentItemBuild, FolderNameDecomposedAndEncryptedFlagRead) {
    struct Case {
        json encrypted;
        int64_t expected;
    };
    const std::vector<Case> cases{
        {nullptr, 0},      {1, 1},     {"1", 1}, {true, 1},          {"0", 0}, {7, 7},
        {5e9, 2147483647}, {"-3", -3}, {"x", 0}, {json::object(), 0}};
    for (const auto& c : cases) {
        json answer{{"FolderID", "d1"}, {"Name", kPrecomposed}, {"DateCreated", 5}};
        if (!c.encrypted.is_null())
            answer["Encrypted"] = c.encrypted;
        auto folder = BVContentItem::itemWithDict<BVFolderItem>(answer);
        ASSERT_NE(folder, nullptr) << c.encrypted.dump();
        EXPECT_EQ(folder->encrypted, c.expected) << c.encrypted.dump();
        EXPECT_EQ(folder->name, kDecomposed);
        EXPECT_EQ(folder->dateCreated, 5);
        EXPECT_EQ(folder->dateModified, 0);
    }
}

TEST(ContentItemBuild, ValueReadings) {
    struct Case {
        json raw;
        int64_t integer;
        bool flag;
    };
    const std::vector<Case> cases{
        {42, 42, true},
        {-7, -7, true},
        {0, 0, false},
        {3.9, 3, true},
        {true, 1, true},
        {false, 0, false},
        {"  12abc", 12, true},
        {"-12", -12, true},
        {"+5", 5, true},
        {"abc", 0, false},
        {"", 0, false},
        {"yes", 0, true},
        {"True", 0, true},
        {"no", 0, false},
        {"007", 7, true},
        {"000", 0, false},
        {"99999999999999999999", INT64_MAX, true},
        {"-99999999999999999999", INT64_MIN, true},
        {18446744073709551615ull, INT64_MAX, true},
        {1e300, INT64_MAX, true},
        {json::array({1}), 0, false},
        {nullptr, 0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BVValueConverter::integer(&c.raw), c.integer) << c.raw.dump();
        EXPECT_EQ(BVValueConverter::flag(&c.raw), c.flag) << c.raw.dump();
    }
    EXPECT_EQ(BVValueConverter::integer(nullptr), 0);
    EXPECT_FALSE(BVValueConverter::flag(nullptr));
}

TEST(ContentItemBuild, SessionItem) {
    const json answer{{"SessionID", "s-1"},     {"UserName", "ann@example.com"},
                      {"AccType", 2},           {"DriveName", "Ann"},
                      {"UserFirstName", "Ann"}, {"UserLastName", "Lee"},
                      {"UserID", 77},           {"UploadSpeedLimit", 1024},
                      {"Active2FA", "1"},       {"IsAccountUser", "true"}};
    auto session = BVContentItem::itemWithDict<BVUserSessionItem>(answer);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->identifier, "default");
    EXPECT_EQ(session->sessionId, "s-1");
    EXPECT_EQ(session->userId, "77");
    EXPECT_EQ(session->accountType, json(2));
    EXPECT_EQ(session->active2FA, json("1"));  // kept as sent: a text, not a number
    EXPECT_EQ(session->uploadSpeedLimit, json(1024));
    EXPECT_TRUE(session->isAccountUser);

    auto notAccountUser =
        BVContentItem::itemWithDict<BVUserSessionItem>(without(answer, "IsAccountUser"));
    ASSERT_NE(notAccountUser, nullptr);
    EXPECT_FALSE(notAccountUser->isAccountUser);
    for (const char* required : {"SessionID", "UserName", "AccType", "UploadSpeedLimit"}) {
        EXPECT_EQ(BVContentItem::itemWithDict<BVUserSessionItem>(without(answer, required)),
                  nullptr)
            << required;
        EXPECT_EQ(BVContentItem::itemWithDict<BVUserSessionItem>(with(answer, required, nullptr)),
                  nullptr)
            << required;
    }
}

TEST(ContentItemBuild, AccountItems) {
    auto info = BVContentItem::itemWithDict<BVUserInfoItem>(
        {{"MaxStorage", "1000"}, {"StorageUsed", 10}, {"UserPlan", "Unlimited Pro"}});
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->identifier, "default");
    EXPECT_EQ(info->storageMax, 1000);
    EXPECT_EQ(info->storageUsed, 10);
    EXPECT_EQ(info->bandwidthMax, 0);
    EXPECT_TRUE(info->isUnlimited());
    info->plan = "unlimited";
    EXPECT_FALSE(info->isUnlimited());
    EXPECT_EQ(BVContentItem::itemWithDict<BVUserInfoItem>({{"MaxStorage", 1}}), nullptr);

    auto links = BVContentItem::itemWithDict<BVUserLinksItem>(
        {{"account", "https://a.example"}, {"billing", "https://b.example"}});
    ASSERT_NE(links, nullptr);
    EXPECT_EQ(links->identifier, "default");
    EXPECT_EQ(links->billingLink, "https://b.example");

    auto notes = BVContentItem::itemWithDict<BVNotificationsItem>(
        {{"Notification", {{{"Type", 1}, {"Text", "New version"}, {"URL", "u"}}}}});
    ASSERT_NE(notes, nullptr);
    EXPECT_EQ(notes->list[0]["Text"], "New version");
}

TEST(ContentItemBuild, IdentifierAndTransferItems) {
    auto fileId = BVContentItem::itemWithDict<BVFSIdItem>({{"FileId", "f9"}});
    ASSERT_NE(fileId, nullptr);
    EXPECT_EQ(fileId->identifier, "f9");
    // Folders answer "FolderId" with a lower-case d.
    EXPECT_EQ(BVContentItem::itemWithDict<BVFolderFSIdItem>({{"FolderID", "d9"}}), nullptr);
    auto folderId = BVContentItem::itemWithDict<BVFolderFSIdItem>({{"FolderId", "d9"}});
    ASSERT_NE(folderId, nullptr);
    EXPECT_EQ(folderId->identifier, "d9");

    auto handle = BVContentItem::itemWithDict<BVUploadFileHandle>(
        {{"TempLocation", "/tmp/x"}, {"RequireHash", 0}, {"RequireHashOnly", "0"}});
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->tempLocation, "/tmp/x");
    EXPECT_EQ(handle->requireHashOnly, json("0"));
    EXPECT_EQ(BVContentItem::itemWithDict<BVUploadFileHandle>({{"TempLocation", "/tmp/x"}}),
              nullptr);

    auto chunk = BVContentItem::itemWithDict<BVChunkUploadResult>({{"TotalWritten", 512}});
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(chunk->bytesWritten, json(512));
}

TEST(ContentItemBuild, FileInfoAndSharedKinds) {
    json info = without(fileAnswer(), "RequireCompression");
    info.update({{"Link", "l"},
                 {"DownloadLink", "dl"},
                 {"StreamingLink", "sl"},
                 {"Access", 1},
                 {"Description", "d"}});
    auto fileInfo = BVContentItem::itemWithDict<BVFileInfoItem>(info);
    ASSERT_NE(fileInfo, nullptr);
    EXPECT_EQ(fileInfo->downloadLink, "dl");
    EXPECT_EQ(fileInfo->access, json(1));
    EXPECT_EQ(BVContentItem::itemWithDict<BVFileInfoItem>(without(info, "Description")), nullptr);
    // A file-information answer does not read "RequireCompression".
    json infoWithCompression = info;
    infoWithCompression["RequireCompression"] = 1;
    auto withCompression = BVContentItem::itemWithDict<BVFileInfoItem>(infoWithCompression);
    ASSERT_NE(withCompression, nullptr);
    EXPECT_EQ(withCompression->requireCompression, 0);

    auto shared =
        BVContentItem::itemWithDict<BVSharedFileItem>(with(fileAnswer(), "ShareMode", "rw"));
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->shareMode, json("rw"));
    EXPECT_EQ(BVContentItem::itemWithDict<BVSharedFileItem>(fileAnswer()), nullptr);

    json folderInfo{{"FolderID", "d1"},
                    {"Name", "x"},
                    {"Link", "l"},
                    {"Description", ""},
                    {"Access", "public"}};
    auto folder = BVContentItem::itemWithDict<BVFolderInfoItem>(folderInfo);
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->access, json("public"));
}

json listingAnswer() {
    return {{"DirUpdateTime", "1733790001"},
            {"Name", kPrecomposed},
            {"ParentFolderID", "0"},
            {"ResponseType", 1},
            {"Folders", {{{"FolderID", "d1"}, {"Name", "Docs"}, {"Encrypted", 1}}}},
            {"Files",
             {{{"FileId", "f1"}, {"Name", "a.txt"}},
              {{"Name", "no id"}},
              "not a dictionary",
              {{"FileId", "f3"}, {"Name", "c.txt"}}}}};
}

TEST(ContentItemBuild, FolderListingKeepsGoodEntries) {
    auto listing = BVContentItem::itemWithDict<BVFolderListItem>(listingAnswer());
    ASSERT_NE(listing, nullptr);
    EXPECT_EQ(listing->updateTime, 1733790001);
    EXPECT_EQ(listing->name, kPrecomposed);  // the listing's own name stays as sent
    EXPECT_EQ(listing->parentFolderId, "0");
    EXPECT_EQ(listing->responseType, json(1));
    EXPECT_EQ(listing->encrypted, 0);
    EXPECT_THAT(listing->itemNames(), testing::ElementsAre("Docs", "a.txt", "c.txt"));
    EXPECT_EQ(listing->folders[0]->encrypted, 1);

    for (const char* required : {"Name", "ParentFolderID", "ResponseType"}) {
        EXPECT_EQ(BVContentItem::itemWithDict<BVFolderListItem>(without(listingAnswer(), required)),
                  nullptr)
            << required;
    }
    auto empty = BVContentItem::itemWithDict<BVFolderListItem>(
        without(without(listingAnswer(), "Files"), "Folders"));
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->combinedItems().empty());
    auto filesNotArray =
        BVContentItem::itemWithDict<BVFolderListItem>(with(listingAnswer(), "Files", "oops"));
    ASSERT_NE(filesNotArray, nullptr);
    EXPECT_TRUE(filesNotArray->files.empty());
}

TEST(ContentItemBuild, TrashListingNeedsNoName) {
    auto trash = BVContentItem::itemWithDict<BVTrashFolderListItem>(
        without(without(listingAnswer(), "Name"), "ParentFolderID"));
    ASSERT_NE(trash, nullptr);
    EXPECT_EQ(trash->files.size(), 2u);
    EXPECT_EQ(trash->folders.size(), 1u);
    EXPECT_EQ(trash->name, "");
}

TEST(ContentItemBuild, SharedFolderListingFailsWhole) {
    json good{{"FolderID", "s1"}, {"Name", "Team"}, {"ShareMode", 1}};
    json answer{{"ResponseType", 1}, {"DirUpdateTime", 3}, {"SharedFolders", {good}}};
    auto shared = BVContentItem::itemWithDict<BVSharedFolderListItem>(answer);
    ASSERT_NE(shared, nullptr);
    ASSERT_EQ(shared->folders.size(), 1u);
    EXPECT_TRUE(shared->folders[0]->isKindOf(BVSharedFolderItem::itemClass()));
    EXPECT_EQ(std::static_pointer_cast<BVSharedFolderItem>(shared->folders[0])->shareMode, json(1));

    answer["SharedFolders"].push_back(without(good, "ShareMode"));
    EXPECT_EQ(BVContentItem::itemWithDict<BVSharedFolderListItem>(answer), nullptr);
}

TEST(ContentItemBuild, SharingUsersFailWhole) {
    json good{{"SharingID", "u1"}, {"Name", "Bob"}, {"ShareMode", "read"}};
    json answer{{"ShareWithUser", {good, with(good, "SharingID", 2)}}};
    auto users = BVContentItem::itemWithDict<BVSharingUsersItem>(answer);
    ASSERT_NE(users, nullptr);
    ASSERT_EQ(users->users.size(), 2u);
    EXPECT_EQ(users->users[1]->identifier, "2");
    EXPECT_EQ(users->users[0]->mode, json("read"));

    answer["ShareWithUser"].push_back(without(good, "Name"));
    EXPECT_EQ(BVContentItem::itemWithDict<BVSharingUsersItem>(answer), nullptr);
}

TEST(ContentItemBuild, SharedUsersBecomeFolders) {
    using namespace std::chrono;
    const double before = duration<double>(system_clock::now().time_since_epoch()).count();
    auto listing = BVContentItem::itemWithDict<BVSharedUsersFolderListItem>(
        {{"ResponseType", 1},
         {"SharedUsers",
          {{{"Name", kPrecomposed}, {"SharingID", "sh1"}}, {{"Name", "no id"}}, 5}}});
    ASSERT_NE(listing, nullptr);
    ASSERT_EQ(listing->folders.size(), 1u);
    const auto& folder = *listing->folders[0];
    EXPECT_EQ(folder.name, kPrecomposed);
    EXPECT_EQ(folder.identifier, "sh1");
    EXPECT_GE(folder.dateModified, before - 1);
    EXPECT_EQ(folder.dateCreated, folder.dateModified);
}

TEST(ContentItemBuild, ParseValueUsesTheClassConverter) {
    const json digits = "1733790000";
    const BVValue date = BVFileItem::itemClass().parseValue(&digits, "dateModified");
    EXPECT_EQ(std::get<double>(date), 1733790000.0);
    // A shared file has no "RequireCompression" key, but its base still converts the field.
    const BVValue compression =
        BVSharedFileItem::itemClass().parseValue(&digits, "requireCompression");
    EXPECT_EQ(std::get<int64_t>(compression), 1733790000);
    // Fields no class converts come back unchanged.
    const BVValue raw = BVFileItem::itemClass().parseValue(&digits, "somethingElse");
    EXPECT_EQ(std::get<json>(raw), digits);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(
        BVFileItem::itemClass().parseValue(nullptr, "name")));
}

TEST(ContentItemBuild, AnonymousItem) {
    const json answer{{"a", 1}, {"b", {{"c", "x"}}}};
    auto item = BVContentItem::itemWithDict<BVAnonymousItem>(answer);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->response, answer);
    ASSERT_NE(item->valueForKeyPath("b.c"), nullptr);
    EXPECT_EQ(*item->valueForKeyPath("b.c"), "x");
    EXPECT_EQ(item->valueForKeyPath("b.c.d"), nullptr);
    item->setValueForKeyPath("b.e.f", 2);
    EXPECT_EQ(item->response["b"]["e"]["f"], 2);
    EXPECT_EQ(item->response["b"]["c"], "x");

    auto doubled = BVAnonymousItem::itemWithDict(
        {{"x", 2}, {"y", 3}},
        [](const std::string&, const json& v, bv::Error*) { return json(v.get<int>() * 2); },
        nullptr);
    ASSERT_NE(doubled, nullptr);
    EXPECT_EQ(doubled->response, json({{"x", 4}, {"y", 6}}));

    bv::Error error;
    int calls = 0;
    auto refused = BVAnonymousItem::itemWithDict(
        {{"x", 2}, {"y", 3}, {"z", 4}},
        [&](const std::string& key, const json& v, bv::Error* slot) {
            ++calls;
            if (key == "y")
                *slot = bv::Error::make(1000, "bad y");
            return v;
        },
        &error);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(error.failureReason(), "bad y");
}

TEST(ContentItemEquality, ByNameForFilesAndFoldersElseByIdentifier) {
    auto file = [](std::string id, std::string name) {
        auto f = std::make_shared<BVFileItem>();
        f->identifier = std::move(id);
        f->name = std::move(name);
        return f;
    };
    auto folder = [](std::string id, std::string name) {
        auto f = std::make_shared<BVFolderItem>();
        f->identifier = std::move(id);
        f->name = std::move(name);
        return f;
    };
    auto fsid = std::make_shared<BVFSIdItem>();
    fsid->identifier = "1";
    auto info = std::make_shared<BVFileInfoItem>();
    info->identifier = "9";
    info->name = "a";
    struct Case {
        BVItemRef a, b;
        bool equal;
    };
    const std::vector<Case> cases{
        {file("1", "a"), file("2", "a"), true},
        {file("1", "a"), file("1", "A"), false},
        {file("1", "a"), info, true},
        {folder("1", "a"), folder("2", "a"), true},
        {folder("1", "a"), folder("1", "b"), false},
        {file("1", "a"), folder("1", "b"), true},  // a file and a folder compare identifiers
        {file("1", "a"), folder("2", "a"), false},
        {fsid, file("1", "z"), true},
        {std::make_shared<BVUserSessionItem>(), std::make_shared<BVUserInfoItem>(), true},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].a->isEqualTo(*cases[i].b), cases[i].equal) << "case " << i;
        EXPECT_EQ(cases[i].b->isEqualTo(*cases[i].a), cases[i].equal) << "case " << i;
    }
}

TEST(ContentItemDescription, Texts) {
    auto file = std::make_shared<BVFileItem>();
    file->identifier = "f1";
    file->name = "a.txt";
    file->size = 12;
    auto folder = std::make_shared<BVFolderItem>();
    folder->identifier = "d1";
    folder->name = "Docs";
    folder->encrypted = 1;
    auto listing = std::make_shared<BVFolderListItem>();
    listing->name = "Docs";
    listing->updateTime = 99;
    listing->folders = {folder};
    listing->files = {file, file};
    auto session = std::make_shared<BVUserSessionItem>();
    session->username = "ann";
    session->sessionId = "s1";
    auto fsid = std::make_shared<BVFolderFSIdItem>();
    fsid->identifier = "d1";
    fsid->path = "/Docs";
    auto descriptor = std::make_shared<BVBinaryDataDescriptorItem>();
    descriptor->identifier = "f1";
    descriptor->completedBytes = 5;
    descriptor->totalBytes = 10;
    auto handle = std::make_shared<BVUploadFileHandle>();
    handle->identifier = "f1";
    handle->path = "/a.txt";
    handle->tempLocation = "t";
    auto chunk = std::make_shared<BVChunkUploadResult>();
    chunk->bytesWritten = 512;

    const std::vector<std::pair<BVItemRef, std::string>> cases{
        {file, "<BVFileItem: 0x[0-9a-f]+> \\(name=a\\.txt, size=12, id=f1\\)"},
        {folder, "<BVFolderItem: 0x[0-9a-f]+> \\(name=Docs, encrypted=1, id=d1\\)"},
        {listing, "<BVFolderListItem: 0x[0-9a-f]+> \\(name=Docs, time=99, count=1,2\\)"},
        {session, "<BVUserSessionItem: 0x[0-9a-f]+> \\(username=ann, sessionId=hidden\\)"},
        {fsid, "<BVFolderFSIdItem: 0x[0-9a-f]+> \\(id=d1, path=/Docs\\)"},
        {descriptor,
         "<BVBinaryDataDescriptorItem: 0x[0-9a-f]+> \\(id=f1, completed=5, total=10\\)"},
        {handle, "<BVUploadFileHandle: 0x[0-9a-f]+> \\(id=f1, path=/a\\.txt, temp=t\\)"},
        {chunk, "<BVChunkUploadResult: 0x[0-9a-f]+> \\(bytesWritten=512\\)"},
        {std::make_shared<BVUserLinksItem>(), "<BVUserLinksItem: 0x[0-9a-f]+>"},
    };
    for (const auto& [item, pattern] : cases) {
        EXPECT_THAT(item->description(), testing::MatchesRegex(pattern));
    }
}

TEST(ContentItemClasses, TreeAndRegistry) {
    EXPECT_TRUE(BVSharedFolderListItem::itemClass().isSubclassOf(BVFolderListItem::itemClass()));
    EXPECT_TRUE(BVFileInfoItem::itemClass().isSubclassOf(BVContentItem::itemClass()));
    EXPECT_FALSE(BVFolderItem::itemClass().isSubclassOf(BVFileItem::itemClass()));
    EXPECT_TRUE(BVSharedXAttrs::itemClass().isSubclassOf(BVSynchedItem::itemClass()));
    EXPECT_EQ(BVItemClass::allClasses().size(), 27u);
    for (const BVItemClass* c : BVItemClass::allClasses()) {
        EXPECT_EQ(BVItemClass::named(c->name()), c);
        auto item = c->create();
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(&item->cls(), c);
    }
    EXPECT_EQ(BVItemClass::named("NSObject"), nullptr);
    for (const auto& c : {&BVUserSessionItem::itemClass(), &BVUserInfoItem::itemClass(),
                          &BVUserLinksItem::itemClass(), &BVSharedXAttrs::itemClass()}) {
        EXPECT_EQ(c->create()->identifier, "default") << c->name();
    }
}

// The cache keys stored items by a hash of these lists: their names and order are part of the
// on-disk format.
TEST(ContentItemClasses, ArchiveLists) {
    using V = std::vector<std::string>;
    const std::vector<std::pair<const BVItemClass*, V>> cases{
        {&BVContentItem::itemClass(), {}},
        {&BVUserSessionItem::itemClass(),
         {"identifier", "sessionId", "isAccountUser", "userIdentifier", "accountType", "username",
          "firstName", "lastName", "driveName", "userLevel", "userId", "uploadSpeedLimit",
          "active2FA"}},
        {&BVUserInfoItem::itemClass(),
         {"identifier", "storageMax", "storageUsed", "bandwidthUsed", "bandwidthMax", "plan",
          "trashCount"}},
        {&BVUserLinksItem::itemClass(), {"accountLink", "billingLink"}},
        {&BVNotificationsItem::itemClass(), {}},
        {&BVSharingUserItem::itemClass(), {"identifier", "name", "mode"}},
        {&BVSharingUsersItem::itemClass(), {"identifier", "users"}},
        {&BVFileItem::itemClass(),
         {"identifier", "name", "size", "requireCompression", "dateModified"}},
        {&BVSharedFileItem::itemClass(),
         {"identifier", "name", "size", "requireCompression", "dateModified", "shareMode"}},
        {&BVFileInfoItem::itemClass(),
         {"identifier", "name", "size", "requireCompression", "dateModified", "path", "link",
          "downloadLink", "streamingLink", "fileDescription", "price", "access"}},
        {&BVFileThumbnailItem::itemClass(), {"identifier", "data"}},
        {&BVFolderItem::itemClass(),
         {"identifier", "name", "dateCreated", "dateModified", "encrypted"}},
        {&BVSharedFolderItem::itemClass(),
         {"identifier", "name", "dateCreated", "dateModified", "encrypted", "shareMode"}},
        {&BVFolderInfoItem::itemClass(),
         {"identifier", "name", "dateCreated", "dateModified", "encrypted", "path", "link",
          "folderDescription", "access"}},
        {&BVStubFolderListItem::itemClass(),
         {"identifier", "updateTime", "name", "path", "parentFolderId", "directFolderLink",
          "responseType", "files", "folders", "encrypted"}},
        {&BVFolderFSIdItem::itemClass(), {"identifier", "path"}},
        {&BVBinaryDataDescriptorItem::itemClass(),
         {"identifier", "completedBytes", "totalBytes", "path", "encrypted"}},
        {&BVUploadFileHandle::itemClass(),
         {"identifier", "isUploading", "path", "tempLocation", "requireHash", "requireHashOnly"}},
        {&BVChunkUploadResult::itemClass(), {}},
        {&BVSynchedItem::itemClass(), {"dateModified"}},
        {&BVSharedXAttrs::itemClass(), {"dateModified", "identifier", "xattrsByPath"}},
    };
    for (const auto& [cls, names] : cases) {
        EXPECT_EQ(cls->encodeArray(), names) << cls->name();
    }
}

}  // namespace

namespace {

json sessionAnswer() {
    return {{"SessionID", "s-1"}, {"UserName", "ann"},     {"AccType", 2},
            {"DriveName", "Ann"}, {"UserFirstName", ""},   {"UserLastName", ""},
            {"UserID", 77},       {"UploadSpeedLimit", 0}, {"Active2FA", "1"}};
}

}  // namespace

TEST(ContentItemBuild, FieldsKeptAsSentTakeScalarsOnly) {
    struct Case {
        std::string label;
        const BVItemClass& cls;
        json answer;
        std::string key;
    };
    const json shareAnswer{{"SharingID", "u1"}, {"Name", "Bob"}, {"ShareMode", "read"}};
    const json handleAnswer{{"TempLocation", "/t"}, {"RequireHash", 0}, {"RequireHashOnly", 0}};
    const std::vector<Case> cases{
        {"second factor", BVUserSessionItem::itemClass(), sessionAnswer(), "Active2FA"},
        {"account type", BVUserSessionItem::itemClass(), sessionAnswer(), "AccType"},
        {"speed limit", BVUserSessionItem::itemClass(), sessionAnswer(), "UploadSpeedLimit"},
        {"response type", BVFolderListItem::itemClass(), listingAnswer(), "ResponseType"},
        {"share mode", BVSharingUserItem::itemClass(), shareAnswer, "ShareMode"},
        {"file share mode", BVSharedFileItem::itemClass(), with(fileAnswer(), "ShareMode", 1),
         "ShareMode"},
        {"hash", BVUploadFileHandle::itemClass(), handleAnswer, "RequireHash"},
        {"written", BVChunkUploadResult::itemClass(), json{{"TotalWritten", 5}}, "TotalWritten"},
    };
    for (const auto& c : cases) {
        for (const json& scalar : {json("1"), json(1), json(true), json(2.5)})
            EXPECT_NE(c.cls.itemWithDict(with(c.answer, c.key, scalar)), nullptr) << c.label;
        for (const json& tree : {json::object({{"a", 1}}), json::array(), bvtest::nestedJson(40)})
            EXPECT_EQ(c.cls.itemWithDict(with(c.answer, c.key, tree)), nullptr)
                << c.label << " " << tree.dump().substr(0, 20);
    }
    // The notifications are a list of dictionaries by design.
    auto notes = BVContentItem::itemWithDict<BVNotificationsItem>(
        {{"Notification", {{{"Type", 2}, {"Text", "t"}, {"URL", ""}}}}});
    ASSERT_NE(notes, nullptr);
    EXPECT_EQ(notes->list.size(), 1u);
}

TEST(ContentItemBuild, NegativeSizesAreRefused) {
    struct Case {
        json size;
        bool built;
    };
    for (const auto& c : std::vector<Case>{{-1, false},
                                           {"-12", false},
                                           {INT64_MIN, false},
                                           {0, true},
                                           {"7", true},
                                           {-0.5, true}}) {
        EXPECT_EQ(
            BVFileItem::itemClass().itemWithDict(with(fileAnswer(), "Size", c.size)) != nullptr,
            c.built)
            << c.size;
        json info = with(fileAnswer(), "Size", c.size);
        for (const char* key : {"Link", "DownloadLink", "StreamingLink", "Access", "Description"})
            info[key] = "";
        EXPECT_EQ(BVFileInfoItem::itemClass().itemWithDict(info) != nullptr, c.built) << c.size;
    }
}
