#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace bvserver {

// A fault that the next `count` requests to `endpoint` ("*": any) meet.
struct FaultRule {
    enum class Kind { Busy, Error, Http500, NonJson, Drop, Delay, Answer, Patch, Length };
    std::string endpoint = "*";
    Kind kind = Kind::Busy;
    int count = 1;
    int64_t bytes = 0;    // Drop: bytes of the download sent before the connection drops
    int64_t delayMs = 0;  // Delay: added before the request is served
    int code = 400;       // Error: the service error's code and message
    std::string message;
    // Answer: this text (not checked in any way) with this status in place of the answer.
    std::string body;
    int status = 200;
    // Patch: in every object of the real answer that holds all of `match`'s members, the
    // members of `set` are put (replacing) and those named in `remove` taken out.
    nlohmann::json match = nlohmann::json::object();
    nlohmann::json set = nlohmann::json::object();
    std::vector<std::string> remove;
    // Length: a download sends `bytes` bytes and announces them: its content cut there, or
    // followed by zero bytes up to that length.

    // Reads {"endpoint","kind","count","bytes","delay_ms","code","message","body","status",
    // "match","set","remove"}; throws
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
