#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BVApi/Networking/BVApiRequest.h"
#include "LoopbackHttpsServer.h"
#include "TempDir.h"
#include "platform/Clock.h"

namespace bvtest {

// What the server saw of one request.
struct SeenRequest {
    std::string method;
    std::string target;
    std::string contentType;
    std::string body;
    // Parts of a multipart body as the server's parser saw them: "name|filename|type|content".
    std::vector<std::string> parts;
};

// A home folder of its own, logging into it, this thread as the main thread, and a
// loopback HTTPS server the requests are pointed at through the environment:
//   echo*   records the request and answers {"ok":true}
//   flaky   answers 500 with no body `failuresBeforeAnswer` times, then 202 {"attempt":n}
//           (any method; the count is shared)
//   empty   always answers 500 with no body
//   big     streams ?bytes=N bytes (byte i is i % 251), counting what it has sent
//   hang    answers only when released (or after 20 s); GET and POST
//   drip    sends ?bytes=N bytes one at a time, 20 ms apart, moving the request clock on
//           by 40 s before each: a slow answer that never stops moving
class TransportFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A request with a manual clock, so waiting costs no real seconds.
    std::shared_ptr<BVApiRequest> makeRequest(const std::string& method,
                                              const std::string& endpoint,
                                              const nlohmann::json& parameters = nullptr);
    int hits(const std::string& path);
    SeenRequest lastRequest();
    void releaseHangingRequests();
    // Every log record written so far, all files joined.
    std::string logText() const;

    std::unique_ptr<ScopedHome> home_;
    std::unique_ptr<LoopbackHttpsServer> server_;
    std::shared_ptr<bv::ManualClock> clock_ = std::make_shared<bv::ManualClock>();
    std::atomic<int> failuresBeforeAnswer_{2};
    std::atomic<int64_t> bigBytesSent_{0};

  private:
    void addRoutes();
    void count(const std::string& path);

    std::mutex seenLock_;  // guards hits_, last_
    std::map<std::string, int> hits_;
    SeenRequest last_;
    std::mutex hangLock_;  // guards released_
    std::condition_variable hangReleased_;
    bool released_ = false;
};

}  // namespace bvtest
