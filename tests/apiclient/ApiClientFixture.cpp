#include "ApiClientFixture.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/BVLogging.h"

namespace bvtest {

void ApiClientFixture::SetUp() {
    home_ = std::make_unique<ScopedHome>();
    BVLogging::setupWithPrefix("BV");
    server_ = std::make_unique<RecordingServer>();
    ASSERT_TRUE(server_->start());
    client_ = std::make_unique<BVApiClient>(clock_);
    BVApiRequestConfiguration configuration;
    configuration.setRequestHost(server_->baseURL());
    configuration.setCaFile(server_->certificateFile());
    configuration.numberOfRetries = 0;
    client_->setConfiguration(configuration);
    client_->setActivityDelegate(activity_);
    session_ = std::make_shared<BVUserSessionItem>();
    session_->sessionId = "SID";
    auth_ = std::make_unique<BVApiClientAuthContext>(session_);
    sharing_ = std::make_unique<BVApiClientSharingContext>(session_);
    sharing_->sharingId = "SH";
}

void ApiClientFixture::TearDown() {
    client_.reset();
    server_.reset();
    home_.reset();
}

std::string ApiClientFixture::logText() const {
    std::string text;
    auto* logging = BVLogging::sharedInstance();
    if (!logging)
        return text;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(logging->path(), ec)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream contents;
        contents << in.rdbuf();
        text += contents.str();
    }
    return text;
}

}  // namespace bvtest
