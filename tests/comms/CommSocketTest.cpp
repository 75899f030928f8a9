#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "TempDir.h"
#include "comms/CommFrameReader.h"
#include "comms/CommSocketClient.h"
#include "comms/CommSocketServer.h"
#include "comms/CommValue.h"
#include "comms/UnixSocketPath.h"
#include "platform/RunLoop.h"
#include "platform/TmpPaths.h"

namespace {

constexpr double kWait = 5.0;  // an upper bound only: every wait ends on its condition

class RecordingServerDelegate : public CommSocketServerDelegate {
  public:
    std::vector<std::string> messages;
    int stopped = 0;
    void handleSocketServerMsgString(const std::string& s, CommSocketClient&) override {
        messages.push_back("string:" + s);
    }
    void handleSocketServerMsgNumber(double n, CommSocketClient&) override {
        messages.push_back("number:" + std::to_string(static_cast<int>(n)));
    }
    void handleSocketServerMsgArray(const nlohmann::json& a, CommSocketClient&) override {
        messages.push_back("array:" + a.dump());
    }
    void handleSocketServerMsgDict(const nlohmann::json& d, CommSocketClient&) override {
        messages.push_back("dict:" + d.dump());
    }
    void handleSocketServerStopped(CommSocketServer&) override { ++stopped; }
};

class RecordingClientDelegate : public CommSocketClientDelegate {
  public:
    std::vector<std::string> messages;
    int disconnects = 0;
    void handleSocketClientMsgString(const std::string& s, CommSocketClient&) override {
        messages.push_back("string:" + s);
    }
    void handleSocketClientMsgURL(const std::string& s, CommSocketClient&) override {
        messages.push_back("url:" + s);
    }
    void handleSocketClientDisconnect(CommSocketClient&) override { ++disconnects; }
};

bool runUntil(const std::function<bool()>& condition) {
    return bv::RunLoop::current().runUntil(condition, kWait);
}

class CommSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path = bv::bvTmpPath("/tmp/brimvaultupload.sock");
        ASSERT_FALSE(path.empty());
        server = CommSocketServer::initWithSocketURL(path);
        server->setDelegate(&delegate);
    }

    // A raw connection, for bytes no well-behaved client sends.
    bv::UniqueFd rawConnect() {
        bv::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        auto addr = UnixSocketPath::address(path);
        EXPECT_EQ(0, connect(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof(*addr)));
        return fd;
    }

    bvtest::ScopedHome home;
    std::string path;
    RecordingServerDelegate delegate;
    std::unique_ptr<CommSocketServer> server;
};

TEST_F(CommSocketTest, SendingWhereNobodyListensFailsQuietly) {
    auto client = CommSocketClient::initAndStartClient(path);
    EXPECT_EQ(CommSocket::kDisconnected, client->status());
    EXPECT_FALSE(client->isSockRefValid());
    EXPECT_FALSE(client->messageString("open"));
    EXPECT_NE(std::string::npos, client->sockLastError().find("(2)"));
}

TEST_F(CommSocketTest, StaleSocketFileIsReplaced) {
    {
        bv::UniqueFd stale(socket(AF_UNIX, SOCK_STREAM, 0));
        auto addr = UnixSocketPath::address(path);
        ASSERT_EQ(0, bind(stale.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof(*addr)));
    }
    ASSERT_TRUE(server->startServer());
    auto client = CommSocketClient::initAndStartClient(path);
    ASSERT_TRUE(client->isSockConnected());
    client->messageString("open");
    EXPECT_TRUE(runUntil([&] { return !delegate.messages.empty(); }));
}

TEST_F(CommSocketTest, OneStringThenCloseDeliversItAndLeavesTheSet) {
    ASSERT_TRUE(server->startServer());
    auto client = CommSocketClient::initAndStartClient(path);
    ASSERT_TRUE(client->isSockConnected());
    ASSERT_TRUE(runUntil([&] { return server->sockClients()->size() == 1; }));
    EXPECT_TRUE(client->messageString("/Backups/a.txt"));
    client->stopClient();
    EXPECT_EQ(CommSocket::kDisconnected, client->status());
    ASSERT_TRUE(runUntil([&] { return server->sockClients()->empty(); }));
    EXPECT_EQ(std::vector<std::string>{"string:/Backups/a.txt"}, delegate.messages);
}

