#include "AccountStore.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>

#include "NameRules.h"
#include "Random.h"
#include "ServerLog.h"
#include "ServiceError.h"

namespace bvserver {

namespace {
constexpr int kPbkdf2Rounds = 20000;
constexpr const char* kSecureFolderName = "Secure Files";

std::string hashPassword(const std::string& password, const std::string& salt) {
    unsigned char out[32];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()),
                          static_cast<int>(salt.size()), kPbkdf2Rounds, EVP_sha256(), sizeof out,
                          out) != 1) {
        throw std::runtime_error("password hashing failed");
    }
    static const char* kHex = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : out) {
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
    }
    return hex;
}

bool equalSecret(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

constexpr const char* kUserColumns =
    "id, username, first_name, last_name, drive_name, plan, max_mib, bw_used, bw_max, "
    "speed_limit, account_user, two_factor, notifications, account_link, billing_link, root_id";

UserRecord readUser(Statement& st) {
    UserRecord u;
    u.id = st.integer(0);
    u.username = st.text(1);
    u.firstName = st.text(2);
    u.lastName = st.text(3);
    u.driveName = st.text(4);
    u.plan = st.text(5);
    u.maxMib = st.integer(6);
    u.bandwidthUsed = st.integer(7);
    u.bandwidthMax = st.integer(8);
    u.uploadSpeedLimit = st.integer(9);
    u.accountUser = st.integer(10) != 0;
    u.twoFactor = st.integer(11) != 0;
    u.notifications = nlohmann::json::parse(st.text(12), nullptr, false);
    if (!u.notifications.is_array())
        u.notifications = nlohmann::json::array();
    u.accountLink = st.text(13);
    u.billingLink = st.text(14);
    u.rootId = st.integer(15);
    return u;
}

void endSessionsOf(Database& db, int64_t userId) {
    db.prepare(
          "DELETE FROM secure_auth WHERE session_id IN (SELECT id FROM sessions WHERE user_id = ?)")
        .bind(1, userId)
        .run();
    db.prepare("DELETE FROM sessions WHERE user_id = ?").bind(1, userId).run();
}

void endSession(Database& db, const std::string& id) {
    db.prepare("DELETE FROM sessions WHERE id = ?").bind(1, id).run();
    db.prepare("DELETE FROM secure_auth WHERE session_id = ?").bind(1, id).run();
}

std::optional<UserRecord> findUser(Database& db, const char* where, const std::string& value) {
    std::string sql = std::string("SELECT ") + kUserColumns + " FROM users WHERE " + where;
    auto st = db.prepare(sql.c_str());
    st.bind(1, value);
    if (!st.step())
        return std::nullopt;
    return readUser(st);
}

int64_t insertFolder(Database& db, int64_t owner, std::optional<int64_t> parent,
                     const std::string& name, bool secureRoot) {
    int64_t now = nowSeconds();
    auto st = db.prepare(
        "INSERT INTO folders (owner_id, parent_id, name, name_key, created, modified, stamp, "
        "secure_root) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    st.bind(1, owner);
    if (parent) {
        st.bind(2, *parent);
    } else {
        st.bindNull(2);
    }
    st.bind(3, name).bind(4, NameRules::key(name)).bind(5, now).bind(6, now).bind(7, now);
    st.bind(8, secureRoot ? 1 : 0);
    st.run();
    return db.lastInsertId();
}

template <class T>
T seedValue(const nlohmann::json& seed, const char* key, T fallback) {
    auto it = seed.find(key);
    if (it == seed.end() || it->is_null())
        return fallback;
    return it->get<T>();
}
// Accepts true/false, numbers and the texts "1"/"0", "on"/"off", "true"/"false".
bool seedFlag(const nlohmann::json& seed, const char* key, bool fallback) {
    auto it = seed.find(key);
    if (it == seed.end() || it->is_null())
        return fallback;
    if (it->is_boolean())
        return it->get<bool>();
    if (it->is_number())
        return it->get<double>() != 0;
    if (it->is_string()) {
        std::string v = it->get<std::string>();
        return v == "1" || v == "on" || v == "true" || v == "yes";
    }
    return fallback;
}
}  // namespace

UserRecord AccountStore::upsertUser(const nlohmann::json& seed) {
    if (!seed.is_object() || !seed.contains("username") || !seed["username"].is_string() ||
        seed["username"].get<std::string>().empty()) {
        throw ServiceError(kBadRequest, "Missing user name");
    }
    std::string username = seed["username"];
    auto password = seed.find("password");
    if (password != seed.end() && password->is_string() && password->get<std::string>().empty())
        throw ServiceError(kBadRequest, "Empty password");
    try {
        return upsertUserChecked(seed, username);
    } catch (const nlohmann::json::exception&) {
        throw ServiceError(kBadRequest, "Malformed user record for " + username);
    }
}

UserRecord AccountStore::upsertUserChecked(const nlohmann::json& seed,
                                           const std::string& username) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        auto existing = findUser(db, "username = ?", username);
        int64_t id;
        if (!existing) {
            // The name becomes a folder name in the drives of those the account shares with.
            if (!NameRules::isValid(username))
                throw ServiceError(kBadRequest, "Invalid user name");
            if (!seed.contains("password") || !seed["password"].is_string()) {
                throw ServiceError(kBadRequest, "Missing password");
            }
            auto st =
                db.prepare("INSERT INTO users (username, pw_salt, pw_hash) VALUES (?, '', '')");
            st.bind(1, username).run();
            id = db.lastInsertId();
            int64_t root = insertFolder(db, id, std::nullopt, "", false);
            insertFolder(db, id, root, kSecureFolderName, true);
            db.prepare("UPDATE users SET root_id = ? WHERE id = ?").bind(1, root).bind(2, id).run();
        } else {
            id = existing->id;
        }
        if (seed.contains("password") && seed["password"].is_string()) {
            const std::string& password = seed["password"].get_ref<const std::string&>();
            auto st = db.prepare("SELECT pw_salt, pw_hash FROM users WHERE id = ?");
            st.bind(1, id);
            // A seed applied again at each start keeps the sessions of an unchanged password.
            if (!st.step() || !equalSecret(hashPassword(password, st.text(0)), st.text(1))) {
                std::string salt = randomHex(16);
                db.prepare("UPDATE users SET pw_salt = ?, pw_hash = ? WHERE id = ?")
                    .bind(1, salt)
                    .bind(2, hashPassword(password, salt))
                    .bind(3, id)
                    .run();
                endSessionsOf(db, id);
            }
        }
        UserRecord cur = existing.value_or(UserRecord{});
        if (!existing) {
            cur.driveName = "Brimvault";
            cur.plan = "Free";
            cur.maxMib = 10240;
        }
        auto st = db.prepare(
            "UPDATE users SET first_name=?, last_name=?, drive_name=?, plan=?, max_mib=?, "
            "bw_used=?, bw_max=?, speed_limit=?, account_user=?, two_factor=?, notifications=?, "
            "account_link=?, billing_link=? WHERE id=?");
        st.bind(1, seedValue<std::string>(seed, "first_name", cur.firstName));
        st.bind(2, seedValue<std::string>(seed, "last_name", cur.lastName));
        st.bind(3, seedValue<std::string>(seed, "drive_name", cur.driveName));
        st.bind(4, seedValue<std::string>(seed, "plan", cur.plan));
        st.bind(5, seedValue<int64_t>(seed, "max_storage_mib", cur.maxMib));
        st.bind(6, seedValue<int64_t>(seed, "bandwidth_used", cur.bandwidthUsed));
        st.bind(7, seedValue<int64_t>(seed, "bandwidth_max", cur.bandwidthMax));
        st.bind(8, seedValue<int64_t>(seed, "upload_speed_limit", cur.uploadSpeedLimit));
        st.bind(9, seedFlag(seed, "account_user", cur.accountUser) ? 1 : 0);
        st.bind(10, seedFlag(seed, "two_factor", cur.twoFactor) ? 1 : 0);
        nlohmann::json notes = seed.contains("notifications") && seed["notifications"].is_array()
                                   ? seed["notifications"]
                                   : cur.notifications;
        st.bind(11, notes.dump());
        st.bind(12, seedValue<std::string>(seed, "account_link", cur.accountLink));
        st.bind(13, seedValue<std::string>(seed, "billing_link", cur.billingLink));
        st.bind(14, id);
        st.run();
        auto result = findUser(db, "id = ?", std::to_string(id));
        tx.commit();
        return *result;
    });
}

