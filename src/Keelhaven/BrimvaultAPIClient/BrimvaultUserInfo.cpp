#include "Keelhaven/BrimvaultAPIClient/BrimvaultUserInfo.h"

BrimvaultUserInfo& BrimvaultUserInfo::getCurrentUser() {
    static BrimvaultUserInfo user;
    return user;
}

BrimvaultUserInfo::Values BrimvaultUserInfo::values() const {
    std::lock_guard lock(valuesLock_);
    return values_;
}

void BrimvaultUserInfo::setValues(Values values) {
    std::lock_guard lock(valuesLock_);
    values_ = std::move(values);
}

BrimvaultUser& BrimvaultUser::getUser() {
    static BrimvaultUser user;
    return user;
}

void BrimvaultUser::copyToCurrentUser() const {
    BrimvaultUserInfo::getCurrentUser().setValues(
        {username, sessionID, driveName, isAccessUser, uploadSpeedLimit});
}
