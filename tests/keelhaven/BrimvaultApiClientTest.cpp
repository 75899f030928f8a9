// Keelhaven's service facade against the reference service.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "BVApi/Networking/BVSignInSequence.h"
#include "Keelhaven/BrimvaultAPIClient/BrimvaultApiClient.h"
#include "ReferenceServer.h"
#include "TempDir.h"
#include "app/Logging/BVLogging.h"

namespace bvtest {
namespace {

using json = nlohmann::json;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class BrimvaultApiClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        home_ = new ScopedHome();
        BVLogging::setupWithPrefix("KH");
        ReferenceServer::Options options;
        options.seed = json::array({{{"username", "kim"}, {"password", "pw-kim"}}});
        server_ = new ReferenceServer(options);
    }
    static void TearDownTestSuite() {
        delete server_;
        delete home_;
    }

    void SetUp() override {
        BVApiRequestConfiguration configuration;
        configuration.setRequestHost(server_->baseUrl());
        configuration.setCaFile(server_->caFile().string());
        service_ = std::make_unique<BVApiClient>();
        clock_ = std::make_shared<bv::ManualClock>();
        client_ = std::make_unique<BrimvaultApiClient>(service_.get(), configuration, clock_);
        auto result = BVSignInSequence::signIn(*service_, "kim", "pw-kim", nullptr);
        ASSERT_TRUE(result.session) << result.error.description();
        session_ = result.session->sessionId;
    }
    void TearDown() override { server_->clearFaults(); }

    // A new folder below the root, named after the running test.
    BrimvaultFolder testFolder() {
        std::string reason;
        auto folder = client_->doCreateDirectory(
            "0", "/", ::testing::UnitTest::GetInstance()->current_test_info()->name(), session_,
            "0", &reason);
        EXPECT_TRUE(folder) << reason;
        return folder.value_or(BrimvaultFolder{});
    }

    // Creates, fills in chunks of at most chunkSize and closes a file; answers its id.
    std::string upload(const BrimvaultFolder& folder, const std::string& name,
                       const std::string& content, int64_t modified, size_t chunkSize = 1 << 20) {
        std::string reason;
        auto created = client_->doCreateFile(
            folder.m_folderID, name, static_cast<int64_t>(content.size()), session_, "0", &reason);
        EXPECT_TRUE(created) << reason;
        if (!created)
            return "";
        for (size_t offset = 0; offset < content.size(); offset += chunkSize) {
            auto piece = content.substr(offset, chunkSize);
            EXPECT_TRUE(client_->doFileUpload(bv::Data::fromString(piece), created->fileID, offset,
                                              created->tempLocation, session_, "0", false, nullptr,
                                              &reason))
                << reason;
        }
        auto closed = client_->doCloseFileForUpload(
            created->fileID, name, static_cast<int64_t>(content.size()), created->tempLocation,
            session_, modified, folder.m_folderID, false, "0", &reason);
        EXPECT_TRUE(closed) << reason;
        return created->fileID;
    }

    static ScopedHome* home_;
    static ReferenceServer* server_;
    std::unique_ptr<BVApiClient> service_;
    std::shared_ptr<bv::ManualClock> clock_;
    std::unique_ptr<BrimvaultApiClient> client_;
    std::string session_;
    TempDir local_;
};

ScopedHome* BrimvaultApiClientTest::home_ = nullptr;
ReferenceServer* BrimvaultApiClientTest::server_ = nullptr;

