#include "Answers.h"
#include "ApiRouter.h"
#include "ServiceError.h"

namespace bvserver {

namespace {
using Rule = ApiRouter::SessionRule;

nlohmann::json sessionJson(const SessionRecord& s, const UserRecord& u) {
    return {{"SessionID", s.id},
            {"UserName", u.username},
            {"AccType", 1},
            {"DriveName", u.driveName},
            {"UserFirstName", u.firstName},
            {"UserLastName", u.lastName},
            {"UserID", std::to_string(u.id)},
            {"UploadSpeedLimit", u.uploadSpeedLimit},
            {"Active2FA", u.twoFactor ? "1" : "0"},
            {"IsAccountUser", u.accountUser ? 1 : 0}};
}
}  // namespace

void registerAccountHandlers(ApiRouter& router, Services& sv) {
    router.add("POST", "session/login.json", Rule::None, [&sv](ApiCall& c) {
        auto [session, user] = sv.accounts.login(c.required("username"), c.required("passwd"));
        c.answer = sessionJson(session, user);
    });
    router.add("POST", "session/logout.json", Rule::Unverified, [&sv](ApiCall& c) {
        sv.accounts.logout(c.sessionId);
        c.answer = {{"result", 1}};
    });
    router.add("GET", "session/info.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {{"UploadSpeedLimit", sv.accounts.user(c.session.userId).uploadSpeedLimit}};
    });
    router.add("GET", "users/authytokenviamessage.json", Rule::Unverified, [&sv](ApiCall& c) {
        sv.accounts.issueToken(c.sessionId);
        c.answer = {{"result", 1}};
    });
    router.add("GET", "users/authylogin.json", Rule::Unverified, [&sv](ApiCall& c) {
        sv.accounts.verifyToken(c.sessionId, c.arg(0, "token"));
        c.answer = {{"result", 1}};
    });
    router.add("POST", "users.json", Rule::None, [&sv](ApiCall& c) {
        std::string name = c.required("username");
        if (c.param("verify_passwd") && c.param("verify_passwd") != c.param("passwd")) {
            throw ServiceError(kBadRequest, "Passwords do not match");
        }
        if (sv.accounts.userNamed(name))
            throw ServiceError(kConflict, "User already exists");
        sv.accounts.upsertUser({{"username", name},
                                {"password", c.required("passwd")},
                                {"first_name", c.param("first_name").value_or("")},
                                {"last_name", c.param("last_name").value_or("")}});
        c.answer = {{"result", 1}};
    });
    router.add("GET", "users/info.json", Rule::Verified, [&sv](ApiCall& c) {
        UserRecord u = sv.accounts.user(c.session.userId);
        c.answer = {{"MaxStorage", u.maxMib},
                    {"StorageUsed", sv.tree.storageUsed(u.id)},
                    {"BwUsed", u.bandwidthUsed},
                    {"BwMax", u.bandwidthMax},
                    {"UserPlan", u.plan}};
    });
    router.add("GET", "users/link.json", Rule::Verified, [&sv](ApiCall& c) {
        UserRecord u = sv.accounts.user(c.session.userId);
        std::string type = c.param("type").value_or("0");
        if (type != "0" && type != "1")
            throw ServiceError(kBadRequest, "Invalid parameter: type");
        c.answer = {{"Link", type == "0" ? u.billingLink : u.accountLink}};
    });
    router.add("GET", "users/notifications.json", Rule::Verified, [&sv](ApiCall& c) {
        c.answer = {{"Notification", sv.accounts.user(c.session.userId).notifications}};
    });
    router.add("POST", "users/SendSyncStatistics.json", Rule::Verified, [&sv](ApiCall& c) {
        nlohmann::json record = c.params;
        record.erase("session_id");
        sv.accounts.recordStatistics(c.session.userId, record);
        c.answer = {{"result", 1}};
    });
}

}  // namespace bvserver
