#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Controllers/BVContentSecureFoldersRuntime.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "ReferenceServer.h"
#include "TempDir.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "crypto/encrypted_folder.h"
#include "platform/Preferences.h"
#include "platform/SecretStore.h"
#include "platform/UserInterface.h"

namespace {

using Runtime = BVContentSecureFoldersRuntime;
using bv::SecureFolderPasswordAnswer;

bv::Data sha256(const std::string& text) {
    std::vector<uint8_t> digest(32);
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return bv::Data(std::move(digest));
}

std::string hex(const bv::Data& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes.vector()) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0xf]);
    }
    return text;
}

BVApiRequestConfiguration configurationFor(const std::string& baseUrl, const std::string& caFile) {
    BVApiRequestConfiguration configuration;
    configuration.setRequestHost(baseUrl);
    configuration.setCaFile(caFile);
    configuration.numberOfRetries = 0;
    return configuration;
}

// A user, signed in to the reference service, whose "Secure Files" folder the tests unlock.
class SecureFoldersRuntimeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = new bvtest::ReferenceServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        BVLogging::setupWithPrefix("BV");
        bv::UserInterface::setCurrent(ui_);
        Utilities::resetPresentedErrors();
        client_.setConfiguration(configurationFor(server_->baseUrl(), server_->caFile().string()));
        user_ = "secure" + std::to_string(++userCount_);
        server_->upsertUser({{"username", user_}, {"password", "pw"}});
        cache_ = BVCacheController::cacheControllerAt(home_.path() / "cache");
        signInAgain();
        auto root = client_.listFolder("0", std::nullopt, context_.get(), nullptr);
        ASSERT_NE(root, nullptr);
        for (const auto& folder : root->folders) {
            if (folder->name == "Secure Files")
                secureId_ = folder->identifier;
        }
        ASSERT_FALSE(secureId_.empty());
    }

    void TearDown() override {
        bv::UserInterface::setCurrent(nullptr);
        BVCacheController::resetSharedController();
    }

    // A new session, not yet admitted to the secure folder, stored in the cache as
    // "default" (so without a key).
    void signInAgain() {
        bv::Error error;
        session_ = client_.authenticateUserSessionWithUsername(user_, "pw", &error);
        ASSERT_NE(session_, nullptr) << error.description();
        context_ = std::make_shared<BVApiClientAuthContext>(session_);
        cache_->storeItem(session_);
    }

    // Makes the folder secure without the run-time, then starts a session that must unlock it.
    void makeSecure(const std::string& password) {
        std::string hash, data;
        ASSERT_EQ(set_password(password, &hash, &data), 1);
        bv::Error error;
        ASSERT_TRUE(client_.secureFoldersInit(secureId_, data, hash, context_.get(), &error))
            << error.description();
        signInAgain();
    }

    std::shared_ptr<Runtime> runtime(BVApiClient* client = nullptr) {
        auto runtime = Runtime::runtimeFor(secureId_, context_, cache_);
        runtime->setApiClient(client ? client : &client_);
        runtime->setUserInterface(ui_);
        runtime->setSecretStore(secrets_);
        return runtime;
    }

    bool canListSecureFolder() {
        return client_.listFolder(secureId_, std::nullopt, context_.get(), nullptr) != nullptr;
    }

    bv::Data cachedKey() {
        auto session = cache_->fetchUserSession("default");
        return session ? session->encryptionKey : bv::Data();
    }

    std::optional<std::string> savedPassword() {
        return secrets_->find(Runtime::kKeychainService, user_);
    }

    std::vector<bv::ScriptedUserInterface::Call> callsOf(const std::string& kind) {
        std::vector<bv::ScriptedUserInterface::Call> matching;
        for (const auto& call : ui_->calls()) {
            if (call.kind == kind)
                matching.push_back(call);
        }
        return matching;
    }

    std::string logText() const {
        return bvtest::contentsOfFilesIn(BVLogging::sharedInstance()->path());
    }

    static bvtest::ReferenceServer* server_;
    static inline int userCount_ = 0;

    bvtest::ScopedHome home_;
    std::shared_ptr<bv::ScriptedUserInterface> ui_ = std::make_shared<bv::ScriptedUserInterface>();
    std::shared_ptr<bv::SecretStore> secrets_ = std::make_shared<bv::FileSecretStore>();
    BVApiClient client_{std::make_shared<bv::ManualClock>()};
    std::string user_;
    std::string secureId_;
    std::shared_ptr<BVUserSessionItem> session_;
    std::shared_ptr<BVApiClientAuthContext> context_;
    std::shared_ptr<BVCacheController> cache_;
};

bvtest::ReferenceServer* SecureFoldersRuntimeTest::server_ = nullptr;

