#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace bvserver {

// A fault that the next `count` requests to `endpoint` ("*": any) meet.
struct FaultRule {
    enum class Kind { Busy, Error, Http500, NonJson, Drop, Delay };
    std::string endpoint = "*";
    Kind kind = Kind::Busy;
    int count = 1;
    int64_t bytes = 0;    // Drop: bytes of the download sent before the connection drops
    int64_t delayMs = 0;  // Delay: added before the request is served
    int code = 400;       // Error: the service error's code and message
    std::string message;

    // Reads {"endpoint","kind","count","bytes","delay_ms","code","message"}; throws
    // ServiceError on an unknown kind or a malformed rule.
    static FaultRule fromJson(const nlohmann::json& j);
};

// Rules installed by tests through the admin endpoint; inactive until one is added.
class FaultInjector {
  public:
    void add(const FaultRule& rule);
    void clear();
    // Consumes one use of the first rule that matches `endpoint`.
    std::optional<FaultRule> take(const std::string& endpoint);

  private:
    std::mutex mutex_;             // guards rules_
    std::deque<FaultRule> rules_;  // in the order added
};

}  // namespace bvserver
