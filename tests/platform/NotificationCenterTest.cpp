#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <stdexcept>
#include <thread>

#include "platform/UnhandledException.h"

namespace {

using namespace std::chrono_literals;

TEST(NotificationCenter, PostReachesObserversOfThatNameWithTheUserInfo) {
    bv::NotificationCenter center;
    std::vector<std::string> seen;
    auto a = center.addObserver("CancelAllUploads",
                                [&](const std::string& name, const nlohmann::json& info) {
                                    seen.push_back("a:" + name + ":" + info.dump());
                                });
    auto b = center.addObserver(
        "Other", [&](const std::string&, const nlohmann::json&) { seen.push_back("b"); });
    auto c = center.addObserver("CancelAllUploads", [&](const std::string&, const nlohmann::json&) {
        seen.push_back("c");
    });
    center.post("CancelAllUploads", {{"user", "ann"}});
    EXPECT_EQ(seen, (std::vector<std::string>{"a:CancelAllUploads:{\"user\":\"ann\"}", "c"}));
}

TEST(NotificationCenter, DestroyedTokenIsNeverCalledAgain) {
    auto& center = bv::NotificationCenter::defaultCenter();
    int calls = 0;
    auto token =
        center.addObserver("N1", [&](const std::string&, const nlohmann::json&) { ++calls; });
    center.post("N1");
    token.reset();
    center.post("N1");
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, TokenDestructionWaitsForACallInProgressOnAnotherThread) {
    bv::NotificationCenter center;
    std::mutex gateLock;  // guards entered and released
    std::condition_variable gateChanged;
    bool entered = false, released = false;
    std::atomic<bool> callFinished{false};
    auto token = center.addObserver("N", [&](const std::string&, const nlohmann::json&) {
        std::unique_lock<std::mutex> lock(gateLock);
        entered = true;
        gateChanged.notify_all();
        gateChanged.wait(lock, [&] { return released; });
        callFinished = true;
    });
    std::thread poster([&] { center.post("N"); });
    {
        std::unique_lock<std::mutex> lock(gateLock);
        gateChanged.wait(lock, [&] { return entered; });
    }
    auto removal = std::async(std::launch::async, [&] {
        token.reset();
        return callFinished.load();
    });
    EXPECT_EQ(removal.wait_for(30ms), std::future_status::timeout);
    {
        std::lock_guard<std::mutex> lock(gateLock);
        released = true;
        gateChanged.notify_all();
    }
    EXPECT_TRUE(removal.get());
    poster.join();
}

TEST(NotificationCenter, ObserverMayRemoveItselfAndPostWithoutDeadlock) {
    bv::NotificationCenter center;
    int selfRemovingCalls = 0, innerCalls = 0;
    std::string seenAfterRemoval;
    std::unique_ptr<bv::NotificationCenter::Token> selfRemoving;
    // The capture is read after the token died: ASan reports it if the observer was freed.
    selfRemoving = center.addObserver(
        "Outer", [&, text = std::string(64, 't')](const std::string&, const nlohmann::json&) {
            ++selfRemovingCalls;
            center.post("Inner");
            selfRemoving.reset();
            seenAfterRemoval = text;
        });
    auto inner = center.addObserver(
        "Inner", [&](const std::string&, const nlohmann::json&) { ++innerCalls; });
    auto done = std::async(std::launch::async, [&] {
        center.post("Outer");
        center.post("Outer");
    });
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(selfRemovingCalls, 1);
    EXPECT_EQ(innerCalls, 1);
    EXPECT_EQ(seenAfterRemoval, std::string(64, 't'));
}

TEST(NotificationCenter, ThrowingObserverIsReportedAndOthersStillRun) {
    bv::NotificationCenter center;
    std::vector<std::string> reports;
    auto previous = bv::setUnhandledExceptionSink(
        [&](const char*, std::exception_ptr e) { reports.push_back(bv::describeException(e)); });
    bool secondCalled = false;
    auto first = center.addObserver("N", [](const std::string&, const nlohmann::json&) {
        throw std::runtime_error("observer");
    });
    auto second = center.addObserver(
        "N", [&](const std::string&, const nlohmann::json&) { secondCalled = true; });
    center.post("N");
    bv::setUnhandledExceptionSink(previous);
    EXPECT_TRUE(secondCalled);
    EXPECT_EQ(reports, std::vector<std::string>{"observer"});
}

}  // namespace
