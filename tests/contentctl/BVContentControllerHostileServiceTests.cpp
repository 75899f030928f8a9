// The content controller against a service that answers what an attacker would: names that
// are no path component, entries that pose as the fixed folders, negative sizes.
#include <gmock/gmock.h>

#include "ApiClientFixture.h"
#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/Controller/BVContentController.h"

namespace bvtest {
namespace {

using json = nlohmann::json;

json listingAnswer(json folders, json files) {
    return {{"DirUpdateTime", 5}, {"Name", "x"},        {"ParentFolderID", "0"},
            {"ResponseType", 1},  {"Folders", folders}, {"Files", files}};
}

CannedAnswer ok(const json& body) {
    return CannedAnswer{200, body.dump()};
}

// The recording loopback service of the client's tests, with a cache that holds its session
// and a content controller on both.
class HostileServiceTest : public ApiClientFixture {
  protected:
    void SetUp() override {
        ApiClientFixture::SetUp();
        cache_ = BVCacheController::cacheControllerAt(
            dir_.path() / "cache", {.clock = clock_, .runtimeIdentifier = "run"});
        cache_->storeItem(session_);
        content_ = std::make_unique<BVContentController>(BVContentController::Options{
            .client = client_.get(), .cache = cache_, .clock = clock_, .secureFolderGates = {}});
        server_->answer(
            "folder/list.json",
            {ok(listingAnswer({{{"FolderID", "d1"}, {"Name", "Docs"}}}, json::array()))});
    }

    void TearDown() override {
        content_.reset();
        // The shared reference too: its writer must stop before the folder and exit take
        // what it writes from.
        BVCacheController::resetSharedController();
        cache_.reset();
        ApiClientFixture::TearDown();
    }

    size_t leftOutRecords() const {
        const std::string text = logText();
        size_t count = 0;
        for (size_t at = text.find("Left out "); at != std::string::npos;
             at = text.find("Left out ", at + 1))
            ++count;
        return count;
    }

    TempDir dir_;
    std::shared_ptr<BVCacheController> cache_;
    std::unique_ptr<BVContentController> content_;
};

TEST_F(HostileServiceTest, EntriesNoVolumeCanShowAreLeftOutOfTheListing) {
    const json folders = {
        {{"FolderID", "0"}, {"Name", "evil"}},    {{"FolderID", "-1"}, {"Name", "bin"}},
        {{"FolderID", "-2"}, {"Name", "others"}}, {{"FolderID", "d2"}, {"Name", ".."}},
        {{"FolderID", "d3"}, {"Name", "."}},      {{"FolderID", "d4"}, {"Name", "a/b"}},
        {{"FolderID", "d5"}, {"Name", ""}},       {{"FolderID", "d6"}, {"Name", "kept"}},
    };
    const json files = {
        {{"FileId", "f1"}, {"Name", std::string("nul\0.txt", 8)}},
        {{"FileId", "f2"}, {"Name", "\x1b]0;owned\x07"}},
        {{"FileId", "f3"}, {"Name", std::string(300 * 1024, 'n')}},
        {{"FileId", "f4"}, {"Name", "negative.txt"}, {"Size", -4096}},
        {{"FileId", "f5"}, {"Name", "fine.txt"}, {"Size", 3}},
    };
    server_->answer("folder/list.json",
                    {ok(listingAnswer({{{"FolderID", "d1"}, {"Name", "Docs"}}}, json::array())),
                     ok(listingAnswer(folders, files))});
    bv::Error error;
    ASSERT_NE(content_->listFolderAt("/", &error), nullptr) << error.description();
    auto docs = content_->listFolderAt("/Docs", &error);
    ASSERT_NE(docs, nullptr) << error.description();
    EXPECT_THAT(docs->itemNames(), testing::ElementsAre("kept", "fine.txt"));
    EXPECT_EQ(leftOutRecords(), 1u);

    // The entry that carried the root's identifier is gone from the cache too: its path is
    // asked of the service, which does not know it, and the root listing is not answered.
    server_->answer("folder/idbypath.json", R"({"error":{"code":404,"message":"No such folder"}})",
                    404);
    error = bv::Error();
    EXPECT_EQ(content_->listFolderAt("/Docs/evil", &error), nullptr);
    EXPECT_EQ(error.code(), BVContentController::kErrorNotFound);
    EXPECT_FALSE(content_->identifierForFolderAt("/Docs/bin", true));
}

TEST_F(HostileServiceTest, SharingUsersWithUnusableNamesAreLeftOut) {
    server_->answer("sharing/listsharedusers.json",
                    R"({"ResponseType":1,"SharedUsers":[{"Name":"..","SharingID":"s1"},)"
                    R"({"Name":"bob","SharingID":"s2"},{"Name":"a/b","SharingID":"s3"},)"
                    R"({"Name":"root","SharingID":"0"}]})");
    bv::Error error;
    auto users = content_->listFolderAt("/Shared Folders", &error);
    ASSERT_NE(users, nullptr) << error.description();
    EXPECT_THAT(users->itemNames(), testing::ElementsAre("bob"));
    EXPECT_EQ(leftOutRecords(), 1u);

    error = bv::Error();
    EXPECT_EQ(content_->contextForPath("/Shared Folders/../x", &error), nullptr);
    EXPECT_EQ(error.code(), BVContentController::kErrorSharedUserNotFound);
}

TEST_F(HostileServiceTest, NestedAnswersAreRefusedWithoutCrashing) {
    ASSERT_NE(content_->listFolderAt("/", nullptr), nullptr);
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "[";
    deep += std::string(100000, ']');
    const std::vector<std::string> responseTypes = {deep, R"({"a":[1]})", "[1]"};
    for (const auto& responseType : responseTypes) {
        std::string body = listingAnswer(json::array(), json::array()).dump();
        body.replace(body.find("\"ResponseType\":1") + 15, 1, responseType);
        server_->answer("folder/list.json", body);
        bv::Error error;
        EXPECT_EQ(content_->listFolderAt("/Docs", true, &error), nullptr)
            << responseType.substr(0, 10);
        EXPECT_TRUE(error.isSet()) << responseType.substr(0, 10);
        EXPECT_NE(error.code(), BVContentController::kErrorNotFound) << responseType.substr(0, 10);
    }
}

}  // namespace
}  // namespace bvtest