TEST_F(SecureFoldersRuntimeTest, SetUpChecksBothAnswersThenTheSavedPasswordOpensLaterSessions) {
    EXPECT_FALSE(canListSecureFolder());
    for (const char* answer : {"", "", "one", "two", "s3cret", "s3cret"})
        ui_->supplyNewPassword(answer);

    ASSERT_TRUE(runtime()->setupPassword());

    std::vector<std::string> asked;
    for (const auto& call : callsOf("newPassword"))
        asked.push_back(call.text);
    EXPECT_EQ(asked, (std::vector<std::string>{
                         "", Runtime::kConfirmPasswordPrompt, Runtime::kMissingFieldsPrompt,
                         Runtime::kConfirmPasswordPrompt, Runtime::kMismatchPrompt,
                         Runtime::kConfirmPasswordPrompt}));
    EXPECT_TRUE(canListSecureFolder());
    EXPECT_EQ(cachedKey(), sha256("s3cret"));
    EXPECT_EQ(savedPassword(), "s3cret") << "set-up trusts this computer";

    // A later session of this computer opens the folder without asking.
    signInAgain();
    ui_->clearCalls();
    EXPECT_FALSE(canListSecureFolder());
    auto again = runtime();
    EXPECT_TRUE(again->requestPassword());
    EXPECT_FALSE(again->isRunning());
    EXPECT_TRUE(ui_->calls().empty());
    EXPECT_TRUE(canListSecureFolder());
    EXPECT_EQ(cachedKey(), sha256("s3cret"));
}

// The key opens every secure folder of the account: no file may ever hold it, whether the
// computer is trusted or not.
TEST_F(SecureFoldersRuntimeTest, TheKeyStaysInMemoryAndATrustedComputerReopensAfterARestart) {
    const bv::Data key = sha256("right");
    auto filesHoldingTheKey = [&] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)), {});
            if (bytes.find(key.toString()) != std::string::npos ||
                bytes.find(hex(key)) != std::string::npos)
                found.push_back(entry.path().string());
        }
        return found;
    };
    makeSecure("right");
    ui_->supplySecureFolderPassword({"right", false});
    ASSERT_TRUE(runtime()->requestPassword());
    EXPECT_EQ(cachedKey(), key);
    EXPECT_EQ(filesHoldingTheKey(), std::vector<std::string>());

    // The cache's memory forgets the session and reads it back from disk, without the key:
    // the key held in memory opens the folder again without a question.
    cache_->backend().clearMemcache();
    ui_->clearCalls();
    EXPECT_TRUE(runtime()->requestPassword());
    EXPECT_TRUE(ui_->calls().empty());
    EXPECT_EQ(cachedKey(), key);

    // Trusted: the password goes to the secret store, the key still nowhere.
    signInAgain();
    ui_->supplySecureFolderPassword({"right", true});
    ASSERT_TRUE(runtime()->requestPassword());
    EXPECT_EQ(savedPassword(), "right");
    EXPECT_EQ(filesHoldingTheKey(), std::vector<std::string>());

    // A restart: a new cache on the same folder and a new session open the folder with the
    // saved password, without a question.
    cache_ = BVCacheController::cacheControllerAt(home_.path() / "cache");
    signInAgain();
    EXPECT_TRUE(cachedKey().empty());
    ui_->clearCalls();
    EXPECT_TRUE(runtime()->requestPassword());
    EXPECT_TRUE(ui_->calls().empty());
    EXPECT_TRUE(canListSecureFolder());
    EXPECT_EQ(cachedKey(), key);
    EXPECT_EQ(filesHoldingTheKey(), std::vector<std::string>());
}

// A password typed in a Latin-1 terminal is bytes that are not UTF-8.
TEST_F(SecureFoldersRuntimeTest, APasswordThatIsNotUtf8IsSavedAndOpensLaterSessions) {
    const std::string latin1 = "caf\xe9";
    makeSecure(latin1);
    ui_->supplySecureFolderPassword({latin1, true});
    ASSERT_TRUE(runtime()->requestPassword());
    EXPECT_EQ(savedPassword(), latin1);

    signInAgain();
    ui_->clearCalls();
    EXPECT_TRUE(runtime()->requestPassword());
    EXPECT_TRUE(ui_->calls().empty());
    EXPECT_EQ(cachedKey(), sha256(latin1));
}

TEST_F(SecureFoldersRuntimeTest, CancelledSetUpLeavesTheFolderAsItWas) {
    ui_->supplyNewPassword("only the first field");
    EXPECT_FALSE(runtime()->setupPassword());
    EXPECT_FALSE(canListSecureFolder());
    EXPECT_EQ(savedPassword(), std::nullopt);
    // The folder can still be set up afterwards.
    ui_->supplyNewPassword("later");
    ui_->supplyNewPassword("later");
    EXPECT_TRUE(runtime()->setupPassword());
}

