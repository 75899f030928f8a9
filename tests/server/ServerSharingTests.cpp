#include "ServerTestSupport.h"

namespace bvtest {
namespace {

class SharingTest : public ServerTest {};

TEST_F(SharingTest, SharedFolderIsListedReadAndWrittenThroughTheSharingContext) {
    User owner = newUser();
    User guest = newUser();
    std::string project = createFolder(owner, "0", "Project");
    std::string spec = uploadFile(owner, project, "plan.txt", "the plan")["FileId"];

    ApiAnswer shared = api().call("POST", "sharing.json", {},
                                  {{"session_id", owner.sid},
                                   {"folder_id", project},
                                   {"username", guest.name},
                                   {"sharemode", "1"}});
    ASSERT_TRUE(shared.json.contains("DirUpdateTime")) << shared.body;

    nlohmann::json users = api().call("GET", "sharing/listusers.json", {owner.sid, project}).json;
    ASSERT_EQ(users["ShareWithUser"].size(), 1u) << users;
    EXPECT_EQ(users["ShareWithUser"][0]["Name"], guest.name);

    nlohmann::json sharers = api().call("GET", "sharing/listsharedusers.json", {guest.sid}).json;
    ASSERT_EQ(sharers["SharedUsers"].size(), 1u) << sharers;
    EXPECT_EQ(sharers["SharedUsers"][0]["Name"], owner.name);
    std::string sharingId = sharers["SharedUsers"][0]["SharingID"];

    nlohmann::json folders =
        api().call("GET", "sharing/listsharedfolders.json", {guest.sid, sharingId}).json;
    ASSERT_EQ(folders["SharedFolders"].size(), 1u) << folders;
    EXPECT_EQ(folders["SharedFolders"][0]["FolderID"], project);
    EXPECT_TRUE(folders["SharedFolders"][0].contains("ShareMode"));

    // Read and write inside the shared folder.
    nlohmann::json inside = api()
                                .call("GET", "folder/list.json", {guest.sid, project},
                                      {{"last_request_time", "0"}, {"sharing_id", sharingId}})
                                .json;
    EXPECT_EQ(names(inside, "Files"), std::vector<std::string>{"plan.txt"}) << inside;
    ApiTestClient& c = api();
    EXPECT_EQ(c.call("GET", "download/file.json", {spec},
                     {{"session_id", guest.sid}, {"offset", "0"}, {"sharing_id", sharingId}})
                  .body,
              "the plan");
    uploadFile(guest, project, "reply.txt", "agreed", 1 << 20, {{"sharing_id", sharingId}});
    EXPECT_EQ(names(list(owner, project), "Files"),
              (std::vector<std::string>{"plan.txt", "reply.txt"}));

    // Without the sharing context, or outside the shared folder, the guest reaches nothing.
    EXPECT_EQ(
        api()
            .call("GET", "folder/list.json", {guest.sid, project}, {{"last_request_time", "0"}})
            .code(),
        404);
    EXPECT_TRUE(api()
                    .call("GET", "folder/list.json", {guest.sid, "0"},
                          {{"last_request_time", "0"}, {"sharing_id", sharingId}})
                    .isServiceError());

    // Read-only: writes are refused.
    std::string userSharingId = users["ShareWithUser"][0]["SharingID"];
    EXPECT_FALSE(
        api()
            .call("PUT", "sharing/setmode.json", {},
                  {{"session_id", owner.sid}, {"sharing_id", userSharingId}, {"sharemode", "0"}})
            .isServiceError());
    ApiAnswer refused = api().call("POST", "folder.json", {},
                                   {{"session_id", guest.sid},
                                    {"folder_name", "New"},
                                    {"folder_sub_parent", project},
                                    {"sharing_id", sharingId}});
    EXPECT_EQ(refused.code(), 403) << refused.body;

    ApiAnswer ended = api().call("DELETE", "sharing.json", {owner.sid, userSharingId});
    EXPECT_TRUE(ended.json.contains("DirUpdateTime")) << ended.body;
    EXPECT_EQ(
        api().call("GET", "sharing/listsharedusers.json", {guest.sid}).json["SharedUsers"].size(),
        0u);
}

TEST_F(SharingTest, SecureFolderNeedsItsVerifierAndASessionThatPassedIt) {
    User u = newUser();
    nlohmann::json root = list(u, "0");
    std::string secure;
    for (const auto& f : root["Folders"]) {
        if (f["Name"] == "Secure Files") {
            EXPECT_EQ(f["Encrypted"], 1);
            secure = f["FolderID"];
        }
    }
    ASSERT_FALSE(secure.empty());
    auto listSecure = [&](const std::string& sid) {
        return api().call("GET", "folder/list.json", {sid, secure}, {{"last_request_time", "0"}});
    };
    EXPECT_EQ(listSecure(u.sid).message(),
              "List subdir failed. Folder requires encryption key to be set");
    EXPECT_TRUE(api().call("GET", "securefolders/auth.json", {u.sid, secure}).isServiceError());

    ApiAnswer init = api().call(
        "POST", "securefolders/init.json", {},
        {{"session_id", u.sid}, {"folder_id", secure}, {"data", "opaque-blob"}, {"hash", "h1"}});
    ASSERT_FALSE(init.isServiceError()) << init.body;
    EXPECT_EQ(listSecure(u.sid).json["ResponseType"], 1);
    std::string sub = createFolder(u, secure, "Private");
    EXPECT_EQ(list(u, secure)["Folders"][0]["Encrypted"], 1);

    std::string other = api().login(u.name, u.password);
    std::string msg = listSecure(other).message();
    EXPECT_TRUE(msg.size() >= 41 &&
                msg.substr(msg.size() - 41) == "Folder requires encryption authentication")
        << msg;
    EXPECT_EQ(api().call("GET", "securefolders/auth.json", {other, secure}).json["Data"],
              "opaque-blob");
    ApiAnswer wrong = api().call("POST", "securefolders/auth.json", {},
                                 {{"session_id", other}, {"folder_id", secure}, {"hash", "h2"}});
    EXPECT_TRUE(wrong.isServiceError());
    EXPECT_NE(wrong.message(), "Open encrypted directory failed");  // clients take that as success
    EXPECT_TRUE(api()
                    .call("GET", "folder/list.json", {other, sub}, {{"last_request_time", "0"}})
                    .isServiceError());
    EXPECT_FALSE(api()
                     .call("POST", "securefolders/auth.json", {},
                           {{"session_id", other}, {"folder_id", secure}, {"hash", "h1"}})
                     .isServiceError());
    EXPECT_EQ(listSecure(other).json["ResponseType"], 1);
    // A second set-up would lock out the first password's files.
    EXPECT_TRUE(
        api()
            .call("POST", "securefolders/init.json", {},
                  {{"session_id", u.sid}, {"folder_id", secure}, {"data", "x"}, {"hash", "y"}})
            .isServiceError());
}

TEST_F(SharingTest, SyncStatisticsAreRecorded) {
    User u = newUser();
    nlohmann::json p = {{"session_id", u.sid},    {"task_status", "0"},     {"task_name", "Backup"},
                        {"completed_items", "3"}, {"failed_items", "0"},    {"task_src", "/home/x"},
                        {"task_dst", "/Backup"},  {"emails", "a@b.c;d@e.f"}};
    ASSERT_FALSE(api().call("POST", "users/SendSyncStatistics.json", {}, p).isServiceError());
    nlohmann::json stats = server().statistics(u.name);
    ASSERT_EQ(stats.size(), 1u);
    p.erase("session_id");
    EXPECT_EQ(stats[0]["request"], p);
}

}  // namespace
}  // namespace bvtest
