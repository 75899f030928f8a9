#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "BVApi/Content/BVUserItems.h"
#include "TempDir.h"
#include "comms/BVExtensionCommsClient.h"
#include "comms/BVExtensionCommsServer.h"
#include "comms/CommValue.h"
#include "comms/UnixSocketPath.h"
#include "platform/RunLoop.h"

namespace {

using namespace BVExtensionActions;
using Component = BVExtensionCommsComponent;

constexpr double kWait = 5.0;  // an upper bound only: every wait ends on its condition

bool runUntil(const std::function<bool()>& condition) {
    return bv::RunLoop::current().runUntil(condition, kWait);
}

// A clock whose sleeps pass at once and may make something happen at a given sleep.
class ScriptedClock : public bv::ManualClock {
  public:
    std::function<void(int sleeps)> onSleep;
    int sleeps = 0;
    void sleepFor(double seconds) override {
        ManualClock::sleepFor(seconds);
        ++sleeps;
        if (onSleep)
            onSleep(sleeps);
    }
};

class ExtensionCommsTest : public ::testing::Test {
  protected:
    std::unique_ptr<BVExtensionCommsClient> makeClient() {
        BVExtensionCommsClient::Options options;
        options.clock = clock;
        options.exitProcess = [this](int status) { exits.push_back(status); };
        return std::make_unique<BVExtensionCommsClient>(options);
    }
    std::unique_ptr<BVExtensionCommsServer> makeServer() {
        auto server = std::make_unique<BVExtensionCommsServer>();
        server->setDriveRootPath("/Volumes/Brimvault");
        return server;
    }
    // Sends raw bytes to the server's port from a socket of our own.
    void sendRaw(const bv::Data& bytes) {
        bv::UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM, 0));
        auto addr =
            UnixSocketPath::address(*BVExtensionPort::pathOf(BVExtensionCommsServer::kPortName),
                                    UnixSocketPath::kFullPathLimit);
        ASSERT_EQ(ssize_t(bytes.size()),
                  sendto(fd.get(), bytes.bytes(), bytes.size(), 0,
                         reinterpret_cast<const sockaddr*>(&*addr), sizeof(*addr)));
    }

    bvtest::ScopedHome home;
    std::shared_ptr<ScriptedClock> clock = std::make_shared<ScriptedClock>();
    std::vector<int> exits;
};

TEST_F(ExtensionCommsTest, ClientStartedBeforeTheServerGetsInitOnceItAppears) {
    std::unique_ptr<BVExtensionCommsServer> server;
    clock->onSleep = [&](int sleeps) {
        if (sleeps == 3)
            server = makeServer();
    };
    auto client = makeClient();
    std::vector<std::string> inits;
    client->setTarget(Component::DataHandler([&](const std::vector<Value>& args) {
                          inits.push_back(std::get<std::string>(args[0]));
                      }),
                      kInit);
    ASSERT_TRUE(client->isConnected());
    EXPECT_EQ(3, clock->sleeps);
    EXPECT_TRUE(exits.empty());
    ASSERT_TRUE(runUntil([&] { return !inits.empty(); }));
    EXPECT_EQ(std::vector<std::string>{"/Volumes/Brimvault"}, inits);
    EXPECT_EQ(std::vector<std::string>{client->portName()}, server->ports());
    EXPECT_EQ(0u, client->portName().find(BVExtensionCommsClient::kPortPrefix));
}

TEST_F(ExtensionCommsTest, ClientWithoutAServerExitsWithOneAfterTwoMinutes) {
    double start = clock->monotonic();
    auto client = makeClient();
    EXPECT_EQ(std::vector<int>{1}, exits);
    EXPECT_FALSE(client->isConnected());
    EXPECT_DOUBLE_EQ(120.0, clock->monotonic() - start);
}

TEST_F(ExtensionCommsTest, DeadClientPortIsDroppedAtTheNextBroadcastWithOneNotice) {
    auto server = makeServer();
    std::vector<std::string> invalidated;
    auto token = server->notificationCenter().addObserver(
        BVExtensionCommsServer::kPortInvalidated,
        [&](const std::string&, const nlohmann::json& info) { invalidated.push_back(info); });
    auto dying = makeClient();
    auto living = makeClient();
    ASSERT_TRUE(runUntil([&] { return server->ports().size() == 2; }));
    std::string dead = dying->portName();
    dying.reset();

    server->broadcastNetworkActivityBegin();
    server->broadcastNetworkActivityEnd();
    EXPECT_TRUE(server->hasClients());
    EXPECT_EQ(std::vector<std::string>{dead}, invalidated);
    EXPECT_EQ(std::vector<std::string>{living->portName()}, server->ports());

    living.reset();
    EXPECT_FALSE(server->hasClients());
    EXPECT_EQ(2u, invalidated.size());
}

