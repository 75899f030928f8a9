#include "ContentFixture.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Controllers/BVContentSecureFoldersRuntime.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/SecretStore.h"

namespace bvtest {

ReferenceServer* ContentFixture::server_ = nullptr;
ScopedHome* ContentFixture::home_ = nullptr;

void ContentFixture::SetUpTestSuite() {
    home_ = new ScopedHome();
    BVLogging::setupWithPrefix("BV");
    server_ = new ReferenceServer();
}

void ContentFixture::TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    delete home_;
    home_ = nullptr;
}

void ContentFixture::SetUp() {
    Utilities::resetPresentedErrors();
    clock_ = std::make_shared<bv::ManualClock>(bv::Clock::system()->now());
    client_ = std::make_unique<BVApiClient>();
    BVApiRequestConfiguration configuration;
    configuration.setRequestHost(server_->baseUrl());
    configuration.setCaFile(server_->caFile().string());
    configuration.numberOfRetries = 0;
    client_->setConfiguration(configuration);
    signIn(newUser(), "pw");
}

void ContentFixture::TearDown() {
    content_.reset();
    BVCacheController::resetSharedController();
}

std::string ContentFixture::newUser(const nlohmann::json& extra) {
    static int count = 0;
    std::string user = "content" + std::to_string(++count);
    nlohmann::json record = {{"username", user}, {"password", "pw"}};
    record.update(extra);
    server_->upsertUser(record);
    return user;
}

void ContentFixture::signIn(const std::string& user, const std::string& password) {
    user_ = user;
    bv::Error error;
    auto session = client_->authenticateUserSessionWithUsername(user, password, &error);
    ASSERT_NE(session, nullptr) << error.description();
    context_ = std::make_shared<BVApiClientAuthContext>(session);
    freshCache();
}

void ContentFixture::freshCache() {
    content_.reset();
    cache_ = BVCacheController::cacheControllerAt(
        dir_.path() / ("cache-" + user_ + "-" + std::to_string(++caches_)),
        {.clock = clock_, .runtimeIdentifier = "run"});
    cache_->storeItem(context_->session());
    content_ = std::make_unique<BVContentController>(BVContentController::Options{
        .client = client_.get(),
        .cache = cache_,
        .clock = clock_,
        .secureFolderGates = BVContentSecureFoldersRuntime::gateFactory(
            ui_, std::make_shared<bv::FileSecretStore>()),
    });
}

std::string ContentFixture::makeFolder(const std::string& name, const std::string& parentId) {
    bv::Error error;
    auto folder = client_->createFolder(name, parentId, context_.get(), &error);
    EXPECT_NE(folder, nullptr) << error.description();
    return folder ? folder->identifier : "";
}

std::string ContentFixture::makeFile(const std::string& name, const std::string& parentId) {
    bv::Error error;
    std::shared_ptr<BVUploadFileHandle> handle;
    auto file = client_->createFile(name, parentId, &handle, context_.get(), false, 0, &error);
    EXPECT_NE(file, nullptr) << error.description();
    return file ? file->identifier : "";
}

std::string ContentFixture::logText() {
    auto* logging = BVLogging::sharedInstance();
    return logging ? bvtest::contentsOfFilesIn(logging->path()) : std::string();
}

size_t ContentFixture::occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

}  // namespace bvtest
