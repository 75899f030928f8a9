// What each operation puts on the wire: method, path arguments, query, body, and where the
// session and sharing identifiers go.
#include <functional>

#include "ApiClientFixture.h"

namespace bvtest {
namespace {

using json = nlohmann::json;
using Query = std::map<std::string, std::string>;

const char* kSessionAnswer =
    R"({"SessionID":"S1","UserName":"ann","AccType":1,"DriveName":"Brimvault",)"
    R"("UserFirstName":"Ann","UserLastName":"Lee","UserID":"7","UploadSpeedLimit":0,)"
    R"("Active2FA":"0","IsAccountUser":0})";
const char* kListingAnswer =
    R"({"DirUpdateTime":5,"Name":"x","ParentFolderID":"0","ResponseType":1,)"
    R"("Folders":[{"FolderID":"D2","Name":"sub"}],"Files":[{"FileId":"F2","Name":"a.txt","Size":3}]})";
const char* kFileAnswer = R"({"FileId":"F1","Name":"a.txt","Size":10,"DateModified":1})";
const char* kFolderAnswer = R"({"FolderID":"D1","Name":"docs"})";
const char* kStamp = R"({"DirUpdateTime":17})";
const char* kResult = R"({"result":1})";

struct Contexts {
    BVApiClient& client;
    BVApiClientAuthContext* auth;
    BVApiClientSharingContext* sharing;
    std::shared_ptr<BVUserSessionItem> session;
};

struct Expected {
    Expected(std::string m, std::string p, Query q, json b,
             std::map<std::string, std::string> multipart = {})
        : method(std::move(m)),
          path(std::move(p)),
          query(std::move(q)),
          body(std::move(b)),
          parts(std::move(multipart)) {}
    std::string method;
    std::string path;
    Query query;
    json body;  // null: no body
    std::map<std::string, std::string> parts;
};

struct OperationCase {
    std::string name;
    std::function<bool(Contexts&)> call;  // true when the result is the expected one
    std::vector<Expected> requests;
    std::map<std::string, std::string> answers;  // endpoint -> JSON answer
};

std::vector<OperationCase> operationCases() {
    const std::string version = BVApiClient::apiVersion();
    return {
        {"login",
         [](Contexts& c) {
             auto s = c.client.authenticateUserSessionWithUsername("ann", "pw", nullptr);
             return s && s->sessionId == "S1" && s->username == "ann";
         },
         {{"POST",
           "session/login.json/",
           {},
           {{"username", "ann"}, {"passwd", "pw"}, {"version", version}}}},
         {{"session/login.json", kSessionAnswer}}},
        {"uploadSpeedLimit",
         [](Contexts& c) {
             return c.client.getUploadSpeedLimit(c.session, nullptr) == 512 &&
                    c.session->uploadSpeedLimit == 512;
         },
         {{"GET", "session/info.json/SID", {}, nullptr}},
         {{"session/info.json", R"({"UploadSpeedLimit":512})"}}},
        {"sendToken",
         [](Contexts& c) { return c.client.sendToken(*c.session, nullptr); },
         {{"GET", "users/authytokenviamessage.json/SID", {}, nullptr}},
         {{"users/authytokenviamessage.json", kResult}}},
        {"verifyToken",
         [](Contexts& c) { return c.client.verifyToken(*c.session, "1234567", nullptr); },
         {{"GET", "users/authylogin.json/SID/1234567", {}, nullptr}},
         {{"users/authylogin.json", kResult}}},
        {"logout",
         [](Contexts& c) { return c.client.logoutWithContext(c.auth, nullptr); },
         {{"POST", "session/logout.json/", {}, {{"session_id", "SID"}}}},
         {{"session/logout.json", kResult}}},
        {"createUser",
         [](Contexts& c) {
             return c.client.createUserWithEmail("a@b.c", "pw", "Ann", "Lee", nullptr);
         },
         {{"POST",
           "users.json/",
           {},
           {{"username", "a@b.c"},
            {"email", "a@b.c"},
            {"passwd", "pw"},
            {"verify_passwd", "pw"},
            {"first_name", "Ann"},
            {"last_name", "Lee"},
            {"created_by_id", "Brimvault"}}}},
         {{"users.json", kResult}}},
        {"userInfo",
         [](Contexts& c) {
             auto info = c.client.userInfoWithContext(c.auth, nullptr);
             return info && info->storageMax == 100 && info->plan == "Free";
         },
         {{"GET", "users/info.json/SID", {}, nullptr}},
         {{"users/info.json",
           R"({"MaxStorage":100,"StorageUsed":1,"BwUsed":0,"BwMax":0,"UserPlan":"Free"})"}}},
        {"notifications",
         [](Contexts& c) {
             auto n = c.client.userNotificationsContext(c.auth, nullptr);
             return n && n->list.size() == 1;
         },
         {{"GET", "users/notifications.json/SID", {{"app_version", version}}, nullptr}},
         {{"users/notifications.json", R"({"Notification":[{"Type":0,"Text":"hi","URL":""}]})"}}},
        {"fileIdAt",
         [](Contexts& c) {
             auto id = c.client.fileIdAt("/a/b.txt", c.auth, nullptr);
             return id && id->identifier == "F9" && id->path == "/a/b.txt";
         },
         {{"POST", "file/idbypath.json/", {}, {{"path", "/a/b.txt"}, {"session_id", "SID"}}}},
         {{"file/idbypath.json", R"({"FileId":"F9"})"}}},
        {"folderIdAt",
         [](Contexts& c) {
             auto id = c.client.folderIdAt("/a", c.auth, nullptr);
             return id && id->identifier == "D9" && id->path == "/a";
         },
         {{"POST", "folder/idbypath.json/", {}, {{"path", "/a"}, {"session_id", "SID"}}}},
         {{"folder/idbypath.json", R"({"FolderId":"D9"})"}}},
        {"pathForFile",
         [](Contexts& c) { return c.client.pathForFile("F1", c.auth, nullptr) == "/a/b.txt"; },
         {{"GET", "file/path.json/SID/F1", {}, nullptr}},
         {{"file/path.json", R"({"Path":"a/b.txt"})"}}},
        {"pathForFolder",
         [](Contexts& c) { return c.client.pathForFolder("D1", c.auth, nullptr) == "/a"; },
         {{"GET", "folder/path.json/SID/D1", {}, nullptr}},
         {{"folder/path.json", R"({"Path":"a"})"}}},
        {"listFolderWithoutTime",
         [](Contexts& c) {
             auto list = c.client.listFolder("42", std::nullopt, c.auth, nullptr);
             return list && list->identifier == "42" && list->files.size() == 1 &&
                    list->folders.size() == 1;
         },
         {{"GET",
           "folder/list.json/SID/42",
           {{"last_request_time", "0"}, {"encryption_supported", "1"}},
           nullptr}},
         {{"folder/list.json", kListingAnswer}}},
        {"listFolderWithTime",
         [](Contexts& c) { return c.client.listFolder("42", "1234", c.auth, nullptr) != nullptr; },
         {{"GET",
           "folder/list.json/SID/42",
           {{"last_request_time", "1234"}, {"encryption_supported", "1"}},
           nullptr}},
         {{"folder/list.json", kListingAnswer}}},
        {"listTrash",
         [](Contexts& c) {
             auto list = c.client.listTrashFolderWithContext(c.auth, nullptr);
             return list && list->identifier == "-1";
         },
         {{"GET", "folder/trashlist.json/SID", {}, nullptr}},
         {{"folder/trashlist.json",
           R"({"ResponseType":1,"DirUpdateTime":1,"Folders":[],"Files":[]})"}}},
        {"sharedFolders",
         [](Contexts& c) {
             auto list = c.client.sharedFoldersWithContext(c.sharing, nullptr);
             return list && list->identifier == "SH" && list->folders.size() == 1;
         },
         {{"GET", "sharing/listsharedfolders.json/SID/SH", {}, nullptr}},
         {{"sharing/listsharedfolders.json",
           R"({"ResponseType":1,"DirUpdateTime":1,"SharedFolders":[{"FolderID":"D5","Name":"s","ShareMode":1}]})"}}},
        {"sharedUsers",
         [](Contexts& c) {
             auto list = c.client.listSharedUsersWithContext(c.auth, nullptr);
             return list && list->identifier == "-2" && list->folders.size() == 1 &&
                    list->folders[0]->identifier == "SH7" && list->folders[0]->name == "bob";
         },
         {{"GET", "sharing/listsharedusers.json/SID", {}, nullptr}},
         {{"sharing/listsharedusers.json",
           R"({"ResponseType":1,"DirUpdateTime":1,"SharedUsers":[{"Name":"bob","SharingID":"SH7"}]})"}}},
        {"folderInfo",
         [](Contexts& c) {
             auto info = c.client.folderInfo("D1", c.auth, nullptr);
             return info && info->identifier == "D1";
         },
         {{"GET", "folder/info.json/SID/D1", {}, nullptr}},
         {{"folder/info.json",
           R"({"FolderID":"D1","Name":"docs","Link":"l","Description":"","Access":1})"}}},
        {"fileInfo",
         [](Contexts& c) {
             auto info = c.client.fileInfo("F1", c.auth, nullptr);
             return info && info->identifier == "F1" && info->size == 10;
         },
         {{"GET", "file/info.json/F1", {{"session_id", "SID"}}, nullptr}},
         {{"file/info.json",
           R"({"FileId":"F1","Name":"a.txt","Size":10,"Link":"l","DownloadLink":"d",)"
           R"("StreamingLink":"s","Access":0,"Description":""})"}}},
        {"file",
         [](Contexts& c) {
             auto item = c.client.file("F1", c.auth, nullptr);
             return item && item->name == "a.txt";
         },
         {{"GET", "file/info.json/", {{"file_id", "F1"}, {"session_id", "SID"}}, nullptr}},
         {{"file/info.json", kFileAnswer}}},
        {"thumbnail",
         [](Contexts& c) {
             auto thumb = c.client.fileThumbnail("F1", c.auth, nullptr);
             return thumb && thumb->identifier == "F1" && thumb->data.toString() == R"({"ok":1})";
         },
         {{"GET", "file/thumb.json/F1", {{"session_id", "SID"}}, nullptr}},
         {}},
        {"download",
         [](Contexts& c) {
             auto data = c.client.downloadData("F1", c.auth, nullptr);
             return data && data->toString() == R"({"ok":1})";
         },
         {{"GET", "download/file.json/F1", {{"session_id", "SID"}}, nullptr}},
         {}},
        {"createFolder",
         [](Contexts& c) {
             auto folder = c.client.createFolder("docs", "0", c.auth, nullptr);
             return folder && folder->identifier == "D1";
         },
         {{"POST",
           "folder.json/",
           {},
           {{"folder_name", "docs"}, {"folder_sub_parent", "0"}, {"session_id", "SID"}}}},
         {{"folder.json", kFolderAnswer}}},
        {"moveFolderRenamed",
         [](Contexts& c) {
             auto folder = c.client.moveFolder("D3", "new", "D4", c.auth, nullptr);
             return folder && folder->identifier == "D3";
         },
         {{"POST",
           "folder/move_copy.json/",
           {},
           {{"folder_id", "D3"},
            {"dst_folder_id", "D4"},
            {"move", "true"},
            {"new_folder_name", "new"},
            {"session_id", "SID"}}}},
         {{"folder/move_copy.json", kFolderAnswer}}},
        {"moveFolderKeepingName",
         [](Contexts& c) {
             return c.client.moveFolder("D3", std::nullopt, "D4", c.auth, nullptr) != nullptr;
         },
         {{"POST",
           "folder/move_copy.json/",
           {},
           {{"folder_id", "D3"},
            {"dst_folder_id", "D4"},
            {"move", "true"},
            {"session_id", "SID"}}}},
         {{"folder/move_copy.json", kFolderAnswer}}},
        {"deleteFolder",
         [](Contexts& c) { return c.client.deleteFolder("D1", c.auth, nullptr); },
         {{"POST", "folder/remove.json/", {}, {{"folder_id", "D1"}, {"session_id", "SID"}}}},
         {{"folder/remove.json", kStamp}}},
        {"trashFolderSessionInBody",
         [](Contexts& c) { return c.client.trashFolder("D1", c.auth, nullptr); },
         {{"POST", "folder/trash.json/", {}, {{"folder_id", "D1"}, {"session_id", "SID"}}}},
         {{"folder/trash.json", kStamp}}},
        {"emptyTrashSessionInPath",
         [](Contexts& c) { return c.client.emptyTrashWithContext(c.auth, nullptr); },
         {{"DELETE", "folder/trash.json/SID", {}, nullptr}},
         {{"folder/trash.json", kStamp}}},
        {"restoreFolder",
         [](Contexts& c) { return c.client.restoreFolder("D1", c.auth, nullptr); },
         {{"POST", "folder/restore.json/", {}, {{"folder_id", "D1"}, {"session_id", "SID"}}}},
         {{"folder/restore.json", kStamp}}},
        {"folderSettings",
         [](Contexts& c) {
             return c.client.setSettings(json{{"folder_access", 1}}, "D1", "D0", c.auth, nullptr);
         },
         {{"PUT",
           "folder/foldersettings.json/",
           {},
           {{"folder_access", 1},
            {"access_folder_id", "D0"},
            {"folder_id", "D1"},
            {"session_id", "SID"}}}},
         {{"folder/foldersettings.json", kResult}}},
        {"createFile",
         [](Contexts& c) {
             std::shared_ptr<BVUploadFileHandle> handle;
             auto item = c.client.createFile("a.txt", "D1", &handle, c.auth, true, 10, nullptr);
             return item && item->identifier == "F1" && handle && handle->tempLocation == "T1" &&
                    handle->identifier == "F1" && handle->size == 10;
         },
         {{"POST",
           "upload/create_file.json/",
           {},
           {{"folder_id", "D1"},
            {"file_name", "a.txt"},
            {"file_size", 10},
            {"session_id", "SID"}}}},
         {{"upload/create_file.json",
           R"({"FileId":"F1","Name":"a.txt","Size":10,"TempLocation":"T1","RequireHash":0,"RequireHashOnly":0})"}}},
        {"openFile",
         [](Contexts& c) {
             auto handle = c.client.openFile("F1", 20, c.auth, nullptr);
             return handle && handle->identifier == "F1" && handle->size == 20 &&
                    handle->tempLocation == "T2";
         },
         {{"POST",
           "upload/open_file_upload.json/",
           {},
           {{"file_id", "F1"}, {"file_size", 20}, {"session_id", "SID"}}}},
         {{"upload/open_file_upload.json",
           R"({"TempLocation":"T2","RequireHash":0,"RequireHashOnly":0})"}}},
        {"uploadChunk",
         [](Contexts& c) {
             auto result = c.client.uploadChunk(bv::Data::fromString("abc"), 5000000000ULL, "F1",
                                                "T2", c.auth, nullptr);
             return result && result->bytesWritten == 3;
         },
         {{"POST",
           "upload/upload_file_chunk2.json/SID/F1",
           {{"temp_location", "T2"}, {"chunk_offset", "5000000000"}, {"chunk_size", "3"}},
           nullptr,
           {{"temp_location", "T2"},
            {"chunk_offset", "5000000000"},
            {"chunk_size", "3"},
            {"file_data", "abc"}}}},
         {{"upload/upload_file_chunk2.json", R"({"TotalWritten":3})"}}},
        {"closeUploadAtTime",
         [](Contexts& c) {
             auto item =
                 c.client.closeFileUpload("F1", 3, "T2", false, 1600000000, c.auth, nullptr);
             return item && item->identifier == "F1";
         },
         {{"POST",
           "upload/close_file_upload.json/",
           {},
           {{"file_id", "F1"},
            {"file_size", 3},
            {"temp_location", "T2"},
            {"file_time", 1600000000},
            {"session_id", "SID"}}}},
         {{"upload/close_file_upload.json", kFileAnswer}}},
        {"closeUploadNow",
         [](Contexts& c) {
             return c.client.closeFileUpload("F1", 3, "T2", false, std::nullopt, c.auth, nullptr) !=
                    nullptr;
         },
         {{"POST",
           "upload/close_file_upload.json/",
           {},
           {{"file_id", "F1"},
            {"file_size", 3},
            {"temp_location", "T2"},
            {"file_time", 1700000000},
            {"session_id", "SID"}}}},
         {{"upload/close_file_upload.json", kFileAnswer}}},
        {"deleteFile",
         [](Contexts& c) { return c.client.deleteFile("F1", c.auth, nullptr); },
         {{"DELETE", "file.json/SID/F1", {}, nullptr}},
         {{"file.json", kStamp}}},
        {"trashFile",
         [](Contexts& c) { return c.client.trashFile("F1", c.auth, nullptr); },
         {{"POST", "file/trash.json/", {}, {{"file_id", "F1"}, {"session_id", "SID"}}}},
         {{"file/trash.json", kStamp}}},
        {"restoreFile",
         [](Contexts& c) { return c.client.restoreFile("F1", c.auth, nullptr); },
         {{"POST", "file/restore.json/", {}, {{"file_id", "F1"}, {"session_id", "SID"}}}},
         {{"file/restore.json", kFileAnswer}}},
        {"moveFileRenamed",
         [](Contexts& c) {
             auto item = c.client.moveFile("F3", "b.txt", "D4", c.auth, nullptr);
             return item && item->identifier == "F3";
         },
         {{"POST",
           "file/move_copy.json/",
           {},
           {{"src_file_id", "F3"},
            {"dst_folder_id", "D4"},
            {"move", "true"},
            {"overwrite_if_exists", "true"},
            {"new_file_name", "b.txt"},
            {"session_id", "SID"}}}},
         {{"file/move_copy.json", kFileAnswer}}},
        {"moveFileKeepingName",
         [](Contexts& c) {
             return c.client.moveFile("F3", std::nullopt, "D4", c.auth, nullptr) != nullptr;
         },
         {{"POST",
           "file/move_copy.json/",
           {},
           {{"src_file_id", "F3"},
            {"dst_folder_id", "D4"},
            {"move", "true"},
            {"overwrite_if_exists", "true"},
            {"session_id", "SID"}}}},
         {{"file/move_copy.json", kFileAnswer}}},
        {"fileSettings",
         [](Contexts& c) {
             return c.client.setSettings(json{{"file_access", "1"}, {"file_description", "d"}},
                                         "F1", c.auth, nullptr);
         },
         {{"PUT",
           "file/filesettings.json/",
           {},
           {{"file_access", "1"},
            {"file_description", "d"},
            {"file_id", "F1"},
            {"file_ispublic", "1"},
            {"session_id", "SID"}}}},
         {{"file/filesettings.json", R"({"FileId":"F1"})"}}},
        {"sharingUsers",
         [](Contexts& c) {
             auto users = c.client.listSharingUsersOf("D1", c.auth, nullptr);
             return users && users->identifier == "D1" && users->itemNamed("bob");
         },
         {{"GET", "sharing/listusers.json/SID/D1", {}, nullptr}},
         {{"sharing/listusers.json",
           R"({"ShareWithUser":[{"SharingID":"S9","Name":"bob","ShareMode":1}]})"}}},
        {"shareFolderSessionInBody",
         [](Contexts& c) { return c.client.shareFolder("D1", "bob", 1, c.auth, nullptr); },
         {{"POST",
           "sharing.json/",
           {},
           {{"folder_id", "D1"}, {"username", "bob"}, {"sharemode", 1}, {"session_id", "SID"}}}},
         {{"sharing.json", kStamp}}},
        {"deleteSharingSessionInPath",
         [](Contexts& c) { return c.client.deleteSharing("S9", c.auth, nullptr); },
         {{"DELETE", "sharing.json/SID/S9", {}, nullptr}},
         {{"sharing.json", kStamp}}},
        {"changeSharing",
         [](Contexts& c) { return c.client.changeSharing("S9", 0, c.auth, nullptr); },
         {{"PUT",
           "sharing/setmode.json/",
           {},
           {{"sharing_id", "S9"}, {"sharemode", 0}, {"session_id", "SID"}}}},
         {{"sharing/setmode.json", kResult}}},
        {"secureAuthData",
         [](Contexts& c) {
             auto item = c.client.secureFoldersAuth("D1", c.auth, nullptr);
             auto* data = item->valueForKey("Data");
             return data && *data == "abc";
         },
         {{"GET", "securefolders/auth.json/SID/D1", {}, nullptr}},
         {{"securefolders/auth.json", R"({"Data":"abc"})"}}},
        {"secureAuthHash",
         [](Contexts& c) { return c.client.secureFoldersAuth("D1", "h", c.auth, nullptr); },
         {{"POST",
           "securefolders/auth.json/",
           {},
           {{"folder_id", "D1"}, {"hash", "h"}, {"session_id", "SID"}}}},
         {{"securefolders/auth.json", kResult}}},
        {"secureInit",
         [](Contexts& c) { return c.client.secureFoldersInit("D1", "data", "h", c.auth, nullptr); },
         {{"POST",
           "securefolders/init.json/",
           {},
           {{"folder_id", "D1"}, {"data", "data"}, {"hash", "h"}, {"session_id", "SID"}}}},
         {{"securefolders/init.json", kResult}}},
        {"userLinksTwoSteps",
         [](Contexts& c) {
             auto links = c.client.userLinksWithContext(c.auth, nullptr);
             return links && links->billingLink == "L0" && links->accountLink == "L1";
         },
         {{"GET", "users/link.json/SID", {{"type", "0"}}, nullptr},
          {"GET", "users/link.json/SID", {{"type", "1"}}, nullptr}},
         {}},
        // A sharing context adds its identifier after the session.
        {"sharingIdAsParameter",
         [](Contexts& c) {
             return c.client.listFolder("D5", std::nullopt, c.sharing, nullptr) != nullptr;
         },
         {{"GET",
           "folder/list.json/SID/D5",
           {{"last_request_time", "0"}, {"encryption_supported", "1"}, {"sharing_id", "SH"}},
           nullptr}},
         {{"folder/list.json", kListingAnswer}}},
        {"sourceAndDestinationSharingIds",
         [](Contexts& c) {
             c.sharing->sourceSharingId = "SRC";
             c.sharing->destinationSharingId = "DST";
             return c.client.moveFile("F3", std::nullopt, "D4", c.sharing, nullptr) != nullptr;
         },
         {{"POST",
           "file/move_copy.json/",
           {},
           {{"src_file_id", "F3"},
            {"dst_folder_id", "D4"},
            {"move", "true"},
            {"overwrite_if_exists", "true"},
            {"session_id", "SID"},
            {"src_sharing_id", "SRC"},
            {"dst_sharing_id", "DST"}}}},
         {{"file/move_copy.json", kFileAnswer}}},
    };
}

void PrintTo(const OperationCase& tc, std::ostream* os) {
    *os << tc.name;
}

class OperationRequestTest : public ApiClientFixture,
                             public ::testing::WithParamInterface<OperationCase> {};

TEST_P(OperationRequestTest, SendsTheExactRequestAndReadsTheAnswer) {
    const OperationCase& tc = GetParam();
    for (const auto& [endpoint, body] : tc.answers)
        server_->answer(endpoint, body);
    if (tc.name == "userLinksTwoSteps") {
        server_->answer("users/link.json", {CannedAnswer{200, R"({"Link":"L0"})"},
                                            CannedAnswer{200, R"({"Link":"L1"})"}});
    }
    Contexts contexts{*client_, auth_.get(), sharing_.get(), session_};
    EXPECT_TRUE(tc.call(contexts));

    auto seen = server_->requests();
    ASSERT_EQ(seen.size(), tc.requests.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        const Expected& want = tc.requests[i];
        EXPECT_EQ(seen[i].method, want.method) << i;
        EXPECT_EQ(seen[i].path, want.path) << i;
        EXPECT_EQ(seen[i].query, want.query) << i;
        EXPECT_EQ(seen[i].body, want.body) << i;
        EXPECT_EQ(seen[i].parts, want.parts) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, OperationRequestTest,
                         ::testing::ValuesIn(operationCases()),
                         [](const auto& info) { return info.param.name; });

TEST_F(ApiClientFixture, ChunkDataTravelsAsAFilePartOnly) {
    server_->answer("upload/upload_file_chunk2.json", R"({"TotalWritten":3})");
    ASSERT_TRUE(
        client_->uploadChunk(bv::Data::fromString("abc"), 0, "F1", "T", auth_.get(), nullptr));
    auto seen = server_->requests().at(0);
    EXPECT_EQ(seen.partFilenames["file_data"], "file_data");
    EXPECT_EQ(seen.query.count("file_data"), 0u);
}

TEST_F(ApiClientFixture, PathArgumentsArePercentEncoded) {
    server_->answer("file/path.json", R"({"Path":"x"})");
    client_->pathForFile("a b/c", auth_.get(), nullptr);
    EXPECT_EQ(server_->requests().at(0).path, "file/path.json/SID/a%20b%2Fc");
}

TEST_F(ApiClientFixture, ContextFailuresSendNothing) {
    struct Case {
        std::string name;
        std::function<void(BVApiClientSharingContext&)> setUp;
        int64_t code;
    };
    std::vector<Case> cases = {
        {"no session", [](auto& c) { c.setSession(nullptr); }, -199},
        {"only source id",
         [](auto& c) {
             c.sharingId.clear();
             c.sourceSharingId = "SRC";
         },
         -198},
        {"only destination id",
         [](auto& c) {
             c.sharingId.clear();
             c.destinationSharingId = "DST";
         },
         -198},
    };
    for (const auto& tc : cases) {
        BVApiClientSharingContext context(session_);
        context.sharingId = "SH";
        tc.setUp(context);
        bv::Error error = bv::Error::make(5, "earlier");
        EXPECT_EQ(client_->listFolder("1", std::nullopt, &context, &error), nullptr) << tc.name;
        EXPECT_EQ(error.code(), tc.code) << tc.name;
        ASSERT_TRUE(error.underlyingError()) << tc.name;
        EXPECT_EQ(error.underlyingError()->code(), 5) << tc.name;
        EXPECT_FALSE(client_->fileThumbnail("F", &context, nullptr)) << tc.name;
        EXPECT_FALSE(client_->secureFoldersInit("D", "d", "h", &context, nullptr)) << tc.name;
    }
    EXPECT_TRUE(server_->requests().empty());
    EXPECT_EQ(activity_->started, 0);
}

TEST_F(ApiClientFixture, CreateFileWithoutNameFolderOrSizeIsRefusedWithoutError) {
    struct Case {
        std::optional<std::string> name, folder;
        std::optional<int64_t> size;
        std::string logged;
    };
    std::vector<Case> cases = {
        {std::nullopt, "D1", 3, "folder id D1, name nil, size 3"},
        {"a", std::nullopt, 3, "folder id nil, name a, size 3"},
        {"a", "D1", std::nullopt, "folder id D1, name a, size nil"},
    };
    for (const auto& tc : cases) {
        bv::Error error;
        std::shared_ptr<BVUploadFileHandle> handle;
        EXPECT_EQ(
            client_->createFile(tc.name, tc.folder, &handle, auth_.get(), false, tc.size, &error),
            nullptr);
        EXPECT_FALSE(error);
        EXPECT_FALSE(handle);
        EXPECT_NE(logText().find(tc.logged), std::string::npos) << tc.logged;
    }
    EXPECT_EQ(client_->createFile("a", "D1", auth_.get(), false, nullptr), nullptr);
    EXPECT_TRUE(server_->requests().empty());
}

}  // namespace
}  // namespace bvtest
