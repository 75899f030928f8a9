#include "FaultInjector.h"

#include "ServiceError.h"

namespace bvserver {

FaultRule FaultRule::fromJson(const nlohmann::json& j) {
    if (!j.is_object())
        throw ServiceError(kBadRequest, "A fault rule must be an object");
    FaultRule r;
    try {
        r.endpoint = j.value("endpoint", std::string("*"));
        std::string kind = j.value("kind", std::string());
        if (kind == "busy") {
            r.kind = Kind::Busy;
        } else if (kind == "error") {
            r.kind = Kind::Error;
        } else if (kind == "http500") {
            r.kind = Kind::Http500;
        } else if (kind == "nonjson") {
            r.kind = Kind::NonJson;
        } else if (kind == "drop") {
            r.kind = Kind::Drop;
        } else if (kind == "delay") {
            r.kind = Kind::Delay;
        } else if (kind == "answer") {
            r.kind = Kind::Answer;
        } else if (kind == "patch") {
            r.kind = Kind::Patch;
        } else if (kind == "length") {
            r.kind = Kind::Length;
        } else {
            throw ServiceError(kBadRequest, "Unknown fault kind: " + kind);
        }
        r.count = j.value("count", 1);
        r.bytes = j.value("bytes", int64_t{0});
        r.delayMs = j.value("delay_ms", int64_t{0});
        r.code = j.value("code", 400);
        r.message = j.value("message", std::string("Injected fault"));
        r.body = j.value("body", std::string());
        r.status = j.value("status", 200);
        r.match = j.value("match", nlohmann::json::object());
        r.set = j.value("set", nlohmann::json::object());
        r.remove = j.value("remove", std::vector<std::string>());
    } catch (const nlohmann::json::exception&) {
        throw ServiceError(kBadRequest, "Malformed fault rule");
    }
    if (r.count <= 0 || r.bytes < 0 || r.delayMs < 0 || r.delayMs > 600000 || r.status < 100 ||
        r.status > 599 || !r.match.is_object() || !r.set.is_object()) {
        throw ServiceError(kBadRequest, "Malformed fault rule");
    }
    return r;
}

void FaultInjector::add(const FaultRule& rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(rule);
}

void FaultInjector::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}

std::optional<FaultRule> FaultInjector::take(const std::string& endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (it->endpoint != "*" && it->endpoint != endpoint)
            continue;
        FaultRule hit = *it;
        if (--it->count == 0)
            rules_.erase(it);
        return hit;
    }
    return std::nullopt;
}

}  // namespace bvserver