// Stories of the password question for a folder whose password is "right".
struct QuestionCase {
    const char* name;
    std::optional<std::string> savedBefore;
    std::vector<SecureFolderPasswordAnswer> answers;  // then cancel
    bool opened;
    size_t questions;
    std::optional<std::string> savedAfter;
    std::vector<std::string> alerts;  // a text that each alert holds, in order
};

class PasswordQuestionTest : public SecureFoldersRuntimeTest,
                             public ::testing::WithParamInterface<QuestionCase> {};

TEST_P(PasswordQuestionTest, AsksUntilRightOrCancelled) {
    const QuestionCase& c = GetParam();
    makeSecure("right");
    if (c.savedBefore) {
        ASSERT_TRUE(secrets_->save(Runtime::kKeychainService, user_, *c.savedBefore));
    }
    for (const auto& answer : c.answers)
        ui_->supplySecureFolderPassword(answer);

    auto asking = runtime();
    EXPECT_EQ(asking->requestPassword(), c.opened);

    EXPECT_FALSE(asking->isRunning());
    EXPECT_EQ(asking->isSucceeded(), c.opened);
    EXPECT_EQ(callsOf("secureFolderPassword").size(), c.questions);
    auto alerts = callsOf("alert");
    ASSERT_EQ(alerts.size(), c.alerts.size());
    for (size_t i = 0; i < alerts.size(); ++i)
        EXPECT_NE(alerts[i].text.find(c.alerts[i]), std::string::npos) << alerts[i].text;
    EXPECT_EQ(savedPassword(), c.savedAfter);
    EXPECT_EQ(canListSecureFolder(), c.opened);
    EXPECT_EQ(cachedKey(), c.opened ? sha256("right") : bv::Data());
    if (!c.answers.empty() && c.opened) {
        EXPECT_EQ(bv::Preferences::standard().boolForKey(Runtime::kTrustPreference),
                  c.answers.back().trustThisComputer);
    }
}

