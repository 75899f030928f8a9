#pragma once

#include <httplib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "AccountStore.h"
#include "FaultInjector.h"

namespace bvserver {

// One API request as a handler sees it: the endpoint, the path arguments that follow the
// session identifier, the parameters (query string and JSON body merged), the caller's
// session, and the answer to fill.
struct ApiCall {
    std::string method;
    std::string endpoint;
    std::vector<std::string> args;
    nlohmann::json params = nlohmann::json::object();
    std::string sessionId;
    SessionRecord session;  // set when the route needs a session

    const httplib::Request* http = nullptr;
    httplib::Response* response = nullptr;
    const httplib::ContentReader* reader = nullptr;  // streamed bodies (chunk upload) only
    std::optional<int64_t> dropAfterBytes;           // injected download faults
    std::optional<int64_t> servedBytes;
    std::optional<FaultRule> patch;  // injected change of the answer
    bool bodyRead = false;           // the handler consumed `reader`

    nlohmann::json answer = nlohmann::json::object();
    bool raw = false;  // the handler wrote `response` itself

    // Fills `params` from the query string and, when given, a JSON object body whose keys
    // win. Throws "Malformed JSON body" for a body that is not an object or that nests
    // deeper than kMaxBodyDepth (it is refused before a tree is built for it).
    void readParameters(const httplib::Params& query, const std::string* jsonBody);
    static constexpr int kMaxBodyDepth = 16;

    // The parameter's text (numbers and booleans in their JSON text form). Throws
    // "Invalid parameter: <key>" for a value that is no text, finite number or boolean.
    std::optional<std::string> param(const std::string& key) const;
    // Throws "Missing parameter: <key>" when absent.
    std::string required(const std::string& key) const;
    // Throws "Invalid parameter: <key>" when present but not a finite number within the
    // 64-bit range (a fraction is cut off).
    std::optional<int64_t> integer(const std::string& key) const;
    int64_t requiredInteger(const std::string& key) const;
    // Path argument `index`; throws "Missing argument: <what>" when absent.
    const std::string& arg(size_t index, const char* what) const;
};

}  // namespace bvserver
