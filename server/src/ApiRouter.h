#pragma once

#include <httplib.h>

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "ApiCall.h"
#include "FaultInjector.h"

namespace bvserver {

class AccountStore;

// Serves every request below "/api/v1/": splits the path into endpoint and arguments,
// applies injected faults, places the session identifier (first path argument for the
// endpoints that carry it there, else the "session_id" parameter), checks the session,
// and runs the handler. Whatever a handler throws becomes a service error answer.
class ApiRouter {
  public:
    enum class SessionRule { None, Verified, Unverified };
    using Handler = std::function<void(ApiCall&)>;

    ApiRouter(AccountStore& accounts, FaultInjector& faults)
        : accounts_(accounts), faults_(faults) {}

    void add(const std::string& method, const std::string& endpoint, SessionRule rule,
             Handler handler);
    void install(httplib::Server& server);

    // Splits a request target ("/api/v1/folder/list.json/s/0?x=1") into the endpoint
    // (through the first segment ending in ".json") and the percent-decoded arguments.
    // Answers false when the target is not below the API root.
    static bool splitTarget(const std::string& target, std::string* endpoint,
                            std::vector<std::string>* args);

  private:
    struct Route {
        SessionRule rule;
        Handler handler;
    };
    void serve(const httplib::Request& req, httplib::Response& res,
               const httplib::ContentReader* reader);
    void run(ApiCall& call, const Route& route);
    bool applyFault(ApiCall& call);

    AccountStore& accounts_;
    FaultInjector& faults_;
    std::map<std::pair<std::string, std::string>, Route> routes_;  // (method, endpoint)
};

// Writes {"error":{"code":N,"message":"..."}} with HTTP status N (400 when N is no status).
void answerError(httplib::Response& res, int code, const std::string& message);

}  // namespace bvserver