TEST_F(CommSocketTest, SecondStartChangesNothing) {
    ASSERT_TRUE(server->startServer());
    int socketBefore = server->sockRef();
    auto client = CommSocketClient::initAndStartClient(path);
    ASSERT_TRUE(runUntil([&] { return server->sockClients()->size() == 1; }));
    EXPECT_TRUE(server->startServer());
    EXPECT_EQ(socketBefore, server->sockRef());
    EXPECT_EQ(1u, server->sockClients()->size());
    EXPECT_EQ(CommSocket::kConnected, server->status());
}

TEST_F(CommSocketTest, BackToBackMessagesArriveAsTwoAndALargeOneWhole) {
    ASSERT_TRUE(server->startServer());
    auto client = CommSocketClient::initAndStartClient(path);
    ASSERT_TRUE(client->isSockConnected());
    std::string large(200 * 1024, 'x');
    large.back() = 'y';
    client->messageString("open");
    client->messageString("close");
    client->messageString(large);
    ASSERT_TRUE(runUntil([&] { return delegate.messages.size() >= 3; }));
    ASSERT_EQ(3u, delegate.messages.size());
    EXPECT_EQ("string:open", delegate.messages[0]);
    EXPECT_EQ("string:close", delegate.messages[1]);
    EXPECT_EQ("string:" + large, delegate.messages[2]);
}

TEST_F(CommSocketTest, KindsReachTheServerDelegateExceptURLs) {
    ASSERT_TRUE(server->startServer());
    auto client = CommSocketClient::initAndStartClient(path);
    client->messageURL("file:///x");
    client->messageNumber(7);
    client->messageArray({"a", 1});
    client->messageDict({{"k", "v"}});
    client->messageString("last");
    ASSERT_TRUE(runUntil([&] { return delegate.messages.size() >= 4; }));
    EXPECT_EQ((std::vector<std::string>{"number:7", "array:[\"a\",1]", "dict:{\"k\":\"v\"}",
                                        "string:last"}),
              delegate.messages);
}

