#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Networking/BVApiClientContext.h"

// The context of the signed-in session: puts the session identifier into every request,
// in the path or as the parameter "session_id" depending on the endpoint and method.
class BVApiClientAuthContext : public BVApiClientContext {
  public:
    static constexpr int64_t kErrorNoSession = -199;

    BVApiClientAuthContext() = default;
    explicit BVApiClientAuthContext(std::shared_ptr<BVUserSessionItem> session);

    std::shared_ptr<BVUserSessionItem> session() const;
    void setSession(std::shared_ptr<BVUserSessionItem> session);

    // Fails with -199 (what stood in *error kept as the underlying error) without a session.
    bool preFill(BVApiRequest& request, BVApiClient* client, bv::Error* error) override;
    // Places the session identifier; answers true.
    bool updateRequest(BVApiRequest& request, const BVUserSessionItem& session, bv::Error* error);

    // Whether endpoint takes the session identifier as its first path argument for method.
    static bool takesSessionInPath(const std::string& endpoint, const std::string& method);

  private:
    mutable std::mutex sessionLock_;  // guards session_
    std::shared_ptr<BVUserSessionItem> session_;
};
