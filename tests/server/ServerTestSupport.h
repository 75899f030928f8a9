#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ApiTestClient.h"
#include "ReferenceServer.h"

namespace bvtest {

// One reference server per test suite; each test makes its own accounts so tests never see
// each other's files.
class ServerTest : public ::testing::Test {
  protected:
    struct User {
        std::string name, password, sid;
    };

    static void SetUpTestSuite() { server_ = std::make_unique<ReferenceServer>(); }
    static void TearDownTestSuite() { server_.reset(); }

    ReferenceServer& server() { return *server_; }
    ApiTestClient& api() {
        if (!api_)
            api_ = std::make_unique<ApiTestClient>(*server_);
        return *api_;
    }

    // A new account (seed fields from `extra`), signed in unless it uses two-factor.
    User newUser(nlohmann::json extra = nlohmann::json::object()) {
        static int counter = 0;
        User u{"user" + std::to_string(++counter) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name(),
               "pw-" + std::to_string(counter), ""};
        extra["username"] = u.name;
        extra["password"] = u.password;
        server_->upsertUser(extra);
        if (!extra.value("two_factor", false))
            u.sid = api().login(u.name, u.password);
        return u;
    }

    nlohmann::json list(const User& u, const std::string& folder, int64_t since = 0) {
        return api()
            .call("GET", "folder/list.json", {u.sid, folder},
                  {{"last_request_time", std::to_string(since)}, {"encryption_supported", "1"}})
            .json;
    }

    std::string createFolder(const User& u, const std::string& parent, const std::string& name,
                             const nlohmann::json& extra = nlohmann::json::object()) {
        nlohmann::json p = {
            {"session_id", u.sid}, {"folder_name", name}, {"folder_sub_parent", parent}};
        p.update(extra);
        ApiAnswer a = api().call("POST", "folder.json", {}, p);
        EXPECT_TRUE(a.json.contains("FolderID")) << a.body;
        return a.json.value("FolderID", "");
    }

    // Uploads `bytes` as a new file in `chunk`-sized pieces; answers the close answer.
    nlohmann::json uploadFile(const User& u, const std::string& folder, const std::string& name,
                              const std::string& bytes, size_t chunk = 1 << 20,
                              const nlohmann::json& extra = nlohmann::json::object()) {
        nlohmann::json p = {{"session_id", u.sid},
                            {"folder_id", folder},
                            {"file_name", name},
                            {"file_size", std::to_string(bytes.size())}};
        p.update(extra);
        ApiAnswer created = api().call("POST", "upload/create_file.json", {}, p);
        EXPECT_TRUE(created.json.contains("TempLocation")) << created.body;
        std::string id = created.json.value("FileId", "");
        std::string temp = created.json.value("TempLocation", "");
        return sendContent(u, id, temp, bytes, chunk, extra);
    }

    nlohmann::json sendContent(const User& u, const std::string& id, const std::string& temp,
                               const std::string& bytes, size_t chunk,
                               const nlohmann::json& extra = nlohmann::json::object(),
                               int64_t fileTime = 1500000000) {
        for (size_t off = 0; off < bytes.size(); off += chunk) {
            std::string piece = bytes.substr(off, chunk);
            ApiAnswer a =
                api().uploadChunk(u.sid, id, temp, static_cast<int64_t>(off), piece, extra);
            EXPECT_EQ(a.json.value("TotalWritten", int64_t{-1}), static_cast<int64_t>(piece.size()))
                << a.body;
        }
        nlohmann::json p = {{"session_id", u.sid},
                            {"file_id", id},
                            {"file_size", std::to_string(bytes.size())},
                            {"temp_location", temp},
                            {"file_time", std::to_string(fileTime)}};
        p.update(extra);
        ApiAnswer closed = api().call("POST", "upload/close_file_upload.json", {}, p);
        EXPECT_TRUE(closed.json.contains("FileId")) << closed.body;
        return closed.json;
    }

    // Drops the client's connection (after a restart of the server).
    void reconnect() { api_.reset(); }

    static std::unique_ptr<ReferenceServer> server_;

  private:
    std::unique_ptr<ApiTestClient> api_;
};

// One request of a table of cases.
struct CallCase {
    const char* what;
    std::string method, endpoint;
    std::vector<std::string> args;
    nlohmann::json params;
};

// Names of the entries of a listing part ("Folders" or "Files").
inline std::vector<std::string> names(const nlohmann::json& listing, const char* part) {
    std::vector<std::string> out;
    if (!listing.contains(part))
        return out;
    for (const auto& e : listing[part])
        out.push_back(e.value("Name", ""));
    return out;
}

}  // namespace bvtest
