#include "TransportFixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "BVApi/Networking/BVCurlHandle.h"
#include "BVApi/Networking/BVNetworkThread.h"
#include "app/Logging/BVLogging.h"
#include "platform/RunLoop.h"

namespace bvtest {

void TransportFixture::SetUp() {
    home_ = std::make_unique<ScopedHome>();
    bv::RunLoop::makeCurrentThreadMain();
    BVLogging::setupWithPrefix("BV");
    server_ = std::make_unique<LoopbackHttpsServer>();
    addRoutes();
    ASSERT_TRUE(server_->start());
    setenv(BVApiRequestConfiguration::kApiBaseURLEnvironment, server_->baseURL().c_str(), 1);
    setenv(BVApiRequestConfiguration::kCAFileEnvironment, server_->certificateFile().c_str(), 1);
}

void TransportFixture::TearDown() {
    releaseHangingRequests();
    // A kept connection would hold the server's stop for its keep-alive time.
    BVCurlHandle::closeThisThreadsConnections();
    // Transfers still running would otherwise outlive the server they talk to.
    BVNetworkThread::shared().shutdown();
    bv::RunLoop::main().runFor(0.01);
    server_.reset();
    unsetenv(BVApiRequestConfiguration::kApiBaseURLEnvironment);
    unsetenv(BVApiRequestConfiguration::kCAFileEnvironment);
    home_.reset();
}

std::shared_ptr<BVApiRequest> TransportFixture::makeRequest(const std::string& method,
                                                            const std::string& endpoint,
                                                            const nlohmann::json& parameters) {
    auto request = BVApiRequest::requestWithMethod(method, endpoint, parameters);
    request->setClock(clock_);
    return request;
}

void TransportFixture::count(const std::string& path) {
    std::lock_guard lock(seenLock_);
    ++hits_[path];
}

int TransportFixture::hits(const std::string& path) {
    std::lock_guard lock(seenLock_);
    return hits_[path];
}

SeenRequest TransportFixture::lastRequest() {
    std::lock_guard lock(seenLock_);
    return last_;
}

void TransportFixture::releaseHangingRequests() {
    std::lock_guard lock(hangLock_);
    released_ = true;
    hangReleased_.notify_all();
}

std::string TransportFixture::logText() const {
    auto* logging = BVLogging::sharedInstance();
    return logging ? bvtest::contentsOfFilesIn(logging->path()) : std::string();
}

void TransportFixture::addRoutes() {
    auto& server = server_->server();
    auto record = [this](const httplib::Request& req, std::string body,
                         std::vector<std::string> parts = {}) {
        std::lock_guard lock(seenLock_);
        ++hits_["echo"];
        last_ = {req.method, req.target, req.get_header_value("Content-Type"), std::move(body),
                 std::move(parts)};
    };
    auto echoWithBody = [record](const httplib::Request& req, httplib::Response& res,
                                 const httplib::ContentReader& reader) {
        std::string body;
        std::vector<std::string> parts;
        auto append = [&](const char* data, size_t length) {
            (parts.empty() ? body : parts.back()).append(data, length);
            return true;
        };
        if (req.is_multipart_form_data()) {
            reader(
                [&](const httplib::MultipartFormData& part) {
                    parts.push_back(part.name + "|" + part.filename + "|" + part.content_type +
                                    "|");
                    return true;
                },
                append);
        } else {
            reader(append);
        }
        record(req, std::move(body), std::move(parts));
        res.set_content(R"({"ok":true})", "application/json");
    };
    auto echo = [record](const httplib::Request& req, httplib::Response& res) {
        record(req, req.body);
        res.set_content(R"({"ok":true})", "application/json");
    };
    server.Get("/api/v1/echo.*", echo);
    server.Delete("/api/v1/echo.*", echo);
    server.Post("/api/v1/echo.*", echoWithBody);
    server.Put("/api/v1/echo.*", echoWithBody);

    auto flaky = [this](const httplib::Request&, httplib::Response& res) {
        count("flaky");
        int attempt = hits("flaky");
        if (attempt <= failuresBeforeAnswer_) {
            res.status = 500;
            return;
        }
        res.status = 202;
        res.set_content(nlohmann::json{{"attempt", attempt}}.dump(), "application/json");
    };
    server.Get("/api/v1/flaky.*", flaky);
    server.Post("/api/v1/flaky.*", flaky);
    server.Put("/api/v1/flaky.*", flaky);
    server.Delete("/api/v1/flaky.*", flaky);
    server.Get("/api/v1/empty.*", [this](const httplib::Request&, httplib::Response& res) {
        count("empty");
        res.status = 500;
    });
    server.Get("/api/v1/big.*", [this](const httplib::Request& req, httplib::Response& res) {
        count("big");
        size_t total = std::stoull(req.get_param_value("bytes"));
        res.set_content_provider(
            total, "application/octet-stream",
            [this, total](size_t offset, size_t length, httplib::DataSink& sink) {
                char piece[64 * 1024];
                size_t n = std::min({length, sizeof piece, total - offset});
                for (size_t i = 0; i < n; ++i)
                    piece[i] = static_cast<char>((offset + i) % 251);
                bigBytesSent_ = static_cast<int64_t>(offset + n);
                return sink.write(piece, n);
            });
    });
    auto hang = [this](const httplib::Request&, httplib::Response& res) {
        count("hang");
        std::unique_lock lock(hangLock_);
        hangReleased_.wait_for(lock, std::chrono::seconds(20), [this] { return released_; });
        res.set_content("{}", "application/json");
    };
    server.Get("/api/v1/hang.*", hang);
    server.Post("/api/v1/hang.*", hang);
    server.Get("/api/v1/drip.*", [this](const httplib::Request& req, httplib::Response& res) {
        size_t total = std::stoull(req.get_param_value("bytes"));
        res.set_content_provider(total, "application/octet-stream",
                                 [this](size_t, size_t, httplib::DataSink& sink) {
                                     std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                     clock_->advance(40);
                                     return sink.write("d", 1);
                                 });
    });
}

}  // namespace bvtest