std::pair<SessionRecord, UserRecord> AccountStore::login(const std::string& username,
                                                         const std::string& password) {
    return store_.locked([&](Database& db) {
        auto st =
            db.prepare("SELECT id, pw_salt, pw_hash, two_factor FROM users WHERE username = ?");
        st.bind(1, username);
        if (!st.step() || !equalSecret(hashPassword(password, st.text(1)), st.text(2))) {
            throw ServiceError(kUnauthorized, "Invalid username or password");
        }
        SessionRecord s{randomHex(16), st.integer(0), st.integer(3) == 0};
        int64_t now = clock_.now();
        db.prepare(
              "INSERT INTO sessions (id, user_id, verified, created, last_used) VALUES (?, ?, ?, "
              "?, ?)")
            .bind(1, s.id)
            .bind(2, s.userId)
            .bind(3, s.verified ? 1 : 0)
            .bind(4, now)
            .bind(5, now)
            .run();
        auto user = findUser(db, "id = ?", std::to_string(s.userId));
        return std::make_pair(s, *user);
    });
}

SessionRecord AccountStore::session(const std::string& id, bool allowUnverified) {
    auto s = store_.locked([&](Database& db) -> std::optional<SessionRecord> {
        auto st = db.prepare(
            "SELECT user_id, verified, COALESCE(last_used, created) FROM sessions WHERE id = ?");
        st.bind(1, id);
        if (!st.step())
            return std::nullopt;
        SessionRecord found{id, st.integer(0), st.integer(1) != 0};
        int64_t now = clock_.now(), lastUsed = st.integer(2);
        if (now - lastUsed > limits_.sessionIdleSeconds) {
            endSession(db, id);
            return std::nullopt;
        }
        // Recording every use would cost a write per request; a minute is precise enough.
        if (now - lastUsed >= 60) {
            db.prepare("UPDATE sessions SET last_used = ? WHERE id = ?")
                .bind(1, now)
                .bind(2, id)
                .run();
        }
        return found;
    });
    if (!s || id.empty())
        throw ServiceError(kUnauthorized, msg::kInvalidSession);
    if (!s->verified && !allowUnverified) {
        throw ServiceError(kUnauthorized, msg::kTwoFactorPending);
    }
    return *s;
}

