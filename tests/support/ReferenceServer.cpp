#include "ReferenceServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <openssl/rand.h>

namespace bvtest {

namespace {
constexpr int kStartTimeoutMs = 60000;

std::string randomToken() {
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof raw) != 1)
        throw std::runtime_error("no random bytes");
    std::string out;
    for (unsigned char c : raw) {
        static const char* kHex = "0123456789abcdef";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

// Reads lines from `fd` until `done` is satisfied or the time-out passes.
std::vector<std::string> readLines(int fd, const std::function<bool(const std::string&)>& done) {
    std::vector<std::string> lines;
    std::string pending;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (::poll(&p, 1, std::max(left, 1)) <= 0)
            continue;
        char buf[1024];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;  // the server ended
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            lines.push_back(pending.substr(0, nl));
            pending.erase(0, nl + 1);
            if (done(lines.back()))
                return lines;
        }
    }
    throw std::runtime_error("brimvault-server did not report its address");
}
}  // namespace

ReferenceServer::ReferenceServer() : ReferenceServer(Options{}) {}

ReferenceServer::ReferenceServer(Options options)
    : options_(std::move(options)), dir_("bvserver"), adminToken_(randomToken()) {
    // A client writing to a killed server must see an error, not die of SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    nlohmann::json seed = options_.seed.is_null() ? nlohmann::json::array() : options_.seed;
    std::ofstream(dir_ / "seed.json") << seed.dump();
    start(0);
}

ReferenceServer::~ReferenceServer() {
    kill();
}

void ReferenceServer::start(int port) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> argv = {BV_SERVER_BINARY,
                                     "--data",
                                     dataDir().string(),
                                     "--listen",
                                     "127.0.0.1:" + std::to_string(port),
                                     "--generate-cert",
                                     "--admin-token",
                                     adminToken_,
                                     "--seed",
                                     (dir_ / "seed.json").string()};
    if (options_.demo)
        argv.push_back("--demo");
    argv.insert(argv.end(), options_.arguments.begin(), options_.arguments.end());
    std::string errFile = (dir_ / "server.stderr").string();
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0)
            ::dup2(err, STDERR_FILENO);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    pid_ = pid;
    ::close(out[1]);
    bool wantDemo = options_.demo;
    std::vector<std::string> lines;
    try {
        lines = readLines(out[0], [&](const std::string& line) {
            return wantDemo ? line.rfind("password: ", 0) == 0 : line.rfind("ca: ", 0) == 0;
        });
    } catch (...) {
        ::close(out[0]);
        kill();
        throw;
    }
    ::close(out[0]);
    for (const auto& line : lines) {
        if (line.rfind("api: ", 0) == 0)
            baseUrl_ = line.substr(5);
        if (line.rfind("ca: ", 0) == 0)
            caFile_ = line.substr(4);
        if (line.rfind("user: ", 0) == 0)
            demoUser_ = line.substr(6);
        if (line.rfind("password: ", 0) == 0)
            demoPassword_ = line.substr(10);
    }
    std::smatch m;
    if (!std::regex_match(baseUrl_, m, std::regex(R"(https://([^/:]+):(\d+)/api/v1/)"))) {
        kill();
        throw std::runtime_error("unexpected api line: " + baseUrl_);
    }
    host_ = m[1];
    port_ = std::stoi(m[2]);
}

void ReferenceServer::waitForExit() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void ReferenceServer::kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    waitForExit();
}

void ReferenceServer::restart() {
    kill();
    int port = port_;
    // The port was just released; binding it again can take a moment.
    for (int attempt = 0;; ++attempt) {
        try {
            start(port);
            return;
        } catch (const std::runtime_error&) {
            if (attempt >= 20)
                throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    }
}

nlohmann::json ReferenceServer::admin(const std::string& method, const std::string& path,
                                      const std::string& body) const {
    httplib::SSLClient client(host_, port_);
    client.set_ca_cert_path(caFile_.c_str());
    client.enable_server_certificate_verification(true);
    httplib::Headers headers = {{"X-Admin-Token", adminToken_}};
    httplib::Result res = method == "GET" ? client.Get(path, headers)
                          : method == "DELETE"
                              ? client.Delete(path, headers)
                              : client.Post(path, headers, body, "application/json");
    if (!res)
        throw std::runtime_error("admin request failed: " + httplib::to_string(res.error()));
    auto json = nlohmann::json::parse(res->body, nullptr, false);
    if (res->status != 200 || json.is_discarded()) {
        throw std::runtime_error("admin request refused: " + res->body);
    }
    return json;
}

std::optional<std::string> ReferenceServer::lastTwoFactorCode(const std::string& username) const {
    try {
        return admin("GET",
                     "/admin/2fa?username=" + httplib::detail::encode_query_param(username))["code"]
            .get<std::string>();
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

std::optional<std::string> ReferenceServer::lastTwoFactorCodeFromLog(
    const std::string& username) const {
    std::ifstream log(dataDir() / "server.log");
    std::string line, marker = "2fa code for " + username + ": ";
    std::optional<std::string> code;
    while (std::getline(log, line)) {
        auto at = line.find(marker);
        if (at != std::string::npos)
            code = line.substr(at + marker.size());
    }
    return code;
}

void ReferenceServer::addFault(const nlohmann::json& rule) const {
    admin("POST", "/admin/faults", rule.dump());
}

void ReferenceServer::clearFaults() const {
    admin("DELETE", "/admin/faults");
}

std::string ReferenceServer::upsertUser(const nlohmann::json& record) const {
    return admin("POST", "/admin/users", record.dump())["UserID"].get<std::string>();
}

void ReferenceServer::advanceClock(int64_t seconds) const {
    admin("POST", "/admin/clock", nlohmann::json{{"advance", seconds}}.dump());
}

nlohmann::json ReferenceServer::statistics(const std::string& username) const {
    return admin("GET", "/admin/stats?username=" +
                            httplib::detail::encode_query_param(username))["statistics"];
}

}  // namespace bvtest
