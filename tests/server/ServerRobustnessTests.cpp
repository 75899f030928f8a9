#include "ServerTestSupport.h"

namespace bvtest {
namespace {

class RobustnessTest : public ServerTest {};

TEST_F(RobustnessTest, BadRequestsGetServiceErrors) {
    User u = newUser();
    User other = newUser();
    std::string theirs = uploadFile(other, "0", "private.txt", "secret")["FileId"];
    std::string mine = uploadFile(u, "0", "mine.txt", "12345")["FileId"];
    const std::string s = u.sid;
    const std::vector<CallCase> calls = {
        {"login without password", "POST", "session/login.json", {}, {{"username", u.name}}},
        {"unknown session", "GET", "users/info.json", {"0123456789abcdef"}, {}},
        {"no session", "GET", "users/info.json", {}, {}},
        {"session in the wrong place",
         "POST",
         "folder.json",
         {s},
         {{"folder_name", "x"}, {"folder_sub_parent", "0"}}},
        {"missing folder id", "GET", "folder/list.json", {s}, {}},
        {"unknown folder", "GET", "folder/list.json", {s, "99999999"}, {}},
        {"folder id not a number", "GET", "folder/list.json", {s, "abc"}, {}},
        {"trash id as folder", "GET", "folder/list.json", {s, "-1"}, {}},
        {"bad stamp", "GET", "folder/list.json", {s, "0"}, {{"last_request_time", "soon"}}},
        {"name with slash",
         "POST",
         "folder.json",
         {},
         {{"session_id", s}, {"folder_name", "a/b"}, {"folder_sub_parent", "0"}}},
        {"name dot dot",
         "POST",
         "folder.json",
         {},
         {{"session_id", s}, {"folder_name", ".."}, {"folder_sub_parent", "0"}}},
        {"name dot",
         "POST",
         "folder.json",
         {},
         {{"session_id", s}, {"folder_name", "."}, {"folder_sub_parent", "0"}}},
        {"empty name",
         "POST",
         "folder.json",
         {},
         {{"session_id", s}, {"folder_name", ""}, {"folder_sub_parent", "0"}}},
        {"name with NUL",
         "POST",
         "folder.json",
         {},
         {{"session_id", s}, {"folder_name", std::string("a\0b", 3)}, {"folder_sub_parent", "0"}}},
        {"missing parent", "POST", "folder.json", {}, {{"session_id", s}, {"folder_name", "x"}}},
        {"file name with slash",
         "POST",
         "upload/create_file.json",
         {},
         {{"session_id", s}, {"folder_id", "0"}, {"file_name", "../x"}, {"file_size", "1"}}},
        {"size not a number",
         "POST",
         "upload/create_file.json",
         {},
         {{"session_id", s}, {"folder_id", "0"}, {"file_name", "x"}, {"file_size", "big"}}},
        {"negative size",
         "POST",
         "upload/create_file.json",
         {},
         {{"session_id", s}, {"folder_id", "0"}, {"file_name", "x"}, {"file_size", "-5"}}},
        {"rename to dot dot",
         "POST",
         "file/move_copy.json",
         {},
         {{"session_id", s},
          {"src_file_id", mine},
          {"dst_folder_id", "0"},
          {"move", "true"},
          {"new_file_name", ".."}}},
        {"unknown file", "DELETE", "file.json", {s, "42424242"}, {}},
        {"another user's file",
         "GET",
         "download/file.json",
         {theirs},
         {{"session_id", s}, {"offset", "0"}}},
        {"delete another user's file", "DELETE", "file.json", {s, theirs}, {}},
        {"offset past the end",
         "GET",
         "download/file.json",
         {mine},
         {{"session_id", s}, {"offset", "6"}}},
        {"close unknown upload",
         "POST",
         "upload/close_file_upload.json",
         {},
         {{"session_id", s}, {"file_id", mine}, {"file_size", "1"}, {"temp_location", "nope"}}},
        {"unknown sharing",
         "PUT",
         "sharing/setmode.json",
         {},
         {{"session_id", s}, {"sharing_id", "777777"}, {"sharemode", "1"}}},
        {"unknown sharing context",
         "GET",
         "folder/list.json",
         {s, "0"},
         {{"sharing_id", "777777"}}},
        {"share with nobody",
         "POST",
         "sharing.json",
         {},
         {{"session_id", s}, {"folder_id", "0"}, {"username", "nobody"}, {"sharemode", "1"}}},
        {"secure auth of a plain folder",
         "POST",
         "securefolders/auth.json",
         {},
         {{"session_id", s}, {"folder_id", "0"}, {"hash", "x"}}},
        {"trash the root",
         "POST",
         "folder/trash.json",
         {},
         {{"session_id", s}, {"folder_id", "0"}}},
        {"unknown endpoint", "GET", "nothing/here.json", {s}, {}},
        {"wrong method", "PUT", "folder/list.json", {s, "0"}, {}},
    };
    for (const auto& c : calls) {
        ApiAnswer a = api().call(c.method, c.endpoint, c.args, c.params);
        EXPECT_TRUE(a.isServiceError()) << c.what << ": " << a.status << " " << a.body;
    }

    const std::string multipart =
        std::string("multipart/form-data; boundary=") + ApiTestClient::kBoundary;
    ApiAnswer created = api().call(
        "POST", "upload/create_file.json", {},
        {{"session_id", s}, {"folder_id", "0"}, {"file_name", "up.bin"}, {"file_size", "3"}});
    std::string id = created.json["FileId"], temp = created.json["TempLocation"];
    std::string chunkPath = "/api/v1/upload/upload_file_chunk2.json/" + s + "/" + id +
                            "?temp_location=" + temp + "&chunk_offset=0&chunk_size=3";
    struct RawCase {
        const char* what;
        std::string path, body, type;
    };
    const std::vector<RawCase> raws = {
        {"malformed JSON", "/api/v1/folder.json/", "{\"session_id\":", "application/json"},
        {"JSON array body", "/api/v1/folder.json/", "[1,2]", "application/json"},
        {"chunk without multipart", chunkPath, "abc", "application/octet-stream"},
        {"multipart without boundary", chunkPath, "abc", "multipart/form-data"},
        {"garbled multipart", chunkPath,
         "\r\n--" + std::string(ApiTestClient::kBoundary) + "\r\nnonsense", multipart},
        {"multipart without file_data", chunkPath,
         "\r\n--" + std::string(ApiTestClient::kBoundary) +
             "\r\nContent-Disposition: form-data; name=\"chunk_size\"\r\n\r\n3\r\n--" +
             ApiTestClient::kBoundary + "--\r\n",
         multipart},
        {"chunk size mismatch", chunkPath,
         ApiTestClient::multipartBody({{"chunk_size", "3"}}, "abcd"), multipart},
        {"chunk to unknown upload",
         "/api/v1/upload/upload_file_chunk2.json/" + s + "/" + id +
             "?temp_location=nope&chunk_offset=0&chunk_size=3",
         ApiTestClient::multipartBody({}, "abc"), multipart},
    };
    for (const auto& r : raws) {
        ApiAnswer a = api().rawPost(r.path, r.body, r.type);
        EXPECT_TRUE(a.isServiceError()) << r.what << ": " << a.status << " " << a.body;
    }
    // None of the refused chunks counted: the upload still expects offset 0.
    ApiAnswer chunk = api().uploadChunk(s, id, temp, 0, "abc");
    EXPECT_EQ(chunk.json.value("TotalWritten", 0), 3) << chunk.body;
    EXPECT_FALSE(api().login(u.name, u.password).empty());
}

TEST_F(RobustnessTest, HostileParameterValuesAreRefusedAndChangeNothing) {
    User u = newUser();
    // A password nested 100,000 levels deep once took the service down.
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    ApiAnswer login = api().rawPost("/api/v1/session/login.json/",
                                    R"({"username":")" + u.name + R"(","passwd":)" + deep + "}",
                                    "application/json");
    EXPECT_EQ(login.code(), 400) << login.status << " " << login.body.substr(0, 200);

    const std::string s = u.sid;
    const std::vector<CallCase> calls = {
        {"object as name",
         "POST",
         "folder.json",
         {},
         {{"session_id", s}, {"folder_name", {{"a", 1}}}, {"folder_sub_parent", "0"}}},
        {"array as name",
         "POST",
         "folder.json",
         {},
         {{"session_id", s}, {"folder_name", {1, 2}}, {"folder_sub_parent", "0"}}},
        {"object as password",
         "POST",
         "session/login.json",
         {},
         {{"username", u.name}, {"passwd", {{"p", u.password}}}}},
        {"object as session",
         "POST",
         "folder.json",
         {},
         {{"session_id", {{"s", s}}}, {"folder_name", "x"}, {"folder_sub_parent", "0"}}},
        {"size nan",
         "POST",
         "upload/create_file.json",
         {},
         {{"session_id", s}, {"folder_id", "0"}, {"file_name", "x"}, {"file_size", "nan"}}},
        {"size inf",
         "POST",
         "upload/create_file.json",
         {},
         {{"session_id", s}, {"folder_id", "0"}, {"file_name", "x"}, {"file_size", "-inf"}}},
        {"stamp nan", "GET", "folder/list.json", {s, "0"}, {{"last_request_time", "nan"}}},
        {"stamp 1e999", "GET", "folder/list.json", {s, "0"}, {{"last_request_time", "1e999"}}},
        {"mode object",
         "POST",
         "sharing.json",
         {},
         {{"session_id", s}, {"folder_id", "0"}, {"username", "x"}, {"sharemode", {{"m", 1}}}}},
    };
    for (const auto& c : calls) {
        ApiAnswer a = api().call(c.method, c.endpoint, c.args, c.params);
        EXPECT_EQ(a.code(), 400) << c.what << ": " << a.status << " " << a.body;
    }
    const std::vector<std::pair<const char*, std::string>> bodies = {
        {"number past the range",
         R"({"session_id":")" + s + R"(","folder_id":"0","file_name":"y","file_size":1e999})"},
        {"nested 17 deep", R"({"session_id":")" + s + R"(","folder_id":"0","file_name":"z",)" +
                               R"("file_size":"1","extra":)" + std::string(16, '[') +
                               std::string(16, ']') + "}"},
    };
    for (const auto& [what, body] : bodies) {
        ApiAnswer a = api().rawPost("/api/v1/upload/create_file.json/", body, "application/json");
        EXPECT_EQ(a.code(), 400) << what << ": " << a.status << " " << a.body;
    }
    EXPECT_EQ(names(list(u, "0"), "Folders"), std::vector<std::string>{"Secure Files"});
    EXPECT_TRUE(names(list(u, "0"), "Files").empty());
    EXPECT_FALSE(api().login(u.name, u.password).empty());
}

TEST_F(RobustnessTest, InjectedFaults) {
    User u = newUser();
    std::string id = uploadFile(u, "0", "f.bin", std::string(300000, 'z'))["FileId"];
    auto listRoot = [&] {
        return api().call("GET", "folder/list.json", {u.sid, "0"}, {{"last_request_time", "0"}});
    };

    server().addFault({{"endpoint", "folder/list.json"}, {"kind", "busy"}, {"count", 2}});
    EXPECT_EQ(listRoot().message(), "Folder is busy");
    EXPECT_EQ(listRoot().message(), "Folder is busy");
    EXPECT_EQ(listRoot().json["ResponseType"], 1);

    server().addFault({{"endpoint", "*"},
                       {"kind", "error"},
                       {"message", "File with such a name already exists."}});
    EXPECT_EQ(listRoot().message(), "File with such a name already exists.");

    server().addFault({{"endpoint", "folder/list.json"}, {"kind", "http500"}});
    ApiAnswer html = listRoot();
    EXPECT_EQ(html.status, 500);
    EXPECT_NE(html.body.find("<html>"), std::string::npos);

    server().addFault({{"endpoint", "folder/list.json"}, {"kind", "nonjson"}});
    ApiAnswer text = listRoot();
    EXPECT_FALSE(text.body.empty());
    EXPECT_TRUE(text.json.is_discarded());

    server().addFault({{"endpoint", "folder/list.json"}, {"kind", "delay"}, {"delay_ms", 200}});
    EXPECT_EQ(listRoot().json["ResponseType"], 1);

    server().addFault({{"endpoint", "download/file.json"}, {"kind", "drop"}, {"bytes", 1000}});
    ApiAnswer cut = api().download(u.sid, id);
    EXPECT_EQ(cut.body.size(), 1000u);
    EXPECT_EQ(api().download(u.sid, id).body.size(), 300000u);

    server().addFault({{"endpoint", "folder/list.json"}, {"kind", "busy"}, {"count", 5}});
    server().clearFaults();
    EXPECT_EQ(listRoot().json["ResponseType"], 1);
    EXPECT_THROW(server().addFault({{"kind", "explode"}}), std::runtime_error);
}

}  // namespace
}  // namespace bvtest