TEST_F(BrimvaultApiClientTest, FoldersAndLookupByName) {
    auto folder = testFolder();
    EXPECT_EQ(folder.m_path, "/FoldersAndLookupByName");
    EXPECT_FALSE(folder.m_isLocal);
    EXPECT_EQ(folder.m_parentFolderId, "0");

    std::string reason;
    EXPECT_FALSE(
        client_->doCreateDirectory("0", "/", "FoldersAndLookupByName", session_, "0", &reason));
    EXPECT_EQ(reason, BrimvaultApiClient::kItemExists);

    auto sub =
        client_->doCreateDirectory(folder.m_folderID, folder.m_path, "sub", session_, "0", &reason);
    ASSERT_TRUE(sub) << reason;
    EXPECT_EQ(sub->m_path, "/FoldersAndLookupByName/sub");
    upload(folder, "notes.txt", "hello", 1'600'000'000);

    std::string id;
    bool isFolder = false;
    ASSERT_TRUE(client_->doGetItemByName("  sub\n", &id, session_, folder.m_folderID, &isFolder,
                                         "0", &reason));
    EXPECT_EQ(id, sub->m_folderID);
    EXPECT_TRUE(isFolder);
    ASSERT_TRUE(client_->doGetItemByName("notes.txt", &id, session_, folder.m_folderID, &isFolder,
                                         "0", &reason));
    EXPECT_FALSE(isFolder);
    EXPECT_FALSE(client_->doGetItemByName("missing", &id, session_, folder.m_folderID, &isFolder,
                                          "0", &reason));
    EXPECT_EQ(reason, BrimvaultApiClient::kNoSuchItem);
    EXPECT_FALSE(client_->doGetFileByName("sub", session_, folder.m_folderID, "0", &reason));
    EXPECT_EQ(reason, BrimvaultApiClient::kNoSuchItem);

    int64_t stamp = 0;
    std::vector<BrimvaultFile> files;
    std::vector<BrimvaultFolder> folders;
    ASSERT_TRUE(client_->doDirListing(folder.m_folderID, folder.m_path, &stamp, &files, &folders,
                                      session_, "0", &reason));
    EXPECT_GT(stamp, 0);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].m_path, "/FoldersAndLookupByName/notes.txt");
    EXPECT_EQ(files[0].m_size, 5);
    EXPECT_EQ(files[0].m_modifiedDate, 1'600'000'000);
    EXPECT_EQ(files[0].m_parentFolderId, folder.m_folderID);
    ASSERT_EQ(folders.size(), 1u);

    // The drive root is folder "0".
    ASSERT_TRUE(client_->doDirListing("0", "/", &stamp, &files, &folders, session_, "0", &reason));
    bool found = false;
    for (const auto& f : folders)
        found |= f.m_path == "/FoldersAndLookupByName";
    EXPECT_TRUE(found);

    EXPECT_TRUE(client_->doDeleteAFolder(sub->m_folderID, sub->m_path, session_, "0", &reason))
        << reason;
    EXPECT_FALSE(
        client_->doGetItemByName("sub", &id, session_, folder.m_folderID, &isFolder, "0", &reason));
}

