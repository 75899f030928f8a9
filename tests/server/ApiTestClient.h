#pragma once

#include <httplib.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ReferenceServer.h"

namespace bvtest {

struct ApiAnswer {
    int status = 0;  // 0: the exchange failed
    std::string body;
    nlohmann::json json;  // discarded when the body is not JSON

    // A service error: an object with exactly one key, "error", holding code and message.
    bool isServiceError() const;
    std::string message() const;
    int code() const;
};

// Sends requests to the reference service shaped the way the Brimvault client shapes them:
// path arguments appended as one more path component (an empty list leaves a trailing "/"),
// a query string that always begins with "?" for GET and DELETE, a JSON body for POST and
// PUT, and the chunk upload's query string plus multipart body with the fixed boundary.
class ApiTestClient {
  public:
    explicit ApiTestClient(const ReferenceServer& server);

    ApiAnswer call(const std::string& method, const std::string& endpoint,
                   const std::vector<std::string>& args = {},
                   const nlohmann::json& params = nlohmann::json::object());
    ApiAnswer uploadChunk(const std::string& sessionId, const std::string& fileId,
                          const std::string& tempLocation, int64_t offset, const std::string& bytes,
                          const nlohmann::json& extra = nlohmann::json::object());
    ApiAnswer rawPost(const std::string& pathAndQuery, const std::string& body,
                      const std::string& contentType);
    ApiAnswer download(const std::string& sessionId, const std::string& fileId, int64_t offset = 0);

    // Signs in (without two-factor) and answers the session id; fails the test otherwise.
    std::string login(const std::string& user, const std::string& password);

    static std::string encode(const std::string& text);
    static std::string multipartBody(const nlohmann::json& fields, const std::string& fileData);
    static constexpr const char* kBoundary = "------WebKitFormBoundaryf8AVk0gFLWQNUVjP";

  private:
    ApiAnswer answer(const httplib::Result& res);

    std::string basePath_;
    httplib::SSLClient client_;
};

}  // namespace bvtest
