#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "BVApi/Networking/BVCurlTransfer.h"
#include "BVApi/Networking/BVNetworkThread.h"
#include "TransportFixture.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

namespace {

using bvtest::TransportFixture;
using nlohmann::json;

using AsyncTest = TransportFixture;

constexpr int64_t kMiB = 1024 * 1024;

bool bytesFollowPattern(const bv::Data& piece, int64_t offset) {
    for (size_t i = 0; i < piece.size(); ++i)
        if (piece.bytes()[i] != static_cast<uint8_t>((offset + i) % 251))
            return false;
    return true;
}

TEST_F(AsyncTest, EventsArriveOnTheMainLoopInOrder) {
    const int64_t size = 3 * kMiB + 17;
    auto request = makeRequest("GET", "big", json{{"bytes", size}});
    std::vector<std::string> events;
    bool allOnMain = true;
    int64_t lastProgress = 0;
    auto onMain = [&] { allOnMain = allOnMain && bv::RunLoop::isMainThread(); };
    request->networkResponseHandler = [&](const BVHttpResponse& response) {
        onMain();
        events.push_back("response " + std::to_string(response.statusCode));
    };
    request->progressHandler = [&](int64_t received, int64_t total) {
        onMain();
        EXPECT_GT(received, lastProgress);
        EXPECT_EQ(total, size);
        lastProgress = received;
    };
    request->dataHandler = [&](const bv::Data* data, const bv::Error& error) {
        onMain();
        ASSERT_NE(data, nullptr);
        EXPECT_FALSE(error);
        EXPECT_EQ(static_cast<int64_t>(data->size()), size);
        EXPECT_TRUE(bytesFollowPattern(*data, 0));
        events.push_back("data");
    };
    request->apiResponseHandler = [&](const json* response, const bv::Error& error) {
        onMain();
        EXPECT_EQ(response, nullptr) << "binary is not a dictionary";
        EXPECT_EQ(error.code(), -98);
        events.push_back("api");
    };
    // Started elsewhere, delivered here all the same.
    std::thread([&] { request->sendAsync(); }).join();
    request->waitAsync();
    EXPECT_EQ(events, (std::vector<std::string>{"response 200", "data", "api"}));
    EXPECT_TRUE(allOnMain);
    EXPECT_EQ(lastProgress, size);
    EXPECT_EQ(request->receivedBytes(), size);
    EXPECT_EQ(request->state(), BVApiRequest::kStateFinished);
}

TEST_F(AsyncTest, PartialDataStreamsAHugeBodyWithoutPilingItUp) {
    const int64_t size = 200 * kMiB;
    auto request = makeRequest("GET", "big", json{{"bytes", size}});
    int64_t delivered = 0;
    int64_t largestBacklog = 0;
    bool inOrder = true;
    bool parsedAnswer = false;
    int slowPieces = 40;
    request->partialDataHandler = [&](const bv::Data& piece, int64_t before, int64_t total) {
        inOrder =
            inOrder && before == delivered && total == size && bytesFollowPattern(piece, before);
        delivered += static_cast<int64_t>(piece.size());
        largestBacklog = std::max(largestBacklog, bigBytesSent_.load() - delivered);
        // A consumer that falls behind for a while: the download must wait for it.
        if (slowPieces-- > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    request->apiResponseHandler = [&](const json*, const bv::Error&) { parsedAnswer = true; };
    bool finished = false;
    request->dataHandler = [&](const bv::Data* data, const bv::Error& error) {
        EXPECT_FALSE(error);
        ASSERT_NE(data, nullptr);
        EXPECT_TRUE(data->empty()) << "pieces were accumulated";
        finished = true;
    };
    request->sendAsync();
    request->waitAsync();
    EXPECT_TRUE(finished);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(delivered, size);
    EXPECT_FALSE(parsedAnswer);
    EXPECT_LT(largestBacklog, 40 * kMiB) << "the transfer ran ahead of its consumer";
}

TEST_F(AsyncTest, UploadProgressReachesTheWholeBody) {
    std::string content(5 * kMiB, 'u');
    for (size_t i = 0; i < content.size(); i += 4096)
        content[i] = static_cast<char>('a' + (i / 4096) % 26);
    bvtest::TempDir folder;
    std::ofstream(folder / "upload.bin", std::ios::binary) << content;

    struct Case {
        std::string name;
        std::function<std::shared_ptr<BVApiRequest>()> make;
        std::string wireBody;
    };
    const std::vector<Case> cases = {
        {"json body",
         [&] {
             return makeRequest("POST", "echo", json{{"blob", content}});
         },
         json{{"blob", content}}.dump()},
        {"file stream",
         [&] {
             auto stream = bv::FileInputStream::open(folder / "upload.bin", nullptr);
             auto request = BVApiRequest::requestWithMethod("PUT", "echo", std::move(stream));
             request->setClock(clock_);
             return request;
         },
         content},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto request = c.make();
        int64_t lastSent = 0;
        int64_t expectedTotal = 0;
        request->uploadProgressHandler = [&](int64_t sent, int64_t expected) {
            EXPECT_GE(sent, lastSent);
            lastSent = sent;
            expectedTotal = expected;
        };
        json answer;
        request->apiResponseHandler = [&](const json* response, const bv::Error&) {
            if (response)
                answer = *response;
        };
        request->sendAsync();
        request->waitAsync();
        const auto bodySize = static_cast<int64_t>(c.wireBody.size());
        EXPECT_EQ(lastSent, bodySize);
        EXPECT_EQ(expectedTotal, bodySize);
        EXPECT_EQ(answer, (json{{"ok", true}}));
        EXPECT_TRUE(lastRequest().body == c.wireBody) << "body differs on the wire";
    }
}

TEST_F(AsyncTest, ConnectionFailureIsRetriedThenReported) {
    auto request = makeRequest("GET", "echo");
    // A port nobody listens on: every attempt fails to connect.
    request->configuration().setRequestHost("https://127.0.0.1:1/api/v1/");
    std::vector<std::string> events;
    int retriesAsked = 0;
    request->retryHandler = [&](const bv::Data*, const bv::Error& error) {
        EXPECT_EQ(error.domain(), BVCurlTransfer::kErrorDomain);
        ++retriesAsked;
        return true;
    };
    request->apiResponseHandler = [&](const json* response, const bv::Error& error) {
        EXPECT_EQ(response, nullptr);
        EXPECT_EQ(error.code(), CURLE_COULDNT_CONNECT);
        events.push_back("api");
    };
    request->dataHandler = [&](const bv::Data* data, const bv::Error& error) {
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(error.domain(), BVCurlTransfer::kErrorDomain);
        events.push_back("data");
    };
    request->sendAsync();
    request->waitAsync();
    EXPECT_EQ(retriesAsked, 3);
    EXPECT_EQ(events, (std::vector<std::string>{"api", "data"}));
    EXPECT_EQ(request->state(), BVApiRequest::kStateFinished);
}

// The file-system threads send downloads while the main loop delivers their events: a
// refused connection is reported before sendAsync has returned, and must still reach the
// sender.
TEST_F(AsyncTest, QuickFailureOfASendFromAnotherThreadIsNeverLost) {
    constexpr int kSenders = 4;
    constexpr int kSends = 25;
    std::atomic<int> reported{0};
    std::atomic<int> done{0};
    auto send = [&] {
        for (int i = 0; i < kSends; ++i) {
            auto request = makeRequest("GET", "echo");
            request->configuration().setRequestHost("https://127.0.0.1:1/api/v1/");
            request->setNumberOfRetries(0);
            std::atomic<bool> failed{false};
            request->dataHandler = [&](const bv::Data* data, const bv::Error& error) {
                EXPECT_EQ(data, nullptr);
                EXPECT_EQ(error.code(), CURLE_COULDNT_CONNECT);
                failed = true;
                ++reported;
            };
            request->sendAsync();
            // Real time: a lost report never comes, whatever the clock says.
            for (int waited = 0; !failed && waited < 300; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!failed)
                break;
        }
        ++done;
    };
    std::vector<std::thread> senders;
    for (int i = 0; i < kSenders; ++i)
        senders.emplace_back(send);
    bv::RunLoop::main().runUntil([&] { return done == kSenders; }, 120);
    for (auto& sender : senders)
        sender.join();
    EXPECT_EQ(reported, kSenders * kSends);
}

// The request's time-out is an idle limit on its own clock: an exchange that gets no answer
// ends with a time-out once the clock has passed it, synchronous or not; one whose answer
// keeps coming, however slowly, runs to its end.
TEST_F(AsyncTest, IdleExchangeEndsOnTheRequestClockAMovingOneNever) {
    struct Case {
        std::string name;
        std::string endpoint;
        bool sync;
        bool timesOut;
    };
    const std::vector<Case> cases = {
        {"no answer, asynchronous", "hang", false, true},
        {"no answer, synchronous", "hang", true, true},
        {"slow answer, asynchronous", "drip", false, false},
        {"slow answer, synchronous", "drip", true, false},
    };
    constexpr int kDripBytes = 30;  // 1,200 s on the clock, 40 s between bytes
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto request = makeRequest("GET", c.endpoint, json{{"bytes", kDripBytes}});
        request->setNumberOfRetries(0);
        std::atomic<bool> ended{false};
        bv::Error failure;
        bv::Data body;
        std::thread syncSender;
        if (c.sync) {
            syncSender = std::thread([&] {
                request->sendSyncWith(&failure, &body);
                ended = true;
            });
        } else {
            request->dataHandler = [&](const bv::Data* data, const bv::Error& error) {
                failure = error;
                if (data)
                    body = *data;
                ended = true;
            };
            request->sendAsync();
        }
        // A silent service: its clock moves on while nothing comes. The dripping one moves
        // the clock itself.
        const double started = clock_->monotonic();
        for (int turn = 0; !ended && turn < 400; ++turn) {
            bv::RunLoop::main().runFor(0.05);
            if (c.endpoint == "hang" && clock_->monotonic() - started < 300)
                clock_->advance(30);
        }
        if (syncSender.joinable())
            syncSender.join();
        ASSERT_TRUE(ended);
        if (c.timesOut) {
            const bv::Error& cause =
                c.sync && failure.underlyingError() ? *failure.underlyingError() : failure;
            EXPECT_EQ(cause.domain(), BVCurlTransfer::kErrorDomain);
            EXPECT_EQ(cause.code(), CURLE_OPERATION_TIMEDOUT);
            EXPECT_TRUE(body.empty());
        } else {
            EXPECT_FALSE(failure.isSet()) << failure.description();
            EXPECT_EQ(body.toString(), std::string(kDripBytes, 'd'));
        }
    }
}

TEST_F(AsyncTest, UnbuildableRequestReportsAtOnceAndStaysUnsent) {
    auto request = makeRequest("POST", "echo", json{{"n", std::nan("")}});
    std::vector<std::string> events;
    request->dataHandler = [&](const bv::Data* data, const bv::Error& error) {
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(error.code(), -97);
        events.push_back("data");
    };
    request->retryHandler = [&](const bv::Data*, const bv::Error& error) {
        EXPECT_EQ(error.code(), -97);
        events.push_back("retry");
        return true;
    };
    request->sendAsync();
    EXPECT_EQ(events, (std::vector<std::string>{"data", "retry"}));
    EXPECT_EQ(request->state(), BVApiRequest::kStateNotSent);
    EXPECT_EQ(hits("echo"), 0);
}

TEST_F(AsyncTest, CancelAsyncStopsEveryCallback) {
    auto request = makeRequest("GET", "big", json{{"bytes", 64 * kMiB}});
    int pieces = 0;
    bool ended = false;
    request->partialDataHandler = [&](const bv::Data&, int64_t, int64_t) {
        if (++pieces == 1)
            request->cancelAsync();
    };
    request->dataHandler = [&](const bv::Data*, const bv::Error&) { ended = true; };
    request->apiResponseHandler = [&](const json*, const bv::Error&) { ended = true; };
    request->sendAsync();
    bv::RunLoop::main().runUntil([&] { return pieces > 0; }, 30);
    EXPECT_EQ(request->state(), BVApiRequest::kStateFinished);
    EXPECT_TRUE(request->endTime().has_value());
    request->waitAsync();  // returns at once: nothing runs any more
    bv::RunLoop::main().runFor(0.3);
    EXPECT_EQ(pieces, 1);
    EXPECT_FALSE(ended);
}

TEST_F(AsyncTest, CancelAllUploadsEndsTheWait) {
    auto request = makeRequest("GET", "hang");
    bool ended = false;
    request->dataHandler = [&](const bv::Data*, const bv::Error&) { ended = true; };
    request->sendAsync();
    std::thread poster([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        bv::NotificationCenter::defaultCenter().post("CancelAllUploads");
    });
    request->waitAsync();
    poster.join();
    EXPECT_TRUE(request->operationsCancelled());
    EXPECT_TRUE(request->isRunning()) << "the notification only ends the wait";
    EXPECT_FALSE(ended);
    request->cancelAsync();
    EXPECT_FALSE(makeRequest("GET", "hang")->operationsCancelled()) << "made after the post";
}

// The network thread fails (curl's multi interface reports an error, or something throws):
// the exchange it ran fails with the thread's error instead of hanging, and the next
// request starts a new thread.
TEST_F(AsyncTest, FailedNetworkThreadFailsItsTransfersAndStartsAgain) {
    struct Case {
        std::string name;
        std::function<CURLMcode()> fault;
        CURLMcode code;
    };
    const std::vector<Case> cases = {
        {"multi error", [] { return CURLM_OUT_OF_MEMORY; }, CURLM_OUT_OF_MEMORY},
        {"exception", []() -> CURLMcode { throw std::runtime_error("injected"); },
         CURLM_INTERNAL_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int hung = hits("hang");
        auto stuck = makeRequest("GET", "hang");
        stuck->setNumberOfRetries(0);
        bv::Error failure;
        stuck->apiResponseHandler = [&](const json* response, const bv::Error& error) {
            EXPECT_EQ(response, nullptr);
            failure = error;
        };
        stuck->sendAsync();
        ASSERT_TRUE(bv::RunLoop::main().runUntil([&] { return hits("hang") > hung; }, 30));
        BVNetworkThread::shared().injectFault(c.fault);
        ASSERT_TRUE(bv::RunLoop::main().runUntil([&] { return !stuck->isRunning(); }, 30));
        EXPECT_EQ(failure.domain(), BVNetworkThread::kErrorDomain);
        EXPECT_EQ(failure.code(), c.code);
        EXPECT_NE(logText().find("BVNetworkThread stopped: "), std::string::npos);

        auto next = makeRequest("GET", "echo");
        json answer;
        next->apiResponseHandler = [&](const json* response, const bv::Error&) {
            if (response)
                answer = *response;
        };
        next->sendAsync();
        next->waitAsync();
        EXPECT_EQ(answer, (json{{"ok", true}}));
    }
}

TEST_F(AsyncTest, WaitForRunsTheLoopThenSleepsOnTheClock) {
    auto request = makeRequest("GET", "echo");
    bool ran = false;
    bv::RunLoop::main().perform([&] { ran = true; });
    double before = clock_->now();
    request->waitFor(2);
    EXPECT_TRUE(ran);
    EXPECT_DOUBLE_EQ(clock_->now() - before, 2.0);
}

}  // namespace
