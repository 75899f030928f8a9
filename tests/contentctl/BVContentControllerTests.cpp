#include <ctime>
#include <set>

#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Controllers/BVSatellitesController.h"
#include "BVApi/Networking/BVApiClientSharingContext.h"
#include "ContentFixture.h"

namespace bvtest {
namespace {

using Content = BVContentController;

std::set<std::string> namesOf(const BVFolderListItem& listing) {
    auto names = listing.itemNames();
    return {names.begin(), names.end()};
}

std::shared_ptr<BVFolderItem> folderNamed(const BVFolderListItem& listing,
                                          const std::string& name) {
    auto item = listing.itemNamed(name);
    return item && item->isKindOf(BVFolderItem::itemClass())
               ? std::static_pointer_cast<BVFolderItem>(item)
               : nullptr;
}

TEST(ContentPathPredicates, TrashSharedAndTopLevelPaths) {
    struct Case {
        std::string path;
        bool trash, shared, topLevelDocs;
    };
    const std::vector<Case> cases = {
        {"/", false, false, false},
        {"/Trash", true, false, false},
        {"/Trash/a.txt", true, false, false},
        {"/Shared Folders", false, false, false},
        {"/Shared Folders/", false, false, false},
        {"/Shared Folders/bob", false, true, false},
        {"/Shared Folders/bob/x", false, true, false},
        {"/Docs", false, false, true},
        {"/Docs/", false, false, true},
        {"/Docs/a", false, false, false},
        {"/TrashCan", false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Content::isTrashFolder(c.path), c.trash) << c.path;
        EXPECT_EQ(Content::isSharedFolder(c.path), c.shared) << c.path;
        EXPECT_EQ(Content::isPath(c.path, "Docs"), c.topLevelDocs) << c.path;
    }
}

class ContentControllerTest : public ContentFixture {};

TEST_F(ContentControllerTest, RootShowsVirtualFoldersAndSecureFoldersAreKnownFromTheCache) {
    makeFolder("Docs", "0");
    bv::Error error;
    auto root = content_->listFolderAt("/", &error);
    ASSERT_NE(root, nullptr) << error.description();
    EXPECT_EQ(root->identifier, "0");
    auto shared = folderNamed(*root, "Shared Folders");
    auto trash = folderNamed(*root, "Trash");
    ASSERT_TRUE(shared && trash);
    EXPECT_EQ(shared->identifier, "-2");
    EXPECT_EQ(trash->identifier, "-1");
    EXPECT_TRUE(root->containsItemNamed("Docs"));
    EXPECT_TRUE(root->containsItemNamed("Secure Files"));

    EXPECT_TRUE(content_->isSecureFolder("/Secure Files"));
    EXPECT_TRUE(content_->isSecureFolder("/Secure Files/deep/file.txt"));
    EXPECT_FALSE(content_->isSecureFolder("/Docs/file.txt"));
}

TEST_F(ContentControllerTest, TrashNamesAreMadeUnique) {
    for (int i = 0; i < 3; ++i) {
        std::string id = makeFile("a.txt", "0");
        ASSERT_TRUE(client_->trashFile(id, service(), nullptr));
    }
    bv::Error error;
    auto trash = content_->listFolderAt("/Trash", &error);
    ASSERT_NE(trash, nullptr) << error.description();

    std::time_t now = static_cast<std::time_t>(bv::Clock::system()->now());
    std::tm local{};
    localtime_r(&now, &local);
    char date[16];
    std::strftime(date, sizeof date, "%m-%d-%y", &local);
    EXPECT_EQ(
        namesOf(*trash),
        (std::set<std::string>{"a.txt", std::string("a.txt (from ") + date + ")", "a.txt (2)"}));
    // The unique names are the ones paths in the trash resolve by.
    auto second = content_->identifierForFileAt("/Trash/a.txt (2)");
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(trash->itemNamed("a.txt (2)")->identifier, *second);
}

TEST_F(ContentControllerTest, PathsResolveRegardlessOfLetterCase) {
    std::string docs = makeFolder("Docs", "0");
    std::string report = makeFile("Report.TXT", docs);

    // Through the service, then from the identifier cached under the lower-cased path.
    EXPECT_EQ(content_->identifierForFileAt("/Docs/Report.TXT"), report);
    EXPECT_EQ(content_->identifierForFileAt("/DOCS/report.txt", true), report);
    // From the listing of the parent.
    ASSERT_NE(content_->listFolderAt("/docs", nullptr), nullptr);
    EXPECT_EQ(content_->identifierForFileAt("/dOcS/rEpOrT.tXt", true), report);
    EXPECT_EQ(content_->identifierForFolderAt("/DOCS", true), docs);
    // A file is not a folder, nor the other way round.
    EXPECT_FALSE(content_->identifierForFolderAt("/Docs/Report.TXT", true));
    EXPECT_FALSE(content_->identifierForFileAt("/Docs", true));
}

TEST_F(ContentControllerTest, AFileAskedForFirstDoesNotHideTheFolderOfThatName) {
    std::string docs = makeFolder("Docs", "0");
    std::string inner = makeFolder("Inner", docs);
    // Nothing is listed: both questions go to the service, under one cache key.
    EXPECT_FALSE(content_->identifierForFileAt("/Docs/Inner"));
    EXPECT_EQ(content_->identifierForFolderAt("/Docs/Inner"), inner);
}

TEST_F(ContentControllerTest, UnresolvablePathsFailWithNotFound) {
    struct Case {
        const char* what;
        std::function<bool(Content&, bv::Error*)> call;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"listing", [](Content& c, bv::Error* e) { return c.listFolderAt("/nope", e) != nullptr; },
         "Folder not found!"},
        {"listing in trash",
         [](Content& c, bv::Error* e) { return c.listFolderAt("/Trash/nope", e) != nullptr; },
         "Folder not found!"},
        {"folder info",
         [](Content& c, bv::Error* e) { return c.itemInfoAt("/nope/deeper", e) != nullptr; },
         "Folder not found!"},
        {"sharing users",
         [](Content& c, bv::Error* e) { return c.sharingUsersOfFolderAt("/nope", e) != nullptr; },
         "Folder not found!"},
        {"thumbnail",
         [](Content& c, bv::Error* e) { return c.fileThumbnailAt("/nope.png", e) != nullptr; },
         "File not found!"},
    };
    for (const auto& c : cases) {
        bv::Error error;
        EXPECT_FALSE(c.call(*content_, &error)) << c.what;
        EXPECT_EQ(error.domain(), "__FILE__") << c.what;
        EXPECT_EQ(error.code(), -1000) << c.what;
        EXPECT_EQ(error.failureReason(), c.reason) << c.what;
    }
    EXPECT_FALSE(content_->isFileEmptyAt("/nope.txt"));
    std::string docs = makeFolder("Docs", "0");
    makeFile("empty.txt", docs);
    EXPECT_TRUE(content_->isFileEmptyAt("/Docs/empty.txt"));
}

TEST_F(ContentControllerTest, FailuresComeBackAsThemselvesNeverAsNotFound) {
    std::string docs = makeFolder("Docs", "0");
    makeFolder("Inner", docs);
    makeFile("pic.png", docs);
    ASSERT_TRUE(client_->trashFile(makeFile("old.txt", "0"), service(), nullptr));

    struct Lookup {
        std::string what;
        std::string endpoint;  // where the fault strikes
        std::function<bool(Content&, bv::Error*)> call;
    };
    const std::vector<Lookup> lookups = {
        {"listing", "folder/idbypath.json",
         [](Content& c, bv::Error* e) { return c.listFolderAt("/Docs/Inner", e) != nullptr; }},
        {"listing of the parent", "folder/list.json",
         [](Content& c, bv::Error* e) { return c.listFolderAt("/Docs", e) != nullptr; }},
        {"folder identifier", "folder/idbypath.json",
         [](Content& c, bv::Error* e) {
             return c.identifierForFolderAt("/Docs/Inner", false, e).has_value();
         }},
        {"file identifier", "file/idbypath.json",
         [](Content& c, bv::Error* e) {
             return c.identifierForFileAt("/Docs/pic.png", false, e).has_value();
         }},
        {"file in the trash", "folder/trashlist.json",
         [](Content& c, bv::Error* e) {
             return c.identifierForFileAt("/Trash/old.txt", false, e).has_value();
         }},
        {"file information", "file/idbypath.json",
         [](Content& c, bv::Error* e) { return c.itemInfoAt("/Docs/pic.png", e) != nullptr; }},
        {"folder information", "folder/info.json",
         [](Content& c, bv::Error* e) { return c.itemInfoAt("/Docs/Inner", e) != nullptr; }},
        {"minimal information", "folder/list.json",
         [](Content& c, bv::Error* e) {
             return c.minimalItemInfoAt("/Docs/pic.png", e) != nullptr;
         }},
        {"thumbnail lookup", "file/idbypath.json",
         [](Content& c, bv::Error* e) { return c.fileThumbnailAt("/Docs/pic.png", e) != nullptr; }},
        {"thumbnail", "file/thumb.json",
         [](Content& c, bv::Error* e) { return c.fileThumbnailAt("/Docs/pic.png", e) != nullptr; }},
        {"sharing users", "folder/idbypath.json",
         [](Content& c, bv::Error* e) {
             return c.sharingUsersOfFolderAt("/Docs/Inner", e) != nullptr;
         }},
        {"trash count", "folder/trashlist.json",
         [](Content& c, bv::Error* e) {
             c.userInfoWithError(e);
             return !e->isSet();
         }},
    };
    struct Fault {
        nlohmann::json rule;
        int64_t code;
    };
    const std::vector<Fault> faults = {
        {{{"kind", "http500"}}, -200},
        {{{"kind", "error"}, {"code", 500}, {"message", "Injected fault"}}, -197},
        {{{"kind", "nonjson"}}, -200},
    };
    for (const auto& lookup : lookups) {
        for (const auto& fault : faults) {
            const std::string label = lookup.what + " / " + fault.rule["kind"].get<std::string>();
            // The raw thumbnail exchange takes any body of a 200 answer for the image, and
            // another status for no image.
            const bool raw = lookup.endpoint == "file/thumb.json";
            if (raw && fault.rule["kind"] == "nonjson")
                continue;
            freshCache();
            auto rule = fault.rule;
            rule["endpoint"] = lookup.endpoint;
            server_->addFault(rule);
            bv::Error error;
            EXPECT_FALSE(lookup.call(*content_, &error)) << label;
            EXPECT_EQ(error.code(), raw ? BVApiRequest::kErrorBadAnswer : fault.code)
                << label << ": " << error.description();
            server_->clearFaults();
            // Nothing of the failure stayed in the cache as an answer.
            error = bv::Error();
            EXPECT_TRUE(lookup.call(*content_, &error)) << label << ": " << error.description();
        }
    }
}

TEST_F(ContentControllerTest, AFailedListingIsNotAskedForAgainAtOnce) {
    makeFolder("Docs", "0");
    ASSERT_NE(content_->listFolderAt("/", nullptr), nullptr);
    server_->addFault({{"endpoint", "folder/list.json"},
                       {"kind", "error"},
                       {"code", 500},
                       {"message", "Injected fault"},
                       {"count", 2}});
    // Each listing meets one fault: the first failure was answered as it was, not listed
    // again at once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        bv::Error error;
        EXPECT_EQ(content_->listFolderAt("/Docs", &error), nullptr) << attempt;
        EXPECT_EQ(error.failureReason(), "Injected fault") << attempt;
    }
    bv::Error error;
    EXPECT_NE(content_->listFolderAt("/Docs", &error), nullptr) << error.description();
    server_->clearFaults();
}

