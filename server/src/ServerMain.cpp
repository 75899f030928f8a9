// brimvault-server: the reference implementation of the Brimvault service API.
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "AdminApi.h"
#include "Answers.h"
#include "ApiRouter.h"
#include "DemoAccount.h"
#include "SelfSignedCertificate.h"
#include "ServerLog.h"
#include "Services.h"

namespace fs = std::filesystem;
using namespace bvserver;

namespace {

struct Options {
    fs::path data;
    std::string listen = "127.0.0.1:0";
    std::string cert, key;
    bool generateCert = false;
    std::string seed;
    bool demo = false;
    std::string adminToken;
    bool insecureHttp = false;
    ServiceLimits limits;
};

void loadSeed(Services& sv, const std::string& file) {
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error("cannot read seed file " + file);
    std::stringstream ss;
    ss << in.rdbuf();
    auto seed = nlohmann::json::parse(ss.str());
    const nlohmann::json& users = seed.is_array() ? seed : seed.at("users");
    for (const auto& user : users)
        sv.accounts.upsertUser(user);
}

std::pair<std::string, std::string> certificateFiles(const Options& o) {
    if (!o.cert.empty() || !o.key.empty()) {
        if (o.cert.empty() || o.key.empty())
            throw std::runtime_error("--cert needs --key");
        return {o.cert, o.key};
    }
    fs::path crt = o.data / "server.crt", key = o.data / "server.key";
    if (fs::exists(crt) && fs::exists(key))
        return {crt.string(), key.string()};
    std::string error;
    auto made = SelfSignedCertificate::generate(o.data, "server", &error);
    if (!made)
        throw std::runtime_error("cannot make a certificate: " + error);
    return {made->certificate.string(), made->privateKey.string()};
}

void configure(httplib::Server& server) {
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    server.set_read_timeout(60, 0);
    server.set_write_timeout(60, 0);
    // TLS records rarely fill whole segments; without this Nagle's algorithm stalls streams.
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(1000);
    // Chunks are 20 MiB; JSON bodies are small. Anything far larger is refused unread.
    server.set_payload_max_length(size_t{256} << 20);
}

// Stops the server on SIGINT/SIGTERM; the signals are blocked in every thread and taken here.
std::thread signalWatcher(httplib::Server& server, sigset_t signals) {
    return std::thread([&server, signals] {
        int sig = 0;
        sigwait(&signals, &sig);
        ServerLog::write("stopping on signal " + std::to_string(sig));
        server.stop();
    });
}

int run(const Options& o) {
    fs::create_directories(o.data);
    fs::permissions(o.data, fs::perms::owner_all, fs::perm_options::replace);
    ServerLog::open(o.data / "server.log");
    Services sv(o.data, o.limits);
    sv.content.cleanUp(
        [&sv](int64_t id, int64_t rev) { return sv.tree.isCurrentContent(id, rev); });
    if (!o.seed.empty())
        loadSeed(sv, o.seed);
    std::optional<DemoCredentials> demo;
    if (o.demo)
        demo = DemoAccount::ensure(sv);

    std::unique_ptr<httplib::Server> server;
    std::string caFile;
    if (o.insecureHttp) {
        server = std::make_unique<httplib::Server>();
    } else {
        if (!o.generateCert && o.cert.empty()) {
            throw std::runtime_error("HTTPS needs --cert/--key or --generate-cert");
        }
        auto [cert, key] = certificateFiles(o);
        auto tls = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
        if (!tls->is_valid())
            throw std::runtime_error("cannot load certificate " + cert);
        caFile = fs::absolute(cert).string();
        server = std::move(tls);
    }
    configure(*server);
    ApiRouter router(sv.accounts, sv.faults);
    registerAccountHandlers(router, sv);
    registerFolderHandlers(router, sv);
    registerFileHandlers(router, sv);
    registerUploadHandlers(router, sv);
    registerSharingHandlers(router, sv);
    registerSecureFolderHandlers(router, sv);
    router.install(*server);
    // Files the accounts' notifications may offer (an update's package): served as they are,
    // to anyone, like a public download site.
    const fs::path downloads = o.data / "downloads";
    fs::create_directories(downloads);
    server->set_mount_point("/downloads", downloads.string());
    std::unique_ptr<AdminApi> admin;
    if (!o.adminToken.empty()) {
        admin = std::make_unique<AdminApi>(sv, o.adminToken);
        admin->install(*server);
    }

    auto colon = o.listen.rfind(':');
    if (colon == std::string::npos)
        throw std::runtime_error("--listen wants HOST:PORT");
    std::string host = o.listen.substr(0, colon);
    int port = std::stoi(o.listen.substr(colon + 1));
    if (!host.empty() && host.front() == '[')
        host = host.substr(1, host.size() - 2);
    if (port == 0) {
        port = server->bind_to_any_port(host.c_str());
    } else if (!server->bind_to_port(host.c_str(), port)) {
        port = -1;
    }
    if (port <= 0)
        throw std::runtime_error("cannot listen on " + o.listen);

    std::string urlHost = host == "0.0.0.0" || host.empty()     ? "127.0.0.1"
                          : host.find(':') != std::string::npos ? "[" + host + "]"
                                                                : host;
    std::cout << "api: " << (o.insecureHttp ? "http" : "https") << "://" << urlHost << ":" << port
              << "/api/v1/\n";
    if (!caFile.empty())
        std::cout << "ca: " << caFile << "\n";
    if (demo)
        std::cout << "user: " << demo->username << "\npassword: " << demo->password << "\n";
    std::cout.flush();
    ServerLog::write("listening on " + urlHost + ":" + std::to_string(port));

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    std::thread watcher = signalWatcher(*server, signals);
    server->listen_after_bind();
    // listen_after_bind also returns when the socket fails; make the watcher return too.
    pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Brimvault reference service"};
    app.add_option("--data", o.data, "Data folder (created when missing)")->required();
    app.add_option("--listen", o.listen, "HOST:PORT to listen on; port 0 picks a free port");
    app.add_option("--cert", o.cert, "PEM certificate file");
    app.add_option("--key", o.key, "PEM private key file");
    app.add_flag("--generate-cert", o.generateCert,
                 "Make (once) and use a self-signed certificate kept in the data folder");
    app.add_option("--seed", o.seed, "JSON file of accounts to create or update");
    app.add_flag("--demo", o.demo, "Create the demo account with sample files");
    app.add_option("--admin-token", o.adminToken, "Enable the loopback admin endpoints");
    app.add_flag("--insecure-http", o.insecureHttp, "Serve plain HTTP (tests and benchmarks only)");
    ServiceLimits& l = o.limits;
    app.add_option("--session-idle-timeout", l.sessionIdleSeconds,
                   "Seconds after which an unused session ends")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--code-lifetime", l.codeSeconds, "Seconds a two-factor code stays valid")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--code-attempts", l.codeAttempts, "Wrong entries that void a two-factor code")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--codes-per-session", l.codesPerSession,
                   "Two-factor codes one sign-in may ask for")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--upload-idle-timeout", l.uploadIdleSeconds,
                   "Seconds after which an open upload without a new chunk ends")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--max-open-uploads", l.openUploadsPerAccount,
                   "Uploads one account may keep open")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    bool noContentSync = false;
    app.add_flag("--no-content-sync", noContentSync,
                 "Commit uploaded contents without fsync (benchmarks of a client only)");
    CLI11_PARSE(app, argc, argv);
    l.syncContents = !noContentSync;

    // Block the stop signals before any thread starts, so only the watcher receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    umask(077);
    try {
        return run(o);
    } catch (const std::exception& e) {
        std::cerr << "brimvault-server: " << e.what() << "\n";
        ServerLog::write(std::string("fatal: ") + e.what());
        return 1;
    }
}