TEST_F(CommSocketTest, ServerMessagesReachItsClients) {
    ASSERT_TRUE(server->startServer());
    RecordingClientDelegate clientDelegate;
    auto client = CommSocketClient::initAndStartClient(path);
    client->setDelegate(&clientDelegate);
    ASSERT_TRUE(runUntil([&] { return server->sockClients()->size() == 1; }));
    server->messageClientsString("open");
    server->messageClientsURL("file:///y");
    ASSERT_TRUE(runUntil([&] { return clientDelegate.messages.size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"string:open", "url:file:///y"}), clientDelegate.messages);
    server->stopServer();
    EXPECT_EQ(1, delegate.stopped);
    EXPECT_TRUE(runUntil([&] { return clientDelegate.disconnects == 1; }));
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(CommSocketTest, DamagedMessageIsDroppedAndTheConnectionGoesOn) {
    ASSERT_TRUE(server->startServer());
    auto fd = rawConnect();
    auto garbage = CommFrameReader::frame(bv::Data::fromString("\xff\x00not cbor"));
    auto good = CommFrameReader::frame(CommValue::string("after").archived());
    auto wrongClass = CommFrameReader::frame(CommValue::string("x").archived());
    wrongClass.mutableBytes()[8] ^= 0x20;  // damages the class name
    for (const auto* frame : {&garbage, &wrongClass, &good})
        ASSERT_EQ(ssize_t(frame->size()), write(fd.get(), frame->bytes(), frame->size()));
    ASSERT_TRUE(runUntil([&] { return !delegate.messages.empty(); }));
    EXPECT_EQ(std::vector<std::string>{"string:after"}, delegate.messages);
    EXPECT_EQ(1u, server->sockClients()->size());
}

TEST_F(CommSocketTest, StatedLengthAboveTheLimitDropsTheConnection) {
    ASSERT_TRUE(server->startServer());
    auto fd = rawConnect();
    ASSERT_TRUE(runUntil([&] { return server->sockClients()->size() == 1; }));
    const uint8_t header[] = {0x00, 0x10, 0x00, 0x01};  // 1 MiB + 1
    ASSERT_EQ(4, write(fd.get(), header, sizeof(header)));
    ASSERT_TRUE(runUntil([&] { return server->sockClients()->empty(); }));
    char byte;
    EXPECT_EQ(0, read(fd.get(), &byte, 1));  // closed by the server
    EXPECT_TRUE(delegate.messages.empty());
}

TEST(CommFrameReaderTest, SplitsAndJoinsFrames) {
    auto a = CommFrameReader::frame(bv::Data::fromString("one"));
    auto b = CommFrameReader::frame(bv::Data::fromString(""));
    auto c = CommFrameReader::frame(bv::Data::fromString("three"));
    bv::Data stream;
    for (const auto* f : {&a, &b, &c})
        stream.append(*f);
    CommFrameReader reader;
    std::vector<std::string> got;
    for (size_t i = 0; i < stream.size(); ++i) {  // one byte at a time: the worst split
        ASSERT_TRUE(reader.append(stream.bytes() + i, 1));
        while (auto m = reader.next())
            got.push_back(m->toString());
    }
    EXPECT_EQ((std::vector<std::string>{"one", "", "three"}), got);
    EXPECT_TRUE(
        CommFrameReader::frame(bv::Data(std::vector<uint8_t>(CommFrameReader::kMaxMessage + 1)))
            .empty());
}

// The tests below need a second user: they run when the suite runs as root, as in CI.
class CommSocketOtherUserTest : public CommSocketTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to act as another user";
        const passwd* pw = getpwnam("nobody");
        if (!pw)
            GTEST_SKIP() << "no user nobody";
        nobody = pw->pw_uid;
        nobodyGroup = pw->pw_gid;
        // A folder the other user can reach, so only the peer check stands in its way.
        ASSERT_EQ(0, chmod(shared.path().c_str(), 0777));
        path = (shared.path() / "brimvault.sock").string();
        server = CommSocketServer::initWithSocketURL(path);
        server->setDelegate(&delegate);
    }

    // Runs body as the other user in a child process; answers its pid.
    pid_t asOtherUser(const std::function<int()>& body) {
        pid_t pid = fork();
        if (pid == 0) {
            if (setgid(nobodyGroup) != 0 || setuid(nobody) != 0)
                _exit(90);
            _exit(body());
        }
        return pid;
    }

    bvtest::TempDir shared{"bvcomms"};
    uid_t nobody = 0;
    gid_t nobodyGroup = 0;
};

TEST_F(CommSocketOtherUserTest, PeerOfAnotherUserIsRefused) {
    ASSERT_TRUE(server->startServer());
    ASSERT_EQ(0, chmod(path.c_str(), 0666));
    auto frame = CommFrameReader::frame(CommValue::string("close").archived());
    auto addr = *UnixSocketPath::address(path);
    pid_t child = asOtherUser([&] {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
            return 91;
        // The server may hang up before the message is written: that is a refusal too.
        if (send(fd, frame.bytes(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size()))
            return errno == EPIPE || errno == ECONNRESET ? 0 : 92;
        char byte;
        return read(fd, &byte, 1) <= 0 ? 0 : 93;  // the server hangs up
    });
    int status = -1;
    ASSERT_TRUE(runUntil([&] { return waitpid(child, &status, WNOHANG) == child; }));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_TRUE(delegate.messages.empty());
    EXPECT_TRUE(server->sockClients()->empty());
}

TEST_F(CommSocketOtherUserTest, SocketFileOfAnotherUserIsNeitherRemovedNorUsed) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    auto addr = *UnixSocketPath::address(path);
    pid_t child = asOtherUser([&] {
        close(ready[0]);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
            listen(fd, 4) != 0)
            return 91;
        char byte = 1;
        if (write(ready[1], &byte, 1) != 1)
            return 92;
        pause();
        return 0;
    });
    close(ready[1]);
    char byte;
    ASSERT_EQ(1, read(ready[0], &byte, 1));
    close(ready[0]);

    auto client = CommSocketClient::initAndStartClient(path);
    EXPECT_FALSE(client->isSockConnected());
    EXPECT_FALSE(server->startServer());
    EXPECT_NE(std::string::npos, server->sockLastError().find("another user"));
    struct stat st {};
    EXPECT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_EQ(nobody, st.st_uid);

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

}  // namespace
