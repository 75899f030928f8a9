#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "BVApi/Networking/BVApiParameterEncoder.h"
#include "BVApi/Networking/BVCurlTransfer.h"
#include "BVApi/Networking/BVLogMask.h"
#include "TransportFixture.h"
#include "platform/Preferences.h"

namespace {

using bvtest::TransportFixture;
using nlohmann::json;

using SyncTest = TransportFixture;

TEST_F(SyncTest, RetriesEmptyAnswersAndHandsOutTheLastAttempt) {
    failuresBeforeAnswer_ = 2;
    auto request = makeRequest("GET", "flaky");
    int retriesAsked = 0;
    request->retryHandler = [&](const bv::Data* data, const bv::Error&) {
        EXPECT_EQ(data, nullptr);
        ++retriesAsked;
        return true;
    };
    bv::Error error;
    bv::Data body;
    long status = 0;
    double before = clock_->now();
    ASSERT_TRUE(request->sendSyncWith(&error, &body, &status)) << error.description();
    EXPECT_DOUBLE_EQ(clock_->now() - before, 1 + 2) << "each retry waits twice as long";
    EXPECT_EQ(status, 202);
    EXPECT_EQ(json::parse(body.toString()), (json{{"attempt", 3}}));
    EXPECT_EQ(hits("flaky"), 3);
    EXPECT_EQ(retriesAsked, 2);
    EXPECT_EQ(request->numberOfRetries(), 1u);
    EXPECT_EQ(request->state(), BVApiRequest::kStateFinished);
    EXPECT_TRUE(request->startTime() && request->endTime());
}

TEST_F(SyncTest, FailuresEndInTheirCodes) {
    struct Case {
        std::string name;
        std::function<bool(const bv::Data*, const bv::Error&)> retryHandler;
        int64_t code;
        int attempts;
        double waited;
    };
    const std::vector<Case> cases = {
        {"no data four times", nullptr, -100, 4, 1 + 2 + 4},
        {"retry refused", [](const bv::Data*, const bv::Error&) { return false; }, -96, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int before = hits("empty");
        auto request = makeRequest("GET", "empty");
        request->retryHandler = c.retryHandler;
        bv::Error error;
        bv::Data body = bv::Data::fromString("stale");
        double started = clock_->now();
        EXPECT_FALSE(request->sendSyncWith(&error, &body));
        EXPECT_EQ(error.domain(), bv::kBVErrorDomain);
        EXPECT_EQ(error.code(), c.code);
        EXPECT_TRUE(body.empty());
        EXPECT_EQ(hits("empty") - before, c.attempts);
        EXPECT_DOUBLE_EQ(clock_->now() - started, c.waited);
        if (c.code == -100) {
            EXPECT_EQ(error.failureReason(), "Server returned no data");
            EXPECT_TRUE(error.hasInfo("nil"));
        }
    }
}

// A failed attempt that the service may have applied is sent again only when applying it
// twice does no harm.
TEST_F(SyncTest, ResendsOnlyWhatCannotBeAppliedTwice) {
    struct Case {
        std::string method;
        bool markedSafe;
        int sends;
    };
    const std::vector<Case> cases = {
        {"GET", false, 3},  {"PUT", false, 3}, {"DELETE", false, 3},
        {"POST", false, 1}, {"POST", true, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + (c.markedSafe ? " marked safe" : ""));
        int before = hits("flaky");
        failuresBeforeAnswer_ = before + 2;
        auto request = makeRequest(c.method, "flaky", json{{"n", 1}});
        if (c.markedSafe)
            request->setSafeToResend(true);
        bv::Error error;
        bv::Data body;
        EXPECT_EQ(request->sendSyncWith(&error, &body), c.sends == 3);
        EXPECT_EQ(hits("flaky") - before, c.sends);
        if (c.sends == 1) {
            EXPECT_EQ(error.code(), -100);
            EXPECT_EQ(request->numberOfRetries(), 3u);
        }
    }
}

TEST_F(SyncTest, PostIsResentOnlyWhileItCannotHaveArrived) {
    // Nobody listens: the request never left, so it is sent again, after the delays.
    auto refused = makeRequest("POST", "echo", json{{"n", 1}});
    refused->configuration().setRequestHost("https://127.0.0.1:1/api/v1/");
    int retries = 0;
    refused->retryHandler = [&](const bv::Data*, const bv::Error& error) {
        EXPECT_EQ(error.code(), CURLE_COULDNT_CONNECT);
        ++retries;
        return true;
    };
    bv::Error error;
    bv::Data body;
    double before = clock_->now();
    EXPECT_FALSE(refused->sendSyncWith(&error, &body));
    EXPECT_EQ(retries, 3);
    EXPECT_DOUBLE_EQ(clock_->now() - before, 1 + 2 + 4);

    // Sent whole, then no answer in time (on the request's clock, moved on here while it
    // waits): the service may be applying it.
    auto unanswered = makeRequest("POST", "hang", json{{"n", 1}});
    unanswered->setTimeout(1);
    error = {};
    std::atomic<bool> answered{false};
    std::thread time([&] {
        while (!answered) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            clock_->advance(0.5);
        }
    });
    EXPECT_FALSE(unanswered->sendSyncWith(&error, &body));
    answered = true;
    time.join();
    EXPECT_EQ(hits("hang"), 1);
    EXPECT_EQ(error.code(), -100);
    ASSERT_NE(error.underlyingError(), nullptr);
    EXPECT_EQ(error.underlyingError()->code(), CURLE_OPERATION_TIMEDOUT);
}

TEST_F(SyncTest, SuccessNeedsDataOrStatus200AndTheExpectedCode) {
    bv::Error error;
    bv::Data body;
    auto request = makeRequest("GET", "echo");
    EXPECT_TRUE(request->sendSyncWith(&error, &body, 200L));
    auto wrongCode = makeRequest("GET", "echo");
    EXPECT_FALSE(wrongCode->sendSyncWith(&error, &body, 201L));

    json answer;
    auto parsed = makeRequest("GET", "echo");
    ASSERT_TRUE(parsed->sendSyncWith(&error, &answer)) << error.description();
    EXPECT_EQ(answer, (json{{"ok", true}}));
}

TEST_F(SyncTest, UnencodableBodyFailsBeforeAnythingIsSent) {
    auto request = makeRequest("POST", "echo", json{{"blob", json::binary({1, 2, 3})}});
    bv::Error error;
    bv::Data body;
    EXPECT_FALSE(request->sendSyncWith(&error, &body));
    EXPECT_EQ(error.code(), -97);
    EXPECT_EQ(request->state(), BVApiRequest::kStateNotSent);
    EXPECT_EQ(hits("echo"), 0);
}

TEST_F(SyncTest, WireCarriesTheBuiltRequest) {
    struct Case {
        std::string method;
        json parameters;
        std::optional<int64_t> type;
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {"GET", nullptr, {}, {}},
        {"DELETE", {{"id", "a/b c"}}, {}, {}},
        {"POST", nullptr, {}, {}},
        {"PUT", {{"name", "x"}, {"n", 2}}, {}, {}},
        {"POST",
         {{"upload_id", "9"}, {"file_data", json::binary({0, 1, 2, 255})}},
         BVApiRequest::kParametersQueryAndMultipart,
         {std::string("file_data|file_data|application/octet-stream|\0\1\2\xff", 49),
          "upload_id|||9"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " +
                     c.parameters.dump(-1, ' ', false, json::error_handler_t::ignore));
        auto request = makeRequest(c.method, "echo", c.parameters);
        if (c.type)
            request->setParametersType(*c.type);
        bv::Error error;
        bv::Data body;
        ASSERT_TRUE(request->sendSyncWith(&error, &body)) << error.description();
        const BVUrlRequest* built = request->urlRequest(nullptr);
        auto seen = lastRequest();
        EXPECT_EQ(seen.method, c.method);
        EXPECT_EQ(server_->baseURL().substr(0, server_->baseURL().size() - 8) + seen.target,
                  built->url);
        EXPECT_EQ(seen.contentType, built->headerValue("Content-Type"));
        if (c.parts.empty()) {
            EXPECT_EQ(seen.body, built->body ? built->body->toString() : "");
        }
        EXPECT_EQ(seen.parts, c.parts);
    }
}

TEST_F(SyncTest, StreamedBodyIsSentWholeOnEveryAttempt) {
    std::string content(300 * 1024, 'x');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i % 97);
    auto stream = std::make_shared<bv::MemoryInputStream>(bv::Data::fromString(content));
    auto request = BVApiRequest::requestWithMethod("PUT", "echo", stream);
    bv::Error error;
    bv::Data body;
    ASSERT_TRUE(request->sendSyncWith(&error, &body)) << error.description();
    EXPECT_EQ(lastRequest().body, content);
    ASSERT_TRUE(request->sendSyncWith(&error, &body)) << error.description();
    EXPECT_EQ(lastRequest().body, content) << "a second send starts from the first byte";
}

TEST_F(SyncTest, UntrustedCertificateIsRefused) {
    auto request = makeRequest("GET", "echo");
    request->configuration().setCaFile("");
    request->setNumberOfRetries(0);
    bv::Error error;
    bv::Data body;
    EXPECT_FALSE(request->sendSyncWith(&error, &body));
    EXPECT_EQ(error.code(), -100);
    ASSERT_NE(error.underlyingError(), nullptr);
    EXPECT_EQ(error.underlyingError()->domain(), BVCurlTransfer::kErrorDomain);
    EXPECT_EQ(error.underlyingError()->code(), CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_FALSE(error.underlyingError()->failureReason().empty());
    EXPECT_EQ(hits("echo"), 0);
}

TEST_F(SyncTest, RequestLogMasksThePassword) {
    auto request = makeRequest("POST", "user/login.json",
                               json{{"passwd", "hunter2"},
                                    {"user", "bob"},
                                    {"blob", json::binary({1, 2, 3})},
                                    {"nested", {{"passwd", "hunter3"}}}});
    request->logRequestDebug();
    std::string log = logText();
    EXPECT_EQ(log.find("hunter"), std::string::npos);
    std::string expected = "POST request #" + request->uid() + " with endpoint \"" +
                           server_->baseURL() +
                           "user/login.json\", params {\n  blob = \"NSData of 3\"\n  nested = "
                           "\"{\"passwd\":\"user_password\"}\"\n  passwd = \"user_password\"\n  "
                           "user = \"bob\"\n}\n";
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    EXPECT_EQ(request->uid().size(), 4u);
    EXPECT_EQ(log.find("   :: "), std::string::npos);

    bv::Preferences::standard().setObject("DBGKeys", json{{"al_callstack", true}});
    request->logRequestDebug();
    EXPECT_NE(logText().find("   :: "), std::string::npos) << "the call stack follows";
}

TEST(LogMask, KeysThatNameASecret) {
    struct Case {
        const char* key;
        json value;
        const char* marker;  // nullptr: logged as it is
    };
    const std::vector<Case> cases = {
        {"passwd", "pw", "user_password"},
        {"verify_passwd", "pw", "user_password"},
        {"newPassword", "pw", "user_password"},
        {"secureFolderPassword", "pw", "user_password"},
        {"PASSWD", 1234, "user_password"},
        {"token", "123456", "hidden"},
        {"refresh_Token", "t", "hidden"},
        {"session_id", "S1", "hidden"},
        {"SessionID", "S1", "hidden"},
        {"sessionId", 42, "hidden"},
        {"userSessionId", "S1", "hidden"},
        {"Session", {{"id", "S1"}}, "hidden"},
        {"sessions", json::array({"S1", "S2"}), "hidden"},
        {"hash", "h", "hidden"},
        {"data", "d", "hidden"},
        {"Data", "d", "hidden"},
        // A flag says whether there is a session, never which one.
        {"session_active", true, nullptr},
        {"session_id", nullptr, nullptr},
        // The word inside another one.
        {"possession", "S1", nullptr},
        {"obsessionLevel", 3, nullptr},
        {"username", "bob", nullptr},
        {"Hash", "h", nullptr},
        {"folder_id", "7", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        auto marker = BVLogMask::markerFor(c.key, c.value);
        EXPECT_EQ(marker.value_or("(logged)"), c.marker ? c.marker : "(logged)");
        // At any depth, in objects and in lists.
        json nested = BVLogMask::masked(json{{"a", json::array({{{c.key, c.value}}})}});
        EXPECT_EQ(nested["a"][0][c.key], c.marker ? json(c.marker) : c.value);
    }
}

// An answer that does not parse is logged as text; the secrets in it are masked all the same,
// including when the text is cut off inside one.
TEST(LogMask, TextThatDoesNotParse) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"SessionID": "S1", "UserName":"ann", "passwd":"pw")",
         R"({"SessionID": "hidden", "UserName":"ann", "passwd":"user_password")"},
        {R"({"a":[{"session_id":"S1"},{"token": 77}]} trailing)",
         R"({"a":[{"session_id":"hidden"},{"token": "hidden"}]} trailing)"},
        {R"({"Session":{"id":"S1"},"ok":true)", R"({"Session":"hidden","ok":true)"},
        {R"({"Active2FA":true,"session_active":true,"SessionID":"S)",
         R"({"Active2FA":true,"session_active":true,"SessionID":"hidden")"},
        {R"({"passwd)", R"({"...)"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(BVLogMask::maskedText(text), expected) << text;
    EXPECT_EQ(BVLogMask::maskedText(std::string(10000, 'x'), 100).size(), 103u);
}

}  // namespace
