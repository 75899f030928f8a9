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

TEST_F(SharingTest, EachFolderKeepsTheModeOfTheShareThatCoversIt) {
    User owner = newUser();
    User guest = newUser();
    std::string open = createFolder(owner, "0", "Open");
    std::string locked = createFolder(owner, "0", "Locked");
    std::string lockedSub = createFolder(owner, locked, "Sub");
    std::string kept = uploadFile(owner, locked, "kept.txt", "keep me")["FileId"];
    std::string inOpen = uploadFile(owner, open, "open.txt", "free")["FileId"];
    for (const auto& [folder, mode] : {std::pair{open, "1"}, std::pair{locked, "0"}}) {
        ASSERT_FALSE(api()
                         .call("POST", "sharing.json", {},
                               {{"session_id", owner.sid},
                                {"folder_id", folder},
                                {"username", guest.name},
                                {"sharemode", mode}})
                         .isServiceError());
    }
    // The one sharing id names the read-write share; it must not open the read-only one.
    std::string sid = api()
                          .call("GET", "sharing/listsharedusers.json", {guest.sid})
                          .json["SharedUsers"][0]["SharingID"];
    const nlohmann::json ctx = {{"session_id", guest.sid}, {"sharing_id", sid}};
    auto with = [&](nlohmann::json p) {
        p.update(ctx);
        return p;
    };
    const std::vector<CallCase> writes = {
        {"upload into it",
         "POST",
         "upload/create_file.json",
         {},
         with({{"folder_id", locked}, {"file_name", "evil.txt"}, {"file_size", "1"}})},
        {"create a folder in it",
         "POST",
         "folder.json",
         {},
         with({{"folder_name", "evil"}, {"folder_sub_parent", locked}})},
        {"delete its file", "DELETE", "file.json", {guest.sid, kept}, {{"sharing_id", sid}}},
        {"trash its file", "POST", "file/trash.json", {}, with({{"file_id", kept}})},
        {"replace its file", "POST", "upload/open_file_upload.json", {}, with({{"file_id", kept}})},
        {"move its file out",
         "POST",
         "file/move_copy.json",
         {},
         with({{"src_file_id", kept}, {"dst_folder_id", open}, {"move", "true"}})},
        {"move a file into it",
         "POST",
         "file/move_copy.json",
         {},
         with({{"src_file_id", inOpen}, {"dst_folder_id", locked}, {"move", "true"}})},
        {"rename its subfolder",
         "POST",
         "folder/move_copy.json",
         {},
         with({{"folder_id", lockedSub},
               {"dst_folder_id", locked},
               {"new_folder_name", "x"},
               {"move", "true"}})},
        {"remove its subfolder",
         "POST",
         "folder/remove.json",
         {},
         with({{"folder_id", lockedSub}})},
        {"trash the shared folder", "POST", "folder/trash.json", {}, with({{"folder_id", locked}})},
    };
    for (const auto& w : writes) {
        ApiAnswer a = api().call(w.method, w.endpoint, w.args, w.params);
        EXPECT_EQ(a.code(), 403) << w.what << ": " << a.body;
    }
    EXPECT_EQ(names(list(owner, locked), "Files"), std::vector<std::string>{"kept.txt"});
    EXPECT_EQ(names(list(owner, locked), "Folders"), std::vector<std::string>{"Sub"});
    EXPECT_EQ(names(list(owner, "0"), "Folders"),
              (std::vector<std::string>{"Locked", "Open", "Secure Files"}));
    // Reading the read-only folder and writing the read-write one still work.
    EXPECT_EQ(api().call("GET", "download/file.json", {kept}, with({{"offset", "0"}})).body,
              "keep me");
    uploadFile(guest, open, "reply.txt", "ok", 1 << 20, {{"sharing_id", sid}});
    EXPECT_EQ(names(list(owner, open), "Files"),
              (std::vector<std::string>{"open.txt", "reply.txt"}));
}

