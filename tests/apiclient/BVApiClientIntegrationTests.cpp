// The main flows against the reference service over HTTPS.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientSharingContext.h"
#include "BVApi/Networking/BVSignInSequence.h"
#include "LoopbackTcpProxy.h"
#include "ReferenceServer.h"
#include "TempDir.h"
#include "app/Logging/BVLogging.h"

namespace bvtest {
namespace {

using json = nlohmann::json;

class ServiceFlowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        home_ = new ScopedHome();
        BVLogging::setupWithPrefix("BV");
        ReferenceServer::Options options;
        options.seed = json::array({
            {{"username", "ann"},
             {"password", "pw-ann"},
             {"two_factor", true},
             {"upload_speed_limit", 4096}},
            {{"username", "bob"}, {"password", "pw-bob"}},
            {{"username", "cat"}, {"password", "pw-cat"}},
        });
        server_ = new ReferenceServer(options);
    }
    static void TearDownTestSuite() {
        delete server_;
        delete home_;
    }

    void SetUp() override {
        client_ = std::make_unique<BVApiClient>();
        BVApiRequestConfiguration configuration;
        configuration.setRequestHost(server_->baseUrl());
        configuration.setCaFile(server_->caFile().string());
        client_->setConfiguration(configuration);
    }

    // Signs in a user without a second factor.
    std::shared_ptr<BVApiClientAuthContext> signIn(const std::string& user,
                                                   const std::string& password) {
        auto result = BVSignInSequence::signIn(*client_, user, password, nullptr);
        EXPECT_TRUE(result.session) << result.error.description();
        return result.context;
    }

    static ScopedHome* home_;
    static ReferenceServer* server_;
    std::unique_ptr<BVApiClient> client_;
};

ScopedHome* ServiceFlowTest::home_ = nullptr;
ReferenceServer* ServiceFlowTest::server_ = nullptr;

// Asks for a code by text message, then enters a wrong one, then the one the service issued.
class ServicePrompt : public BVTwoFactorPrompt {
  public:
    explicit ServicePrompt(const ReferenceServer& server) : server_(server) {}
    Answer askForSecondFactor(const bv::Error& lastError) override {
        errors.push_back(lastError);
        switch (step_++) {
            case 0:
                return {Choice::SendTextMessage, ""};
            case 1:
                return {Choice::EnterCode, "0000000"};
            case 2:
                return {Choice::EnterCode, server_.lastTwoFactorCode("ann").value_or("")};
            default:
                return {Choice::Cancel, ""};
        }
    }
    std::vector<bv::Error> errors;

  private:
    const ReferenceServer& server_;
    int step_ = 0;
};

TEST_F(ServiceFlowTest, SignInWithTwoFactor) {
    ServicePrompt prompt(*server_);
    auto result = BVSignInSequence::signIn(*client_, "ann", "pw-ann", &prompt);
    ASSERT_TRUE(result.session) << result.error.description();
    EXPECT_EQ(result.session->username, "ann");
    EXPECT_EQ(result.session->uploadSpeedLimit, 4096);
    EXPECT_EQ(prompt.errors.size(), 3u);
    EXPECT_EQ(prompt.errors[2].code(), -197);  // the wrong code
    auto info = client_->userInfoWithContext(result.context.get(), nullptr);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->plan, "Free");
    EXPECT_TRUE(client_->logoutWithContext(result.context.get(), nullptr));
    bv::Error error;
    EXPECT_FALSE(client_->userInfoWithContext(result.context.get(), &error));
    EXPECT_EQ(error.code(), -197);

    bv::Error wrong;
    EXPECT_FALSE(BVSignInSequence::signIn(*client_, "ann", "nope", nullptr).session);
}

// Sign-up, sign-in, a request carrying the session, then a failure, so the failure log
// repeats every earlier exchange: neither the passwords nor the session id reach the log.
TEST_F(ServiceFlowTest, LogKeepsNoSecrets) {
    const std::string password = "Pw-dee-8c1f";
    ASSERT_TRUE(client_->createUserWithEmail("dee@example.com", password, "Dee", "D", nullptr));
    auto result = BVSignInSequence::signIn(*client_, "dee@example.com", password, nullptr);
    ASSERT_TRUE(result.session) << result.error.description();
    const std::string sessionId = result.session->sessionId;
    ASSERT_FALSE(sessionId.empty());
    EXPECT_TRUE(client_->logoutWithContext(result.context.get(), nullptr));
    bv::Error error;
    EXPECT_FALSE(client_->createUserWithEmail("dee@example.com", password, "Dee", "D", &error))
        << "the account exists";

    std::string log = contentsOfFilesIn(BVLogging::sharedInstance()->path());
    ASSERT_NE(log.find("=== REQUEST FAILURE. REQUESTS STACK("), std::string::npos) << log;
    EXPECT_EQ(log.find(password), std::string::npos) << log;
    EXPECT_EQ(log.find(sessionId), std::string::npos) << log;
    for (const char* marker :
         {"  passwd = \"user_password\"", "  verify_passwd = \"user_password\"",
          "  session_id = \"hidden\"", "\"SessionID\":\"hidden\""})
        EXPECT_NE(log.find(marker), std::string::npos) << marker;
}