TEST_F(ContentControllerTest, SharedUsersFoldersListThroughTheSharingContext) {
    // Another user shares a folder with this one.
    const std::string guest = user_;
    const std::string owner = newUser();
    auto ownerSession = client_->authenticateUserSessionWithUsername(owner, "pw", nullptr);
    ASSERT_NE(ownerSession, nullptr);
    BVApiClientAuthContext ownerContext(ownerSession);
    auto shared = client_->createFolder("for-guest", "0", &ownerContext, nullptr);
    ASSERT_NE(shared, nullptr);
    ASSERT_NE(client_->createFolder("inside", shared->identifier, &ownerContext, nullptr), nullptr);
    ASSERT_TRUE(client_->shareFolder(shared->identifier, guest, 1, &ownerContext, nullptr));

    // Before /Shared Folders is listed, its users are unknown.
    bv::Error error;
    EXPECT_EQ(content_->contextForPath("/Shared Folders/" + owner + "/for-guest", &error), nullptr);
    EXPECT_EQ(error.code(), -998);
    EXPECT_EQ(error.failureReason(), "Shared user not found.");

    auto users = content_->listFolderAt("/Shared Folders", &error);
    ASSERT_NE(users, nullptr) << error.description();
    auto ownerFolder = folderNamed(*users, owner);
    ASSERT_NE(ownerFolder, nullptr);

    error = bv::Error();
    auto folders = content_->listFolderAt("/Shared Folders/" + owner, &error);
    ASSERT_NE(folders, nullptr) << error.description();
    EXPECT_EQ(folders->name, owner);
    EXPECT_TRUE(folders->containsItemNamed("for-guest"));
    auto inside = content_->listFolderAt("/Shared Folders/" + owner + "/for-guest", &error);
    ASSERT_NE(inside, nullptr) << error.description();
    EXPECT_TRUE(inside->containsItemNamed("inside"));

    auto context = std::dynamic_pointer_cast<BVApiClientSharingContext>(
        content_->contextForPath("/Shared Folders/" + owner + "/for-guest/inside", nullptr));
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->sharingId, ownerFolder->identifier);

    error = bv::Error();
    EXPECT_EQ(content_->contextForPath("/Shared Folders/nobody/x", &error), nullptr);
    EXPECT_EQ(error.code(), -998);
}