TEST_F(BrimvaultApiClientTest, UploadInChunksThenDownload) {
    auto folder = testFolder();
    std::string content(3000, 'x');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>('a' + i % 26);
    std::string id = upload(folder, "big.bin", content, 1'650'000'000, 1024);

    auto path = local_.path() / "big.bin";
    std::string reason;
    std::string target;
    ASSERT_TRUE(client_->doDownloadFile(path.string(), id, false, &target, session_, 1'650'000'000,
                                        "0", nullptr, &reason))
        << reason;
    EXPECT_EQ(readFile(path), content);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1'650'000'000);

    // Reopened for a new upload, the file takes new content at the same id.
    auto temp = client_->doOpenFileForUpload(id, session_, "0", &reason);
    ASSERT_TRUE(temp) << reason;
    // A chunk at the wrong offset is refused with the service's offset text, and the caller
    // still holds its bytes to send them again at the right one.
    bv::Data chunk = bv::Data::fromString("abc");
    EXPECT_FALSE(
        client_->doFileUpload(chunk, id, 7, *temp, session_, "0", false, nullptr, &reason));
    EXPECT_EQ(reason.rfind(BrimvaultApiClient::kIncorrectOffset, 0), 0u) << reason;
    EXPECT_EQ(chunk, bv::Data::fromString("abc"));
    EXPECT_TRUE(
        client_->doFileUpload(chunk, id, 0, *temp, session_, "0", false, nullptr, &reason))
        << reason;
    EXPECT_EQ(chunk, bv::Data::fromString("abc"));

    EXPECT_TRUE(client_->doDeleteAFile(id, "/x/big.bin", session_, "0", &reason)) << reason;
    std::string found;
    bool isFolder = false;
    EXPECT_FALSE(client_->doGetItemByName("big.bin", &found, session_, folder.m_folderID, &isFolder,
                                          "0", &reason));
}

TEST_F(BrimvaultApiClientTest, LinkStoredAsContentBecomesALinkOnTheSecondAttempt) {
    auto folder = testFolder();
    std::string id =
        upload(folder, "link", std::string("HiKZ188KSR2E") + "../target.txt", 1'600'000'000);
    auto path = local_.path() / "link";
    std::string reason;
    std::string target;
    EXPECT_FALSE(client_->doDownloadFile(path.string(), id, false, &target, session_, 1'600'000'000,
                                         "0", nullptr, &reason));
    EXPECT_EQ(reason, BrimvaultApiClient::kFileIsSymlink);
    EXPECT_EQ(target, "../target.txt");
    ASSERT_TRUE(client_->doDownloadFile(path.string(), id, true, &target, session_, 1'600'000'000,
                                        "0", nullptr, &reason))
        << reason;
    EXPECT_EQ(std::filesystem::read_symlink(path), "../target.txt");
}

TEST_F(BrimvaultApiClientTest, FailedCloseCountsWhenTheListingShowsTheFile) {
    auto folder = testFolder();
    std::string reason;
    auto created = client_->doCreateFile(folder.m_folderID, "late.txt", 4, session_, "0", &reason);
    ASSERT_TRUE(created) << reason;
    ASSERT_TRUE(client_->doFileUpload(bv::Data::fromString("late"), created->fileID, 0,
                                      created->tempLocation, session_, "0", false, nullptr,
                                      &reason));
    // The close is refused: nothing is listed, so after 61 checks the close fails.
    server_->addFault({{"endpoint", "upload/close_file_upload.json"},
                       {"kind", "error"},
                       {"count", 1},
                       {"code", 500},
                       {"message", "closing failed"}});
    double before = clock_->now();
    EXPECT_FALSE(client_->doCloseFileForUpload(created->fileID, "late.txt", 4,
                                               created->tempLocation, session_, 1'600'000'000,
                                               folder.m_folderID, false, "0", &reason));
    EXPECT_EQ(reason, "closing failed");
    EXPECT_DOUBLE_EQ(clock_->now() - before, 60);

    // A file that the listing shows with the expected size and time counts as closed.
    upload(folder, "done.txt", "done", 1'600'000'000);
    server_->addFault({{"endpoint", "upload/close_file_upload.json"},
                       {"kind", "error"},
                       {"count", 1},
                       {"code", 500},
                       {"message", "closing failed"}});
    auto again = client_->doCreateFile(folder.m_folderID, "other.txt", 4, session_, "0", &reason);
    ASSERT_TRUE(again) << reason;
    EXPECT_TRUE(client_->doCloseFileForUpload(again->fileID, "done.txt", 4, again->tempLocation,
                                              session_, 1'600'000'000, folder.m_folderID, false,
                                              "0", &reason));
}

TEST_F(BrimvaultApiClientTest, StatisticsSendBlanksAsSemicolons) {
    std::string reason;
    ASSERT_TRUE(client_->sendSyncStatistics(1, "Photos", 12, 3, "/home/k/Photos", "/Backup",
                                            "a@example.com b@example.com", session_, &reason))
        << reason;
    auto sent = server_->statistics("kim");
    ASSERT_FALSE(sent.empty());
    const json& request = sent.back()["request"];
    EXPECT_EQ(request["emails"], "a@example.com;b@example.com");
    EXPECT_EQ(request["task_name"], "Photos");
    EXPECT_TRUE(request["task_status"] == 1 || request["task_status"] == "1")
        << request["task_status"];
    EXPECT_EQ(request["task_dst"], "/Backup");
}

}  // namespace
}  // namespace bvtest