TEST_F(ServiceFlowTest, FoldersFilesAndTrash) {
    auto auth = signIn("cat", "pw-cat");
    ASSERT_TRUE(auth);
    bv::Error error;
    auto root = client_->listFolder("0", std::nullopt, auth.get(), &error);
    ASSERT_TRUE(root) << error.description();
    EXPECT_TRUE(root->containsItemNamed("Secure Files"));
    auto again = client_->listFolder("0", std::to_string(root->updateTime), auth.get(), &error);
    ASSERT_TRUE(again) << error.description();

    auto docs = client_->createFolder("docs", "0", auth.get(), &error);
    ASSERT_TRUE(docs) << error.description();
    EXPECT_EQ(client_->folderIdAt("/docs", auth.get(), nullptr)->identifier, docs->identifier);
    EXPECT_EQ(client_->pathForFolder(docs->identifier, auth.get(), nullptr), "/docs");

    // Create, open, three chunks, close.
    std::string content;
    for (int i = 0; i < 3000; ++i)
        content.push_back(static_cast<char>(i % 251));
    std::shared_ptr<BVUploadFileHandle> created;
    auto file = client_->createFile("a.bin", docs->identifier, &created, auth.get(), false,
                                    static_cast<int64_t>(content.size()), &error);
    ASSERT_TRUE(file) << error.description();
    ASSERT_TRUE(created);
    auto handle = client_->openFile(file->identifier, content.size(), auth.get(), &error);
    ASSERT_TRUE(handle) << error.description();
    for (size_t offset = 0; offset < content.size(); offset += 1024) {
        auto piece = bv::Data::fromString(content.substr(offset, 1024));
        ASSERT_TRUE(client_->uploadChunk(piece, offset, file->identifier, handle->tempLocation,
                                         auth.get(), &error))
            << error.description();
    }
    auto closed = client_->closeFileUpload(file->identifier, content.size(), handle->tempLocation,
                                           false, std::nullopt, auth.get(), &error);
    ASSERT_TRUE(closed) << error.description();
    EXPECT_EQ(closed->size, static_cast<int64_t>(content.size()));

    auto downloaded = client_->downloadData(file->identifier, auth.get(), &error);
    ASSERT_TRUE(downloaded) << error.description();
    EXPECT_EQ(downloaded->toString(), content);
    EXPECT_EQ(client_->fileIdAt("/docs/a.bin", auth.get(), nullptr)->identifier, file->identifier);
    EXPECT_EQ(client_->fileIdAt("/docs/none.bin", auth.get(), nullptr)->identifier, "undefined");
    auto info = client_->fileInfo(file->identifier, auth.get(), &error);
    ASSERT_TRUE(info) << error.description();
    EXPECT_EQ(info->name, "a.bin");

    auto moved = client_->moveFile(file->identifier, "b.bin", "0", auth.get(), &error);
    ASSERT_TRUE(moved) << error.description();
    EXPECT_EQ(client_->pathForFile(file->identifier, auth.get(), nullptr), "/b.bin");
    auto movedFolder = client_->moveFolder(docs->identifier, "papers", "0", auth.get(), &error);
    ASSERT_TRUE(movedFolder) << error.description();

    EXPECT_TRUE(client_->trashFile(file->identifier, auth.get(), &error)) << error.description();
    EXPECT_TRUE(client_->trashFolder(docs->identifier, auth.get(), &error)) << error.description();
    auto trash = client_->listTrashFolderWithContext(auth.get(), &error);
    ASSERT_TRUE(trash) << error.description();
    EXPECT_TRUE(trash->containsItemNamed("b.bin"));
    EXPECT_TRUE(trash->containsItemNamed("papers"));
    EXPECT_TRUE(client_->restoreFile(file->identifier, auth.get(), &error)) << error.description();
    EXPECT_TRUE(client_->restoreFolder(docs->identifier, auth.get(), &error))
        << error.description();
    EXPECT_TRUE(
        client_->listFolder("0", std::nullopt, auth.get(), nullptr)->containsItemNamed("b.bin"));

    EXPECT_TRUE(client_->deleteFile(file->identifier, auth.get(), &error)) << error.description();
    EXPECT_TRUE(client_->deleteFolder(docs->identifier, auth.get(), &error)) << error.description();
    auto emptied = client_->createFolder("old", "0", auth.get(), nullptr);
    ASSERT_TRUE(emptied);
    EXPECT_TRUE(client_->trashFolder(emptied->identifier, auth.get(), nullptr));
    EXPECT_TRUE(client_->emptyTrashWithContext(auth.get(), &error)) << error.description();
    trash = client_->listTrashFolderWithContext(auth.get(), nullptr);
    ASSERT_TRUE(trash);
    EXPECT_TRUE(trash->combinedItems().empty());
}

