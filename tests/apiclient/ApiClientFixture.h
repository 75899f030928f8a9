#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "BVApi/Networking/BVApiClientSharingContext.h"
#include "RecordingServer.h"
#include "TempDir.h"
#include "platform/Clock.h"

namespace bvtest {

// Counts the activity calls, and checks that they pair up.
class CountingActivityDelegate : public BVApiClientActivityDelegate {
  public:
    void didStartedRequest() override {
        ++started;
        ++running;
    }
    void didFinishedRequest() override {
        ++finished;
        --running;
    }
    void setActivityDescription(const std::string&) override {}
    std::atomic<int> started{0}, finished{0}, running{0};
};

// A home folder with logging, a recording loopback server, and a client with a manual clock
// pointed at it; contexts with the session "SID" and, for sharing, "SH".
class ApiClientFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Every log record written so far.
    std::string logText() const;

    std::unique_ptr<ScopedHome> home_;
    std::unique_ptr<RecordingServer> server_;
    std::shared_ptr<bv::ManualClock> clock_ = std::make_shared<bv::ManualClock>();
    std::unique_ptr<BVApiClient> client_;
    std::shared_ptr<CountingActivityDelegate> activity_ =
        std::make_shared<CountingActivityDelegate>();
    std::shared_ptr<BVUserSessionItem> session_;
    std::unique_ptr<BVApiClientAuthContext> auth_;
    std::unique_ptr<BVApiClientSharingContext> sharing_;
};

}  // namespace bvtest