TEST_F(ContentControllerTest, CancelledSecureFolderPromptGivesStubAndNoSecondPromptWithin2s) {
    auto prompts = [this] {
        size_t count = 0;
        for (const auto& call : ui_->calls())
            count += call.kind == "secureFolderPassword" || call.kind == "newPassword";
        return count;
    };
    bv::Error error;
    auto listing = content_->listFolderAt("/Secure Files", &error);
    ASSERT_NE(listing, nullptr);
    EXPECT_TRUE(listing->isKindOf(BVStubFolderListItem::itemClass()));
    EXPECT_TRUE(listing->combinedItems().empty());
    // A cancelled question leaves the runtime without an error, and so the listing.
    EXPECT_FALSE(error.isSet()) << error.description();
    EXPECT_GE(prompts(), 1u);
    const size_t asked = prompts();

    clock_->advance(1.5);
    auto again = content_->listFolderAt("/Secure Files", nullptr);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->isKindOf(BVStubFolderListItem::itemClass()));
    EXPECT_EQ(prompts(), asked);

    // Past its 2 seconds the stub is gone and the user is asked again.
    clock_->advance(1);
    content_->listFolderAt("/Secure Files", nullptr);
    EXPECT_GT(prompts(), asked);
}

TEST_F(ContentControllerTest, AccountInformationCountsTheTrashExceptForAccountUsers) {
    struct Case {
        bool accountUser;
        int64_t trashCount;
    };
    for (const auto& c : std::vector<Case>{{false, 2}, {true, 0}}) {
        signIn(newUser({{"account_user", c.accountUser}}), "pw");
        for (const char* name : {"x.txt", "y.txt"})
            ASSERT_TRUE(client_->trashFile(makeFile(name, "0"), service(), nullptr));
        bv::Error error;
        auto info = content_->userInfoWithError(&error);
        ASSERT_NE(info, nullptr) << error.description();
        EXPECT_EQ(info->trashCount, c.trashCount) << c.accountUser;
        EXPECT_EQ(info->plan, "Free");
        // Cached: the same answer without asking again.
        EXPECT_EQ(content_->userInfoWithError(nullptr), info);
    }
}