void AccountStore::logout(const std::string& id) {
    store_.locked([&](Database& db) { endSession(db, id); });
}

std::string AccountStore::issueToken(const std::string& sessionId) {
    SessionRecord s = session(sessionId, true);
    std::string code = randomDigits(7);
    std::optional<std::string> username = store_.locked([&](Database& db) {
        auto issued = db.prepare("SELECT codes_issued FROM sessions WHERE id = ?");
        issued.bind(1, s.id);
        if (!issued.step() || issued.integer(0) >= limits_.codesPerSession) {
            endSession(db, s.id);
            return std::optional<std::string>();
        }
        db.prepare(
              "UPDATE sessions SET token = ?, token_expires = ?, token_attempts = 0, "
              "codes_issued = codes_issued + 1 WHERE id = ?")
            .bind(1, code)
            .bind(2, clock_.now() + limits_.codeSeconds)
            .bind(3, s.id)
            .run();
        auto st = db.prepare("SELECT username FROM users WHERE id = ?");
        st.bind(1, s.userId);
        return std::optional<std::string>(st.step() ? st.text(0) : std::string());
    });
    if (!username)
        throw ServiceError(kUnauthorized, msg::kInvalidSession);
    {
        std::lock_guard<std::mutex> lock(tokensMutex_);
        lastTokens_[lower(*username)] = code;
    }
    ServerLog::write("2fa code for " + *username + ": " + code);
    return code;
}

void AccountStore::verifyToken(const std::string& sessionId, const std::string& code) {
    SessionRecord s = session(sessionId, true);
    bool accepted = store_.locked([&](Database& db) {
        auto st =
            db.prepare("SELECT token, token_expires, token_attempts FROM sessions WHERE id = ?");
        st.bind(1, s.id);
        if (!st.step() || st.isNull(0))
            return false;
        bool current = !st.isNull(1) && clock_.now() <= st.integer(1);
        if (current && equalSecret(st.text(0), code)) {
            db.prepare("UPDATE sessions SET verified = 1, token = NULL WHERE id = ?")
                .bind(1, s.id)
                .run();
            return true;
        }
        // A wrong entry counts against the code; enough of them, or its age, void it.
        bool voided = !current || st.integer(2) + 1 >= limits_.codeAttempts;
        db.prepare(
              "UPDATE sessions SET token_attempts = token_attempts + 1, token = CASE WHEN ? THEN "
              "NULL ELSE token END WHERE id = ?")
            .bind(1, voided ? 1 : 0)
            .bind(2, s.id)
            .run();
        return false;
    });
    if (!accepted)
        throw ServiceError(kUnauthorized, msg::kTokenInvalid);
}

std::optional<std::string> AccountStore::lastToken(const std::string& username) {
    std::lock_guard<std::mutex> lock(tokensMutex_);
    auto it = lastTokens_.find(lower(username));
    if (it == lastTokens_.end())
        return std::nullopt;
    return it->second;
}

UserRecord AccountStore::user(int64_t id) {
    auto u =
        store_.locked([&](Database& db) { return findUser(db, "id = ?", std::to_string(id)); });
    if (!u)
        throw ServiceError(kNotFound, "User not found");
    return *u;
}

std::optional<UserRecord> AccountStore::userNamed(const std::string& username) {
    return store_.locked([&](Database& db) { return findUser(db, "username = ?", username); });
}

void AccountStore::recordStatistics(int64_t userId, const nlohmann::json& body) {
    store_.locked([&](Database& db) {
        db.prepare("INSERT INTO stats (user_id, time, body) VALUES (?, ?, ?)")
            .bind(1, userId)
            .bind(2, nowSeconds())
            .bind(3, body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
            .run();
    });
}

nlohmann::json AccountStore::statistics(const std::string& username) {
    return store_.locked([&](Database& db) {
        auto st = db.prepare(
            "SELECT s.time, s.body FROM stats s JOIN users u ON u.id = s.user_id "
            "WHERE u.username = ? ORDER BY s.id");
        st.bind(1, username);
        nlohmann::json out = nlohmann::json::array();
        while (st.step()) {
            nlohmann::json body = nlohmann::json::parse(st.text(1), nullptr, false);
            out.push_back({{"time", st.integer(0)}, {"request", body}});
        }
        return out;
    });
}

}  // namespace bvserver
