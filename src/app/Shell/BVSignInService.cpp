#include "app/Shell/BVSignInService.h"

#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"

std::shared_ptr<BVUserSessionItem> BVApiSignInService::authenticate(const std::string& username,
                                                                    const std::string& password,
                                                                    bv::Error* error) {
    auto session =
        BVApiClient::sharedClient()->authenticateUserSessionWithUsername(username, password, error);
    if (!session && error && !*error)
        BVApiClient::fillNetworkError(error);
    return session;
}

bool BVApiSignInService::verifyToken(const BVUserSessionItem& session, const std::string& token,
                                     bv::Error* error) {
    return BVApiClient::sharedClient()->verifyToken(session, token, error);
}

bool BVApiSignInService::sendToken(const BVUserSessionItem& session, bv::Error* error) {
    return BVApiClient::sharedClient()->sendToken(session, error);
}

int64_t BVApiSignInService::uploadSpeedLimit(const std::shared_ptr<BVUserSessionItem>& session,
                                             bv::Error* error) {
    auto limit = BVApiClient::sharedClient()->getUploadSpeedLimit(session, error);
    if (limit.is_number_integer())
        return std::max<int64_t>(0, limit.get<int64_t>());
    if (limit.is_string()) {
        try {
            return std::max<int64_t>(0, std::stoll(limit.get<std::string>()));
        } catch (const std::exception&) {
        }
    }
    return 0;
}

bool BVApiSignInService::logout(const std::shared_ptr<BVUserSessionItem>& session,
                                bv::Error* error) {
    BVApiClientAuthContext context(session);
    return BVApiClient::sharedClient()->logoutWithContext(&context, error);
}
