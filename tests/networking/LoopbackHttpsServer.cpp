#include "LoopbackHttpsServer.h"

#include <chrono>
#include <stdexcept>

#include "SelfSignedCertificate.h"

namespace bvtest {

LoopbackHttpsServer::LoopbackHttpsServer() {
    std::string error;
    auto files = bvserver::SelfSignedCertificate::generate(folder_.path(), "loopback", &error);
    if (!files)
        throw std::runtime_error("no certificate: " + error);
    certificate_ = files->certificate.string();
    server_ =
        std::make_unique<httplib::SSLServer>(files->certificate.c_str(), files->privateKey.c_str());
}

LoopbackHttpsServer::~LoopbackHttpsServer() {
    server_->stop();
    if (thread_.joinable())
        thread_.join();
}

bool LoopbackHttpsServer::start() {
    if (!server_->is_valid())
        return false;
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() is a no-op until the listen loop runs; a server stopped before that would
    // leave the loop blocked in accept() and the destructor in join().
    for (int i = 0; i < 5000 && !server_->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return server_->is_running();
}

std::string LoopbackHttpsServer::baseURL() const {
    return "https://127.0.0.1:" + std::to_string(port_) + "/api/v1/";
}

}  // namespace bvtest
