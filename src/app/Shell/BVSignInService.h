#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "BVApi/Content/BVUserItems.h"
#include "platform/Error.h"

// The service calls of a sign-in, behind one seam so that the sign-in's rules are tested
// without a service.
class BVSignInService {
  public:
    virtual ~BVSignInService() = default;
    virtual std::shared_ptr<BVUserSessionItem> authenticate(const std::string& username,
                                                            const std::string& password,
                                                            bv::Error* error) = 0;
    virtual bool verifyToken(const BVUserSessionItem& session, const std::string& token,
                             bv::Error* error) = 0;
    virtual bool sendToken(const BVUserSessionItem& session, bv::Error* error) = 0;
    // The account's limit in bytes per second, 0 when there is none.
    virtual int64_t uploadSpeedLimit(const std::shared_ptr<BVUserSessionItem>& session,
                                     bv::Error* error) = 0;
    virtual bool logout(const std::shared_ptr<BVUserSessionItem>& session, bv::Error* error) = 0;
};

// Through the shared service client.
class BVApiSignInService : public BVSignInService {
  public:
    std::shared_ptr<BVUserSessionItem> authenticate(const std::string& username,
                                                    const std::string& password,
                                                    bv::Error* error) override;
    bool verifyToken(const BVUserSessionItem& session, const std::string& token,
                     bv::Error* error) override;
    bool sendToken(const BVUserSessionItem& session, bv::Error* error) override;
    int64_t uploadSpeedLimit(const std::shared_ptr<BVUserSessionItem>& session,
                             bv::Error* error) override;
    bool logout(const std::shared_ptr<BVUserSessionItem>& session, bv::Error* error) override;
};
