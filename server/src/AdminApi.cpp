#include "AdminApi.h"

#include <openssl/crypto.h>

#include "ApiRouter.h"
#include "ServiceError.h"

namespace bvserver {

namespace {
bool isLoopback(const std::string& addr) {
    return addr.rfind("127.", 0) == 0 || addr == "::1" || addr.rfind("::ffff:127.", 0) == 0;
}

template <class F>
void guarded(httplib::Response& res, F&& fn) {
    try {
        fn();
    } catch (const ServiceError& e) {
        answerError(res, e.code(), e.what());
    } catch (const std::exception& e) {
        answerError(res, kBadRequest, e.what());
    }
}

void answer(httplib::Response& res, const nlohmann::json& body) {
    res.status = 200;
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json");
}
}  // namespace

bool AdminApi::allowed(const httplib::Request& req, httplib::Response& res) const {
    std::string given = req.get_header_value("X-Admin-Token");
    if (!isLoopback(req.remote_addr) || given.size() != token_.size() ||
        CRYPTO_memcmp(given.data(), token_.data(), given.size()) != 0) {
        answerError(res, kForbidden, "Forbidden");
        return false;
    }
    return true;
}

void AdminApi::install(httplib::Server& server) {
    server.Post("/admin/faults", [this](const httplib::Request& req, httplib::Response& res) {
        if (!allowed(req, res))
            return;
        guarded(res, [&] {
            auto body = nlohmann::json::parse(req.body);
            if (body.is_object() && body.contains("rules")) {
                for (const auto& r : body["rules"])
                    services_.faults.add(FaultRule::fromJson(r));
            } else {
                services_.faults.add(FaultRule::fromJson(body));
            }
            answer(res, {{"result", 1}});
        });
    });
    server.Delete("/admin/faults", [this](const httplib::Request& req, httplib::Response& res) {
        if (!allowed(req, res))
            return;
        services_.faults.clear();
        answer(res, {{"result", 1}});
    });
    server.Get("/admin/2fa", [this](const httplib::Request& req, httplib::Response& res) {
        if (!allowed(req, res))
            return;
        auto code = services_.accounts.lastToken(req.get_param_value("username"));
        if (!code) {
            answerError(res, kNotFound, "No code issued");
            return;
        }
        answer(res, {{"code", *code}});
    });
    server.Get("/admin/stats", [this](const httplib::Request& req, httplib::Response& res) {
        if (!allowed(req, res))
            return;
        guarded(res, [&] {
            answer(res, {{"statistics",
                          services_.accounts.statistics(req.get_param_value("username"))}});
        });
    });
    server.Post("/admin/clock", [this](const httplib::Request& req, httplib::Response& res) {
        if (!allowed(req, res))
            return;
        guarded(res, [&] {
            services_.clock.advance(nlohmann::json::parse(req.body).at("advance").get<int64_t>());
            answer(res, {{"result", 1}});
        });
    });
    server.Post("/admin/users", [this](const httplib::Request& req, httplib::Response& res) {
        if (!allowed(req, res))
            return;
        guarded(res, [&] {
            UserRecord u = services_.accounts.upsertUser(nlohmann::json::parse(req.body));
            answer(res, {{"UserID", std::to_string(u.id)}, {"UserName", u.username}});
        });
    });
}

}  // namespace bvserver
