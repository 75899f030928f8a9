#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "TempDir.h"

namespace bvtest {

// A running brimvault-server for integration tests: the built binary started on a free
// loopback port with a fresh data folder, a self-signed certificate (trust caFile() to verify
// it) and an admin token. The process is stopped when the object is destroyed.
// Creating one sets SIGPIPE to be ignored in the test process, so that requests to a
// killed server fail instead of ending the test program.
//
// Accounts come from the seed given at construction: a JSON array of user records or
// {"users":[...]} (format in server/README.md), e.g.
//   {{"username","ann"},{"password","pw"},{"two_factor",true},{"max_storage_mib",100}}
// More accounts can be added at any time with upsertUser().
class ReferenceServer {
  public:
    struct Options {
        nlohmann::json seed = nlohmann::json::array();  // user records
        bool demo = false;                              // also create the demo account
        std::vector<std::string> arguments;             // more command-line options
    };

    // Starts the server and waits until it serves. Throws std::runtime_error when the
    // binary cannot be started or does not report its address within 60 seconds.
    ReferenceServer();
    explicit ReferenceServer(Options options);
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    // The API base URL, "https://127.0.0.1:<port>/api/v1/" (kept across restart()).
    const std::string& baseUrl() const { return baseUrl_; }
    const std::string& host() const { return host_; }
    int port() const { return port_; }
    // The certificate file a client must trust.
    const std::filesystem::path& caFile() const { return caFile_; }
    const std::string& adminToken() const { return adminToken_; }
    // The service's data folder (metadata database, contents, server.log).
    std::filesystem::path dataDir() const { return dir_.path() / "data"; }
    // The demo account's credentials (empty unless Options::demo).
    const std::string& demoUser() const { return demoUser_; }
    const std::string& demoPassword() const { return demoPassword_; }

    // The last two-factor code issued for the user (through the admin endpoint), or nothing.
    std::optional<std::string> lastTwoFactorCode(const std::string& username) const;
    // The same code read from <data>/server.log ("2fa code for <user>: NNNNNNN").
    std::optional<std::string> lastTwoFactorCodeFromLog(const std::string& username) const;

    // Fault rules: {"endpoint": "folder/list.json" or "*", "kind": "busy" | "error" |
    // "http500" | "nonjson" | "drop" | "delay", "count": N, "bytes": K (drop),
    // "delay_ms": T (delay), "code"/"message" (error)}. Each rule hits the next N matching
    // requests. Throws std::runtime_error when the server refuses the rule.
    void addFault(const nlohmann::json& rule) const;
    void clearFaults() const;

    // Creates or updates an account from a seed record; answers its user id.
    std::string upsertUser(const nlohmann::json& record) const;
    // What the user's clients sent to "users/SendSyncStatistics.json", oldest first:
    // [{"time": seconds, "request": {parameters}}, ...].
    nlohmann::json statistics(const std::string& username) const;

    // Moves the server's clock for sessions, two-factor codes and open uploads forward.
    void advanceClock(int64_t seconds) const;

    // Kills the server with SIGKILL (no chance to tidy up) and starts it again on the same
    // data folder and port. Throws like the constructor.
    void restart();
    // Stops the server with SIGKILL; restart() brings it back.
    void kill();

  private:
    void start(int port);
    void waitForExit();
    nlohmann::json admin(const std::string& method, const std::string& path,
                         const std::string& body = "") const;

    Options options_;
    TempDir dir_;
    std::string adminToken_;
    std::string baseUrl_, host_;
    int port_ = 0;
    std::filesystem::path caFile_;
    std::string demoUser_, demoPassword_;
    pid_t pid_ = -1;
};

}  // namespace bvtest
