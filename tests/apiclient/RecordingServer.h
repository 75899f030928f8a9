#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LoopbackHttpsServer.h"

namespace bvtest {

// What the server saw of one request.
struct RecordedRequest {
    std::string method;
    std::string endpoint;  // e.g. "folder/list.json"
    std::string path;      // below the API root, as sent (e.g. "folder/list.json/SID/42")
    std::map<std::string, std::string> query;  // decoded
    nlohmann::json body;                       // parsed JSON body, null when none
    std::map<std::string, std::string> parts;  // multipart name -> content
    std::map<std::string, std::string> partFilenames;
};

struct CannedAnswer {
    int status = 200;
    std::string body = R"({"ok":1})";
    std::string contentType = "application/json";
};

// A loopback HTTPS server below "/api/v1/" that records every request and answers from
// scripted answers per endpoint: each answer is used once, the last one repeats.
class RecordingServer {
  public:
    RecordingServer();
    // Returns once the server accepts connections, so stopping it right away cannot race
    // with the start of its listening loop.
    bool start();
    std::string baseURL() const { return server_.baseURL(); }
    std::string certificateFile() const { return server_.certificateFile(); }

    void answer(const std::string& endpoint, std::vector<CannedAnswer> answers);
    void answer(const std::string& endpoint, const std::string& jsonBody, int status = 200);
    // Called for every request before it is answered, on the server's thread.
    void setObserver(std::function<void(const RecordedRequest&)> observer);

    std::vector<RecordedRequest> requests() const;
    size_t count(const std::string& endpoint) const;
    void clear();

  private:
    void handle(const httplib::Request& req, httplib::Response& res);

    LoopbackHttpsServer server_;
    mutable std::mutex lock_;  // guards everything below
    std::map<std::string, std::vector<CannedAnswer>> answers_;
    std::vector<RecordedRequest> requests_;
    std::function<void(const RecordedRequest&)> observer_;
};

}  // namespace bvtest