TEST_F(ContentControllerTest, ThumbnailReadsAreCutAtTheImageLength) {
    makeFile("pic.png", "0");
    BVSatellitesController satellites(
        BVSatellitesController::Options{.procRoot = "/proc",
                                        .callerPid = [] { return pid_t(0); },
                                        .thumbnailSource =
                                            [this](const std::string& path, bv::Error* error) {
                                                return content_->fileThumbnailAt(path, error);
                                            }});
    bv::Error error;
    auto thumb = content_->fileThumbnailAt("/pic.png", &error);
    ASSERT_NE(thumb, nullptr) << error.description();
    const uint64_t n = thumb->data.size();
    ASSERT_GT(n, 10u);

    struct Case {
        uint64_t offset, size, expected;
    };
    for (const auto& c : std::vector<Case>{
             {0, 65536, n}, {0, 4, 4}, {n - 3, 100, 3}, {n, 10, 0}, {n + 2000, 10, 0}}) {
        auto bytes = satellites.readThumbnailAt("/pic.png", c.offset, c.size, nullptr);
        EXPECT_EQ(bytes.size(), c.expected) << c.offset << "+" << c.size;
        if (c.expected) {
            EXPECT_EQ(bytes.vector()[0], thumb->data.vector()[c.offset]);
        }
    }
    EXPECT_TRUE(satellites.readThumbnailAt("/none.png", 0, 10, nullptr).empty());
}

}  // namespace
}  // namespace bvtest