INSTANTIATE_TEST_SUITE_P(
    SecureFolders, PasswordQuestionTest,
    ::testing::Values(
        QuestionCase{"RightPassword", {}, {{"right", false}}, true, 1, {}, {}},
        QuestionCase{"RightPasswordTrusted", {}, {{"right", true}}, true, 1, "right", {}},
        QuestionCase{"SavedPasswordNeedsNoQuestion", "right", {}, true, 0, "right", {}},
        QuestionCase{"WrongThenRight",
                     "stale",
                     {{"wrong", true}, {"right", false}},
                     true,
                     2,
                     {},
                     {Runtime::kIncorrectPasswordMessage}},
        QuestionCase{"WrongThenCancel",
                     "stale",
                     {{"wrong", false}},
                     false,
                     2,
                     {},
                     {Runtime::kIncorrectPasswordMessage}},
        QuestionCase{"EmptyIsRefusedInTheQuestion",
                     {},
                     {{"", false}, {"right", false}},
                     true,
                     2,
                     {},
                     {Runtime::kEmptyPasswordPrompt}},
        QuestionCase{"Cancel", {}, {}, false, 1, {}, {}},
        QuestionCase{
            "CancelKeepsASavedPasswordThatWasNeverRefused", "stale", {}, false, 1, "stale", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SecureFoldersRuntimeTest, OpeningErrors) {
    makeSecure("right");
    BVApiClient unreachable{std::make_shared<bv::ManualClock>()};
    unreachable.setConfiguration(
        configurationFor("https://127.0.0.1:1/api/v1/", server_->caFile().string()));
    struct Case {
        const char* name;
        BVApiClient* client;
        std::string password;
        std::string domain;
        int64_t code;
    };
    const std::vector<Case> cases = {
        // An empty password never reaches the service (it would fail with -200 here).
        {"empty", &unreachable, "", Runtime::kErrorDomain, Runtime::kErrorNoPassword},
        {"wrong", &client_, "wrong", Runtime::kErrorDomain, Runtime::kErrorIncorrectPassword},
        {"service unreachable", &unreachable, "right", bv::kBVErrorDomain,
         BVApiClient::kErrorNetwork},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto opening = runtime(c.client);
        EXPECT_FALSE(opening->openSecureFolderWithPassword(c.password, true));
        EXPECT_EQ(opening->error().domain(), c.domain);
        EXPECT_EQ(opening->error().code(), c.code);
        EXPECT_EQ(savedPassword(), std::nullopt);
        EXPECT_TRUE(cachedKey().empty());
    }
    EXPECT_EQ(runtime()->error().isSet(), false);
    auto wrong = runtime();
    wrong->openSecureFolderWithPassword("wrong", false);
    EXPECT_EQ(wrong->error().failureReason(), Runtime::kIncorrectPasswordMessage);

    // An outage while asking ends the question instead of asking again, and keeps the saved
    // password, which was never refused.
    ASSERT_TRUE(secrets_->save(Runtime::kKeychainService, user_, "right"));
    ui_->supplySecureFolderPassword({"right", false});
    EXPECT_FALSE(runtime(&unreachable)->requestPassword());
    EXPECT_EQ(savedPassword(), "right");
    EXPECT_EQ(callsOf("secureFolderPassword").size(), 0u);
}

// Holds every password question until the test lets it through.
class GatedUserInterface : public bv::ScriptedUserInterface {
  public:
    std::optional<SecureFolderPasswordAnswer> promptSecureFolderPassword(
        const std::string& folderPath) override {
        ++asked;
        std::unique_lock held(gateLock);
        opened.wait(held, [&] { return open; });
        return ScriptedUserInterface::promptSecureFolderPassword(folderPath);
    }
    void release() {
        std::lock_guard held(gateLock);
        open = true;
        opened.notify_all();
    }
    std::atomic<int> asked{0};

  private:
    std::mutex gateLock;  // guards open
    std::condition_variable opened;
    bool open = false;
};

TEST_F(SecureFoldersRuntimeTest, ConcurrentRequestersShareOneQuestionAndItsAnswer) {
    makeSecure("right");
    struct Round {
        std::optional<SecureFolderPasswordAnswer> answer;
        bool opened;
    };
    for (const Round& round :
         {Round{std::nullopt, false}, Round{SecureFolderPasswordAnswer{"right", false}, true}}) {
        SCOPED_TRACE(round.opened ? "answered" : "cancelled");
        auto gated = std::make_shared<GatedUserInterface>();
        ui_ = gated;
        if (round.answer)
            gated->supplySecureFolderPassword(*round.answer);
        constexpr int kRequesters = 4;
        std::atomic<int> opened{0}, finished{0};
        std::vector<std::thread> requesters;
        for (int i = 0; i < kRequesters; ++i) {
            auto requester = runtime();
            requesters.emplace_back([&, requester] {
                opened += requester->requestPassword() ? 1 : 0;
                ++finished;
            });
        }
        while (gated->asked == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // Give the other requesters time to arrive while the question is open.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(finished, 0);
        gated->release();
        for (auto& requester : requesters)
            requester.join();
        EXPECT_EQ(gated->asked, 1);
        EXPECT_EQ(opened, round.opened ? kRequesters : 0);
        EXPECT_EQ(canListSecureFolder(), round.opened);
    }
    // One that comes after the folder was opened is let in with the key already held.
    EXPECT_TRUE(runtime()->requestPassword());
    EXPECT_EQ(std::static_pointer_cast<GatedUserInterface>(ui_)->asked, 1);
}

TEST_F(SecureFoldersRuntimeTest, NoSecretReachesTheLog) {
    for (const char* answer : {"set-up-pass", "set-up-pass"})
        ui_->supplyNewPassword(answer);
    ASSERT_TRUE(runtime()->setupPassword());
    signInAgain();
    secrets_->remove(Runtime::kKeychainService, user_);
    ui_->supplySecureFolderPassword({"wrong-pass", false});
    ui_->supplySecureFolderPassword({"set-up-pass", true});
    ASSERT_TRUE(runtime()->requestPassword());

    // What the service keeps, to recompute the hash that was sent.
    auto answer = client_.secureFoldersAuth(secureId_, context_.get(), nullptr);
    ASSERT_NE(answer->valueForKey("Data"), nullptr);
    const std::string verifierData = answer->valueForKey("Data")->get<std::string>();
    std::string hash;
    bv::Data key;
    ASSERT_EQ(encryptDirectory("set-up-pass", verifierData, &hash, &key), 1);
    // A failing request writes the failure log with the last exchanges and their parameters.
    EXPECT_EQ(client_.listFolder("no-such-folder", std::nullopt, context_.get(), nullptr), nullptr);

    const std::string log = logText();
    ASSERT_NE(log.find("BVSecureFoldersRuntime: requesting password"), std::string::npos);
    ASSERT_NE(log.find("securefolders/auth.json"), std::string::npos);
    ASSERT_NE(log.find("REQUEST FAILURE"), std::string::npos);
    for (const std::string& secret :
         {std::string("set-up-pass"), std::string("wrong-pass"), hash, hex(key), verifierData}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << "found in the log: " << secret;
    }
}

}  // namespace