TEST_F(SharingTest, EveryItemBelowASecureFolderNeedsTheSessionToHavePassedIt) {
    User u = newUser();
    std::string secure;
    const nlohmann::json root = list(u, "0");
    for (const auto& f : root["Folders"]) {
        if (f["Name"] == "Secure Files")
            secure = f["FolderID"];
    }
    ASSERT_FALSE(
        api()
            .call("POST", "securefolders/init.json", {},
                  {{"session_id", u.sid}, {"folder_id", secure}, {"data", "blob"}, {"hash", "h1"}})
            .isServiceError());
    std::string sub = createFolder(u, secure, "Private");
    std::string file = uploadFile(u, sub, "diary.txt", "dear diary")["FileId"];
    std::string atTop = uploadFile(u, secure, "top.txt", "top")["FileId"];

    // A second sign-in that never gave the secure folder's password.
    const std::string other = api().login(u.name, u.password);
    const std::vector<CallCase> calls = {
        {"folder id by path",
         "POST",
         "folder/idbypath.json",
         {},
         {{"session_id", other}, {"path", "Secure Files/Private"}}},
        {"file id by path",
         "POST",
         "file/idbypath.json",
         {},
         {{"session_id", other}, {"path", "Secure Files/Private/diary.txt"}}},
        {"folder info", "GET", "folder/info.json", {other, sub}, {}},
        {"folder path", "GET", "folder/path.json", {other, sub}, {}},
        {"file info", "GET", "file/info.json", {file}, {{"session_id", other}}},
        {"file path", "GET", "file/path.json", {other, file}, {}},
        {"download", "GET", "download/file.json", {file}, {{"session_id", other}, {"offset", "0"}}},
        {"download at the top",
         "GET",
         "download/file.json",
         {atTop},
         {{"session_id", other}, {"offset", "0"}}},
        {"create a file",
         "POST",
         "upload/create_file.json",
         {},
         {{"session_id", other}, {"folder_id", secure}, {"file_name", "x"}, {"file_size", "1"}}},
        {"create a folder",
         "POST",
         "folder.json",
         {},
         {{"session_id", other}, {"folder_name", "x"}, {"folder_sub_parent", sub}}},
        {"replace a file",
         "POST",
         "upload/open_file_upload.json",
         {},
         {{"session_id", other}, {"file_id", file}}},
        {"move a file out",
         "POST",
         "file/move_copy.json",
         {},
         {{"session_id", other}, {"src_file_id", file}, {"dst_folder_id", "0"}, {"move", "true"}}},
        {"move a folder out",
         "POST",
         "folder/move_copy.json",
         {},
         {{"session_id", other}, {"folder_id", sub}, {"dst_folder_id", "0"}, {"move", "true"}}},
        {"trash a file", "POST", "file/trash.json", {}, {{"session_id", other}, {"file_id", file}}},
        {"delete a file", "DELETE", "file.json", {other, file}, {}},
    };
    for (const auto& c : calls) {
        ApiAnswer a = api().call(c.method, c.endpoint, c.args, c.params);
        EXPECT_EQ(a.message(), "Folder requires encryption authentication")
            << c.what << ": " << a.body;
    }
    EXPECT_EQ(api().download(u.sid, file).body, "dear diary");
    EXPECT_EQ(names(list(u, sub), "Files"), std::vector<std::string>{"diary.txt"});
    // Its trashed items are not shown to that session either.
    ASSERT_FALSE(
        api()
            .call("POST", "file/trash.json", {}, {{"session_id", u.sid}, {"file_id", atTop}})
            .isServiceError());
    auto trashed = [&](const std::string& sid) {
        return names(api().call("GET", "folder/trashlist.json", {sid}).json, "Files");
    };
    EXPECT_EQ(trashed(u.sid), std::vector<std::string>{"top.txt"});
    EXPECT_TRUE(trashed(other).empty());
    EXPECT_EQ(names(list(u, "0"), "Files"), std::vector<std::string>{});

    // Once the session passes the check, the same calls work.
    ASSERT_FALSE(api()
                     .call("POST", "securefolders/auth.json", {},
                           {{"session_id", other}, {"folder_id", secure}, {"hash", "h1"}})
                     .isServiceError());
    EXPECT_EQ(api()
                  .call("POST", "file/idbypath.json", {},
                        {{"session_id", other}, {"path", "Secure Files/Private/diary.txt"}})
                  .json["FileId"],
              file);
    EXPECT_EQ(api().download(other, file).body, "dear diary");
    EXPECT_EQ(api().call("GET", "file/path.json", {other, file}).json["Path"],
              "Secure Files/Private/diary.txt");
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
