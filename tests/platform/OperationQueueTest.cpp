#include "platform/OperationQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/UnhandledException.h"

namespace {

using namespace std::chrono_literals;

// Operations that block until released, to hold the queue in a known state.
class Gate {
  public:
    void open() {
        std::lock_guard<std::mutex> lock(lock_);
        open_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(lock_);
        changed_.wait(lock, [this] { return open_; });
    }

  private:
    std::mutex lock_;  // guards open_
    std::condition_variable changed_;
    bool open_ = false;
};

// Generous, since a loaded machine may hold a thread back for long; a pass returns at once.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

struct ConcurrencyCase {
    int limit;
    int operations;
};

class OperationQueueConcurrency : public ::testing::TestWithParam<ConcurrencyCase> {};

TEST_P(OperationQueueConcurrency, NeverRunsMoreThanTheLimitAndReachesIt) {
    const auto param = GetParam();
    bv::OperationQueue queue("test", param.limit);
    std::atomic<int> running{0}, peak{0}, done{0};
    for (int i = 0; i < param.operations; ++i)
        queue.addOperation([&, param] {
            int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            // Hold the slot until the expected number run side by side (or a generous
            // time passed), so a loaded machine cannot make the peak look lower.
            const int target = std::min(param.limit, param.operations);
            for (int waited = 0; peak.load() < target && waited < 5000; ++waited)
                std::this_thread::sleep_for(1ms);
            --running;
            ++done;
        });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(done, param.operations);
    EXPECT_LE(peak, param.limit);
    EXPECT_EQ(peak, std::min(param.limit, param.operations));
    EXPECT_EQ(queue.operationCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Limits, OperationQueueConcurrency,
                         ::testing::Values(ConcurrencyCase{1, 10}, ConcurrencyCase{3, 12},
                                           ConcurrencyCase{4, 2}));

TEST(OperationQueue, SerialQueueRunsInOrder) {
    bv::OperationQueue queue("serial", 1);
    std::vector<int> order;
    for (int i = 0; i < 50; ++i)
        queue.addOperation([&, i] { order.push_back(i); });
    queue.waitUntilAllOperationsAreFinished();
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[i], i);
}

TEST(OperationQueue, SuspendedQueueStartsNothingUntilResumed) {
    bv::OperationQueue queue("suspend", 2);
    queue.setSuspended(true);
    std::atomic<int> done{0};
    for (int i = 0; i < 3; ++i)
        queue.addOperation([&] { ++done; });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(done, 0);
    EXPECT_EQ(queue.operationCount(), 3u);
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(done, 3);
}

TEST(OperationQueue, CancelDropsWaitingOperationsButNotTheRunningOne) {
    bv::OperationQueue queue("cancel", 1);
    Gate gate;
    std::atomic<bool> started{false}, firstFinished{false};
    std::atomic<int> others{0};
    queue.addOperation([&] {
        started = true;
        gate.wait();
        firstFinished = true;
    });
    for (int i = 0; i < 5; ++i)
        queue.addOperation([&] { ++others; });
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    EXPECT_EQ(queue.operationCount(), 6u);
    queue.cancelAllOperations();
    EXPECT_EQ(queue.operationCount(), 1u);
    gate.open();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(firstFinished);
    EXPECT_EQ(others, 0);
    // The queue still works after a cancel.
    queue.addOperation([&] { ++others; });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(others, 1);
}

TEST(OperationQueue, RaisingTheLimitStartsWaitingOperations) {
    bv::OperationQueue queue("raise", 1);
    Gate gate;
    std::atomic<int> started{0};
    for (int i = 0; i < 3; ++i)
        queue.addOperation([&] {
            ++started;
            gate.wait();
        });
    ASSERT_TRUE(eventually([&] { return started == 1; }));
    queue.setMaxConcurrentOperationCount(3);
    EXPECT_TRUE(eventually([&] { return started == 3; }));
    gate.open();
    queue.waitUntilAllOperationsAreFinished();
}

TEST(OperationQueue, ExceptionIsReportedAndTheWorkerGoesOn) {
    std::vector<std::string> reports;
    std::mutex reportsLock;  // guards reports
    auto previous = bv::setUnhandledExceptionSink([&](const char* where, std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(reportsLock);
        reports.push_back(std::string(where) + ": " + bv::describeException(e));
    });
    bv::OperationQueue queue("thrower", 1);
    bool after = false;
    queue.addOperation([] { throw std::runtime_error("bad operation"); });
    queue.addOperation([&] { after = true; });
    queue.waitUntilAllOperationsAreFinished();
    bv::setUnhandledExceptionSink(previous);
    EXPECT_TRUE(after);
    EXPECT_EQ(reports, std::vector<std::string>{"thrower: bad operation"});
}

TEST(OperationQueue, DestructorDropsWaitingAndFinishesRunning) {
    std::atomic<int> done{0};
    std::atomic<bool> started{false};
    Gate gate;
    std::future<void> destroyed;
    {
        auto queue = std::make_unique<bv::OperationQueue>("dtor", 1);
        queue->addOperation([&] {
            started = true;
            gate.wait();
            ++done;
        });
        for (int i = 0; i < 3; ++i)
            queue->addOperation([&] { done += 10; });
        ASSERT_TRUE(eventually([&] { return started.load(); }));
        bv::OperationQueue* raw = queue.get();
        destroyed = std::async(std::launch::async, [q = std::move(queue)]() mutable { q.reset(); });
        // The destructor dropped the waiting ones and now waits for the gated one.
        EXPECT_TRUE(eventually([&] { return raw->operationCount() == 1; }));
        EXPECT_EQ(destroyed.wait_for(20ms), std::future_status::timeout);
        gate.open();
    }
    destroyed.get();
    EXPECT_EQ(done, 1);
}

}  // namespace

namespace {

// A queue destroyed by its own operation: the worker must not touch the freed queue after
// the operation returns (ASan reports it when it does), other workers are joined, and the
// waiting operations are dropped. The operation's thread ends by itself, which a promise
// made ready at thread exit shows.
TEST(OperationQueue, OperationMayDestroyItsOwnQueue) {
    auto queue = std::make_unique<bv::OperationQueue>("self", 2);
    bv::OperationQueue* raw = queue.get();
    Gate otherGate, destroyGate;
    std::atomic<bool> otherStarted{false}, otherFinished{false};
    std::atomic<int> ran{0};
    std::promise<void> workerEnded;
    auto ended = workerEnded.get_future();
    raw->addOperation([&] {
        otherStarted = true;
        otherGate.wait();
        otherFinished = true;
    });
    ASSERT_TRUE(eventually([&] { return otherStarted.load(); }));
    raw->addOperation([&] {
        destroyGate.wait();
        queue.reset();
        // The destructor joined the other worker, so its operation is over.
        EXPECT_TRUE(otherFinished);
        workerEnded.set_value_at_thread_exit();
    });
    // Waiting operations hold the marker: it expires once the destructor dropped them.
    auto marker = std::make_shared<int>(0);
    std::weak_ptr<int> waitingAlive = marker;
    for (int i = 0; i < 3; ++i)
        raw->addOperation([&, marker] {
            (void)marker;
            ++ran;
        });
    marker.reset();
    // From here on only the operations touch the queue.
    destroyGate.open();
    ASSERT_TRUE(eventually([&] { return waitingAlive.expired(); }));
    // The destructor now waits for the other worker.
    otherGate.open();
    ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(ran, 0);
}

}  // namespace
