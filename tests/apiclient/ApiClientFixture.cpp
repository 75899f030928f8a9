#include "ApiClientFixture.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "BVApi/Networking/BVCurlHandle.h"
#include "app/Logging/BVLogging.h"

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
    // A kept connection would hold the server's stop for its keep-alive time.
    BVCurlHandle::closeThisThreadsConnections();
    server_.reset();
    home_.reset();
}

std::string ApiClientFixture::logText() const {
    auto* logging = BVLogging::sharedInstance();
    return logging ? bvtest::contentsOfFilesIn(logging->path()) : std::string();
}

}  // namespace bvtest