TEST_F(ServiceFlowTest, SharingContextListsWhatAnotherUserShares) {
    auto owner = signIn("bob", "pw-bob");
    auto guest = signIn("cat", "pw-cat");
    ASSERT_TRUE(owner && guest);
    bv::Error error;
    auto shared = client_->createFolder("for-cat", "0", owner.get(), &error);
    ASSERT_TRUE(shared) << error.description();
    ASSERT_TRUE(client_->createFolder("inside", shared->identifier, owner.get(), nullptr));
    ASSERT_TRUE(client_->shareFolder(shared->identifier, "cat", 1, owner.get(), &error))
        << error.description();
    auto users = client_->listSharingUsersOf(shared->identifier, owner.get(), &error);
    ASSERT_TRUE(users) << error.description();
    ASSERT_TRUE(users->itemNamed("cat"));

    auto sharers = client_->listSharedUsersWithContext(guest.get(), &error);
    ASSERT_TRUE(sharers) << error.description();
    auto bob = sharers->itemNamed("bob");
    ASSERT_TRUE(bob);
    BVApiClientSharingContext sharing(guest->session());
    sharing.sharingId = bob->identifier;
    auto folders = client_->sharedFoldersWithContext(&sharing, &error);
    ASSERT_TRUE(folders) << error.description();
    EXPECT_EQ(folders->identifier, bob->identifier);
    EXPECT_TRUE(folders->containsItemNamed("for-cat"));
    auto inside = client_->listFolder(shared->identifier, std::nullopt, &sharing, &error);
    ASSERT_TRUE(inside) << error.description();
    EXPECT_TRUE(inside->containsItemNamed("inside"));

    EXPECT_TRUE(client_->changeSharing(users->itemNamed("cat")->identifier, 0, owner.get(), &error))
        << error.description();
    EXPECT_TRUE(client_->deleteSharing(users->itemNamed("cat")->identifier, owner.get(), &error))
        << error.description();
    EXPECT_FALSE(client_->listFolder(shared->identifier, std::nullopt, &sharing, nullptr));
}

TEST_F(ServiceFlowTest, SecureFolderInitAndAuth) {
    auto auth = signIn("bob", "pw-bob");
    ASSERT_TRUE(auth);
    bv::Error error;
    auto secure = client_->folderIdAt("/Secure Files", auth.get(), &error);
    ASSERT_TRUE(secure) << error.description();
    ASSERT_NE(secure->identifier, "undefined");
    EXPECT_TRUE(
        client_->secureFoldersAuth(secure->identifier, auth.get(), nullptr)->response.empty());
    ASSERT_TRUE(
        client_->secureFoldersInit(secure->identifier, "verifier", "hash1", auth.get(), &error))
        << error.description();
    auto data = client_->secureFoldersAuth(secure->identifier, auth.get(), &error);
    ASSERT_TRUE(data->valueForKey("Data")) << error.description();
    EXPECT_EQ(*data->valueForKey("Data"), "verifier");
    EXPECT_TRUE(client_->secureFoldersAuth(secure->identifier, "hash1", auth.get(), &error));
    error = {};
    EXPECT_FALSE(client_->secureFoldersAuth(secure->identifier, "hash2", auth.get(), &error));
    EXPECT_EQ(error.code(), -197);
}

// Counted at a relay in front of the service: a thread's requests share one connection,
// and threads running at once do not queue for each other's.
TEST_F(ServiceFlowTest, RequestsOfAThreadShareOneConnection) {
    LoopbackTcpProxy proxy(server_->port());
    BVApiClient client;
    BVApiRequestConfiguration configuration;
    configuration.setRequestHost(proxy.baseURL());
    configuration.setCaFile(server_->caFile().string());
    client.setConfiguration(configuration);
    std::shared_ptr<BVApiClientAuthContext> auth;
    std::atomic<int> listings{0};
    auto listRoot = [&](int times) {
        for (int i = 0; i < times; ++i)
            if (client.listFolder("0", std::nullopt, auth.get(), nullptr))
                ++listings;
    };
    std::thread([&] {
        auto result = BVSignInSequence::signIn(client, "cat", "pw-cat", nullptr);
        auth = result.context;
        if (auth)
            listRoot(20);
    }).join();
    ASSERT_TRUE(auth);
    EXPECT_EQ(listings, 20);
    EXPECT_EQ(proxy.acceptedConnections(), 1) << "sign-in and listings of one thread";

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(listRoot, 10);
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(listings, 60);
    EXPECT_LE(proxy.acceptedConnections(), 1 + 4);
}

TEST_F(ServiceFlowTest, BusyFolderFromTheServiceIsResent) {
    auto auth = signIn("cat", "pw-cat");
    ASSERT_TRUE(auth);
    auto clock = std::make_shared<bv::ManualClock>();
    BVApiClient client(clock);
    BVApiRequestConfiguration configuration;
    configuration.setRequestHost(server_->baseUrl());
    configuration.setCaFile(server_->caFile().string());
    client.setConfiguration(configuration);
    server_->addFault({{"endpoint", "folder/list.json"}, {"kind", "busy"}, {"count", 2}});
    double start = clock->now();
    EXPECT_TRUE(client.listFolder("0", std::nullopt, auth.get(), nullptr));
    EXPECT_DOUBLE_EQ(clock->now() - start, 10);
    server_->clearFaults();
}

}  // namespace
}  // namespace bvtest