TEST_F(ExtensionCommsTest, ArgumentsArriveUnarchivedInBothDirections) {
    auto server = makeServer();
    std::vector<std::string> got;
    for (const char* action : {kShare, kShowProperties, kRefreshFolder}) {
        server->setTarget(
            Component::DataHandler([&got, action](const std::vector<Value>& args) {
                got.push_back(std::string(action) + " " + std::get<std::string>(args[0]));
            }),
            action);
    }
    server->setTarget(Component::DataHandler([&](const std::vector<Value>& args) {
                          for (const auto& p : std::get<std::vector<std::string>>(args[0]))
                              got.push_back("trash " + p);
                      }),
                      kMoveToTrash);
    server->setTarget(Component::DataHandler([&](const std::vector<Value>& args) {
                          got.push_back("empty " + std::to_string(args.size()));
                      }),
                      kEmptyTrash);
    server->setTarget(
        Component::ObservingHandler([&](const std::string& path, const std::string& port) {
            got.push_back("observe " + path + " " + port);
        }),
        kObserveBegin);
    auto client = makeClient();
    std::shared_ptr<BVUserInfoItem> info;
    client->setTarget(Component::DataHandler([&](const std::vector<Value>& args) {
                          info = std::get<std::shared_ptr<BVUserInfoItem>>(args[0]);
                      }),
                      kBroadcastUserInfo);
    client->share("/a b");
    client->showProps("/c");
    client->refreshFolder("/");
    client->moveToTrash({"/x", "/y"});
    client->emptyTrash();
    client->beginObserving("/Docs");
    ASSERT_TRUE(runUntil([&] { return got.size() == 7; }));
    EXPECT_EQ((std::vector<std::string>{"ext_share /a b", "ext_show_props /c",
                                        "ext_refresh_folder /", "trash /x", "trash /y", "empty 0",
                                        "observe /Docs " + client->portName()}),
              got);

    BVUserInfoItem sent;
    sent.storageUsed = 1500;
    sent.trashCount = 4;
    server->broadcastUserInfo(sent);
    ASSERT_TRUE(runUntil([&] { return info != nullptr; }));
    EXPECT_EQ(1500, info->storageUsed);
    EXPECT_EQ(4, info->trashCount);
}

TEST_F(ExtensionCommsTest, UnknownActionsAndBadMessagesAreDropped) {
    auto server = makeServer();
    std::vector<std::string> shared;
    server->setTarget(Component::DataHandler([&](const std::vector<Value>& args) {
                          shared.push_back(std::get<std::string>(args[0]));
                      }),
                      kShare);
    auto client = makeClient();
    auto path = CommValue::string("/p").archived();
    auto message = [&](std::vector<bv::Data> blocks) {
        return BVExtensionMessage{client->portName(), std::move(blocks)}.encoded();
    };
    client->sendAction("ext_no_such_action", {path}, server->portName());
    sendRaw(message({bv::Data::fromString(kShare)}));              // no argument
    sendRaw(message({bv::Data::fromString(kShare), path, path}));  // one too many
    sendRaw(message({bv::Data::fromString(kShare), CommValue::array({"/p"}).archived()}));
    sendRaw(message({bv::Data::fromString(kShare), bv::Data::fromString("\xa1\x61")}));
    sendRaw(bv::Data::fromString("\x82\x61"));  // cut short
    sendRaw(bv::Data::fromString("not cbor at all"));
    sendRaw(BVExtensionMessage{"../escape", {bv::Data::fromString(kShare), path}}.encoded());
    client->share("/last");
    ASSERT_TRUE(runUntil([&] { return !shared.empty(); }));
    bv::RunLoop::current().runFor(0.05);
    EXPECT_EQ(std::vector<std::string>{"/last"}, shared);
}

TEST_F(ExtensionCommsTest, APortNameHeldByALivePortIsNotTaken) {
    auto server = makeServer();
    BVExtensionCommsServer second;
    EXPECT_TRUE(server->isRegistered());
    EXPECT_FALSE(second.isRegistered());
    EXPECT_TRUE(BVExtensionPort::exists(BVExtensionCommsServer::kPortName));
    server.reset();
    EXPECT_FALSE(BVExtensionPort::exists(BVExtensionCommsServer::kPortName));
}

}  // namespace
