#pragma once

#include <httplib.h>

#include <string>

#include "Services.h"

namespace bvserver {

// Test-only control endpoints below "/admin/", enabled by an admin token, answered only to
// loopback peers that send the token in the "X-Admin-Token" header:
//   POST   /admin/faults        add a fault rule (see FaultRule) or {"rules":[...]}
//   DELETE /admin/faults        remove every rule
//   GET    /admin/2fa?username= the last two-factor code issued for the user
//   GET    /admin/stats?username= the statistics the user's clients sent
//   POST   /admin/users         create or update an account (seed record)
//   POST   /admin/clock         {"advance": seconds} moves the expiry clock forward
class AdminApi {
  public:
    AdminApi(Services& services, std::string token)
        : services_(services), token_(std::move(token)) {}
    void install(httplib::Server& server);

  private:
    bool allowed(const httplib::Request& req, httplib::Response& res) const;

    Services& services_;
    std::string token_;
};

}  // namespace bvserver
