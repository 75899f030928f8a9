#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "MetadataStore.h"
#include "ServiceClock.h"
#include "ServiceLimits.h"

namespace bvserver {

struct UserRecord {
    int64_t id = 0;
    std::string username;
    std::string firstName, lastName, driveName, plan;
    int64_t maxMib = 0, bandwidthUsed = 0, bandwidthMax = 0, uploadSpeedLimit = 0;
    bool accountUser = false, twoFactor = false;
    nlohmann::json notifications = nlohmann::json::array();
    std::string accountLink, billingLink;
    int64_t rootId = 0;
};

struct SessionRecord {
    std::string id;
    int64_t userId = 0;
    bool verified = false;
};

// Accounts, sessions and the two-factor codes. Passwords are kept as salted PBKDF2 hashes.
// Sessions end when unused for limits.sessionIdleSeconds and when the password changes; a
// code is void after limits.codeSeconds or limits.codeAttempts wrong entries.
class AccountStore {
  public:
    AccountStore(MetadataStore& store, const ServiceClock& clock, const ServiceLimits& limits)
        : store_(store), clock_(clock), limits_(limits) {}

    // Creates the account named by seed["username"] or updates its attributes (the
    // password too when given; a new password ends the account's sessions). Every account
    // gets its root and its "Secure Files" folder. Throws ServiceError on a seed without a
    // valid user name (the rules of file names apply), with an empty password or with a new
    // user lacking a password.
    UserRecord upsertUser(const nlohmann::json& seed);

    // Answers the new session; throws ServiceError for unknown user or wrong password.
    std::pair<SessionRecord, UserRecord> login(const std::string& username,
                                               const std::string& password);

    // The live session `id`. Throws "Invalid session" for an unknown id, and, unless
    // allowUnverified, the two-factor refusal for a session still waiting for its code.
    SessionRecord session(const std::string& id, bool allowUnverified = false);
    void logout(const std::string& id);

    // Issues a fresh 7-digit code for the session, logs it and keeps it for the admin API.
    // A session that asked for limits.codesPerSession codes ends instead.
    std::string issueToken(const std::string& sessionId);
    // Marks the session verified; throws "Token is invalid" on a wrong, void or missing code.
    void verifyToken(const std::string& sessionId, const std::string& code);
    std::optional<std::string> lastToken(const std::string& username);

    UserRecord user(int64_t id);
    std::optional<UserRecord> userNamed(const std::string& username);

    void recordStatistics(int64_t userId, const nlohmann::json& body);
    nlohmann::json statistics(const std::string& username);

  private:
    UserRecord upsertUserChecked(const nlohmann::json& seed, const std::string& username);

    MetadataStore& store_;
    const ServiceClock& clock_;
    const ServiceLimits& limits_;
    std::mutex tokensMutex_;                         // guards lastTokens_
    std::map<std::string, std::string> lastTokens_;  // lower-cased user name -> last code
};

}  // namespace bvserver
