#include "RecordingServer.h"

#include <chrono>
#include <thread>

namespace bvtest {

namespace {
constexpr const char* kApiRoot = "/api/v1/";

std::string endpointOf(const std::string& path) {
    size_t end = path.find(".json");
    return end == std::string::npos ? path : path.substr(0, end + 5);
}
}  // namespace

RecordingServer::RecordingServer() {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        handle(req, res);
    };
    auto& server = server_.server();
    server.Get("/api/v1/.*", handler);
    server.Post("/api/v1/.*", handler);
    server.Put("/api/v1/.*", handler);
    server.Delete("/api/v1/.*", handler);
}

bool RecordingServer::start() {
    if (!server_.start())
        return false;
    for (int i = 0; i < 500 && !server_.server().is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return server_.server().is_running();
}

void RecordingServer::answer(const std::string& endpoint, std::vector<CannedAnswer> answers) {
    std::lock_guard lock(lock_);
    answers_[endpoint] = std::move(answers);
}

void RecordingServer::answer(const std::string& endpoint, const std::string& jsonBody, int status) {
    answer(endpoint, std::vector<CannedAnswer>{{status, jsonBody, "application/json"}});
}

void RecordingServer::setObserver(std::function<void(const RecordedRequest&)> observer) {
    std::lock_guard lock(lock_);
    observer_ = std::move(observer);
}

std::vector<RecordedRequest> RecordingServer::requests() const {
    std::lock_guard lock(lock_);
    return requests_;
}

size_t RecordingServer::count(const std::string& endpoint) const {
    std::lock_guard lock(lock_);
    size_t n = 0;
    for (const auto& r : requests_)
        n += r.endpoint == endpoint;
    return n;
}

void RecordingServer::clear() {
    std::lock_guard lock(lock_);
    requests_.clear();
}

void RecordingServer::handle(const httplib::Request& req, httplib::Response& res) {
    RecordedRequest seen;
    seen.method = req.method;
    std::string target = req.target.substr(0, req.target.find('?'));
    seen.path = target.substr(std::char_traits<char>::length(kApiRoot));
    seen.endpoint = endpointOf(seen.path);
    for (const auto& [key, value] : req.params)
        seen.query[key] = value;
    if (!req.body.empty())
        seen.body = nlohmann::json::parse(req.body, nullptr, false);
    for (const auto& [name, file] : req.files) {
        seen.parts[name] = file.content;
        seen.partFilenames[name] = file.filename;
    }
    std::function<void(const RecordedRequest&)> observer;
    CannedAnswer answer;
    {
        std::lock_guard lock(lock_);
        requests_.push_back(seen);
        observer = observer_;
        auto it = answers_.find(seen.endpoint);
        if (it != answers_.end() && !it->second.empty()) {
            answer = it->second.front();
            if (it->second.size() > 1)
                it->second.erase(it->second.begin());
        }
    }
    if (observer)
        observer(seen);
    res.status = answer.status;
    res.set_content(answer.body, answer.contentType);
}

}  // namespace bvtest
