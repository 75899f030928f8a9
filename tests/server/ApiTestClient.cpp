#include "ApiTestClient.h"

#include <gtest/gtest.h>

namespace bvtest {

bool ApiAnswer::isServiceError() const {
    return json.is_object() && json.size() == 1 && json.contains("error") &&
           json["error"].is_object() && json["error"].contains("code") &&
           json["error"].contains("message");
}

std::string ApiAnswer::message() const {
    return isServiceError() ? json["error"]["message"].get<std::string>() : std::string();
}

int ApiAnswer::code() const {
    return isServiceError() ? json["error"]["code"].get<int>() : 0;
}

ApiTestClient::ApiTestClient(const ReferenceServer& server)
    : basePath_("/api/v1/"), client_(server.host(), server.port()) {
    client_.set_ca_cert_path(server.caFile().c_str());
    client_.enable_server_certificate_verification(true);
    client_.set_url_encode(false);
    client_.set_keep_alive(true);
    client_.set_read_timeout(120, 0);
    client_.set_write_timeout(120, 0);
}

std::string ApiTestClient::encode(const std::string& text) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

namespace {
std::string textOf(const nlohmann::json& v) {
    return v.is_string() ? v.get<std::string>() : v.dump();
}

std::string query(const nlohmann::json& params) {
    std::string q = "?";
    bool first = true;
    for (const auto& [key, value] : params.items()) {
        if (key == "file_data")
            continue;
        if (!first)
            q += "&";
        first = false;
        q += ApiTestClient::encode(key) + "=" + ApiTestClient::encode(textOf(value));
    }
    return q;
}
}  // namespace

std::string ApiTestClient::multipartBody(const nlohmann::json& fields,
                                         const std::string& fileData) {
    std::string body;
    std::string b = kBoundary;
    for (const auto& [key, value] : fields.items()) {
        body += "\r\n--" + b + "\r\n";
        body += "Content-Disposition: form-data; name=\"" + key + "\"\r\n\r\n" + textOf(value);
    }
    body += "\r\n--" + b + "\r\n";
    body += "Content-Disposition: form-data; name=\"file_data\"; filename=\"file_data\"\r\n";
    body += "Content-Type: application/octet-stream\r\n\r\n";
    body += fileData;
    body += "\r\n--" + b + "--\r\n";
    return body;
}

ApiAnswer ApiTestClient::answer(const httplib::Result& res) {
    ApiAnswer a;
    if (!res)
        return a;
    a.status = res->status;
    a.body = res->body;
    a.json = nlohmann::json::parse(a.body, nullptr, false);
    return a;
}

ApiAnswer ApiTestClient::call(const std::string& method, const std::string& endpoint,
                              const std::vector<std::string>& args, const nlohmann::json& params) {
    std::string path = basePath_ + endpoint + "/";
    for (size_t i = 0; i < args.size(); ++i)
        path += (i ? "/" : "") + encode(args[i]);
    if (method == "GET")
        return answer(client_.Get(path + query(params)));
    if (method == "DELETE")
        return answer(client_.Delete(path + query(params)));
    std::string body = params.empty() ? "" : params.dump();
    std::string type = params.empty() ? "" : "application/json";
    if (method == "PUT")
        return answer(client_.Put(path, body, type));
    return answer(client_.Post(path, body, type));
}

ApiAnswer ApiTestClient::uploadChunk(const std::string& sessionId, const std::string& fileId,
                                     const std::string& tempLocation, int64_t offset,
                                     const std::string& bytes, const nlohmann::json& extra) {
    nlohmann::json fields = {{"temp_location", tempLocation},
                             {"chunk_offset", std::to_string(offset)},
                             {"chunk_size", std::to_string(bytes.size())}};
    fields.update(extra);
    std::string path = basePath_ + "upload/upload_file_chunk2.json/" + encode(sessionId) + "/" +
                       encode(fileId) + query(fields);
    return rawPost(path, multipartBody(fields, bytes),
                   std::string("multipart/form-data; boundary=") + kBoundary);
}

ApiAnswer ApiTestClient::rawPost(const std::string& pathAndQuery, const std::string& body,
                                 const std::string& contentType) {
    return answer(client_.Post(pathAndQuery, body, contentType));
}

ApiAnswer ApiTestClient::download(const std::string& sessionId, const std::string& fileId,
                                  int64_t offset) {
    std::string path = basePath_ + "download/file.json/" + encode(fileId) +
                       query({{"session_id", sessionId}, {"offset", std::to_string(offset)}});
    ApiAnswer a;
    auto res = client_.Get(path, [&](const char* data, size_t len) {
        a.body.append(data, len);
        return true;
    });
    if (!res)
        return a;
    a.status = res->status;
    if (a.body.size() < 4096)
        a.json = nlohmann::json::parse(a.body, nullptr, false);
    return a;
}

std::string ApiTestClient::login(const std::string& user, const std::string& password) {
    ApiAnswer a = call("POST", "session/login.json", {},
                       {{"username", user}, {"passwd", password}, {"version", "1.0"}});
    EXPECT_TRUE(a.json.contains("SessionID")) << a.body;
    return a.json.value("SessionID", "");
}

}  // namespace bvtest
