#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// The current user as the engine sees it: the drive application's session, reused for every
// request Keelhaven sends. Filled from BrimvaultUser before the tasks are loaded.
class BrimvaultUserInfo {
  public:
    struct Values {
        std::string m_username;
        std::string m_sessionId;
        std::string driveName;
        // The account is an access user of another account: root folders carry an access id.
        bool m_accessUser = false;
        int64_t uploadSpeedLimit = 0;  // bytes per second, 0 = no limit
    };

    static BrimvaultUserInfo& getCurrentUser();

    Values values() const;
    void setValues(Values values);

  private:
    mutable std::mutex valuesLock_;  // guards values_
    Values values_;
};

// The values read at start-up from the drive application's session files.
class BrimvaultUser {
  public:
    static BrimvaultUser& getUser();

    // Copies the loaded values into the current-user record.
    void copyToCurrentUser() const;

    std::string username;
    std::string sessionID;
    std::string driveName;
    bool isAccessUser = false;
    int64_t uploadSpeedLimit = 0;
};
