#include "ApiRouter.h"

#include <chrono>
#include <set>
#include <thread>

#include "ServerLog.h"
#include "ServiceError.h"

namespace bvserver {

namespace {
constexpr const char* kApiRoot = "/api/v1/";

// Endpoints whose session identifier is the first path argument, with the method for which
// it is ("*": every method). The other endpoints take it as the "session_id" parameter.
const std::set<std::pair<std::string, std::string>>& sessionInPath() {
    static const std::set<std::pair<std::string, std::string>> table = {
        {"file.json", "*"},
        {"file/path.json", "*"},
        {"sharing/listsharedusers.json", "*"},
        {"sharing/listsharedfolders.json", "*"},
        {"sharing/listusers.json", "*"},
        {"folder/list.json", "*"},
        {"folder/info.json", "*"},
        {"folder/path.json", "*"},
        {"folder/trash.json", "DELETE"},
        {"folder/trashlist.json", "*"},
        {"securefolders/auth.json", "GET"},
        {"users/info.json", "*"},
        {"users/link.json", "*"},
        {"users/notifications.json", "*"},
        {"upload/upload_file_chunk2.json", "*"},
        {"sharing.json", "DELETE"},
        // Calls made before a client has a context pass the session in the path as well.
        {"session/info.json", "*"},
        {"users/authytokenviamessage.json", "*"},
        {"users/authylogin.json", "*"},
    };
    return table;
}

bool takesSessionInPath(const std::string& endpoint, const std::string& method) {
    const auto& t = sessionInPath();
    return t.count({endpoint, "*"}) > 0 || t.count({endpoint, method}) > 0;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string percentDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

constexpr const char* kHtml500 =
    "<!DOCTYPE html><html><head><title>500 Internal Server Error</title></head><body>"
    "<h1>Internal Server Error</h1><p>The server encountered an internal error.</p></body></html>";

// Reads and drops a streamed body, so the connection stays usable after an early answer. A
// body that cannot be read leaves the stream out of step: the connection is then closed.
void drain(const httplib::Request& req, httplib::Response& res,
           const httplib::ContentReader* reader) {
    if (!reader)
        return;
    bool ok = req.is_multipart_form_data()
                  ? (*reader)([](const httplib::MultipartFormData&) { return true; },
                              [](const char*, size_t) { return true; })
                  : (*reader)([](const char*, size_t) { return true; });
    if (!ok)
        res.set_header("Connection", "close");
}
}  // namespace

void answerError(httplib::Response& res, int code, const std::string& message) {
    nlohmann::json body = {{"error", {{"code", code}, {"message", message}}}};
    res.status = code >= 400 && code <= 599 ? code : 400;
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json");
}

bool ApiRouter::splitTarget(const std::string& target, std::string* endpoint,
                            std::vector<std::string>* args) {
    std::string path = target.substr(0, target.find('?'));
    if (path.rfind(kApiRoot, 0) != 0)
        return false;
    path = path.substr(std::char_traits<char>::length(kApiRoot));
    std::vector<std::string> segments;
    size_t start = 0;
    while (true) {
        size_t slash = path.find('/', start);
        segments.push_back(path.substr(start, slash - start));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    // An empty argument list leaves the path ending in "/".
    if (segments.size() > 1 && segments.back().empty())
        segments.pop_back();
    size_t i = 0;
    endpoint->clear();
    for (; i < segments.size(); ++i) {
        if (!endpoint->empty())
            *endpoint += "/";
        *endpoint += segments[i];
        const std::string& s = segments[i];
        if (s.size() >= 5 && s.compare(s.size() - 5, 5, ".json") == 0)
            break;
    }
    if (i == segments.size())
        return false;
    args->clear();
    for (++i; i < segments.size(); ++i)
        args->push_back(percentDecode(segments[i]));
    return true;
}

void ApiRouter::add(const std::string& method, const std::string& endpoint, SessionRule rule,
                    Handler handler) {
    routes_[{method, endpoint}] = Route{rule, std::move(handler)};
}

void ApiRouter::install(httplib::Server& server) {
    const std::string pattern = R"(/api/v1/.*)";
    auto plain = [this](const httplib::Request& req, httplib::Response& res) {
        serve(req, res, nullptr);
    };
    server.Get(pattern, plain);
    server.Post(pattern, plain);
    server.Put(pattern, plain);
    server.Delete(pattern, plain);
    // The chunk upload streams its multipart body to disk instead of buffering it.
    server.Post(R"(/api/v1/upload/upload_file_chunk2\.json(/.*)?)",
                [this](const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader& reader) { serve(req, res, &reader); });
}

bool ApiRouter::applyFault(ApiCall& call) {
    auto fault = faults_.take(call.endpoint);
    if (!fault)
        return false;
    httplib::Response& res = *call.response;
    switch (fault->kind) {
        case FaultRule::Kind::Delay:
            std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
            return false;
        case FaultRule::Kind::Drop:
            call.dropAfterBytes = fault->bytes;
            return false;
        case FaultRule::Kind::Busy:
            answerError(res, kBusy, msg::kFolderBusy);
            return true;
        case FaultRule::Kind::Error:
            answerError(res, fault->code, fault->message);
            return true;
        case FaultRule::Kind::Http500:
            res.status = 500;
            res.set_content(kHtml500, "text/html");
            return true;
        case FaultRule::Kind::NonJson:
            res.status = 200;
            res.set_content("Service temporarily unavailable, please retry later.", "text/plain");
            return true;
        case FaultRule::Kind::Answer:
            res.status = fault->status;
            res.set_content(fault->body, "application/json");
            return true;
        case FaultRule::Kind::Patch:
            call.patch = *fault;
            return false;
        case FaultRule::Kind::Length:
            call.servedBytes = fault->bytes;
            return false;
    }
    return false;
}

namespace {

// The Patch fault on every object of the answer that holds all of the rule's `match`.
void applyPatch(nlohmann::json& node, const FaultRule& rule) {
    if (node.is_array()) {
        for (auto& element : node)
            applyPatch(element, rule);
        return;
    }
    if (!node.is_object())
        return;
    bool matches = true;
    for (const auto& [key, value] : rule.match.items())
        matches = matches && node.contains(key) && node[key] == value;
    if (matches) {
        for (const auto& [key, value] : rule.set.items())
            node[key] = value;
        for (const auto& key : rule.remove)
            node.erase(key);
    }
    for (auto& [key, value] : node.items())
        applyPatch(value, rule);
}

}  // namespace

void ApiRouter::serve(const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader* reader) {
    ApiCall call;
    call.method = req.method;
    call.http = &req;
    call.response = &res;
    call.reader = reader;
    if (!splitTarget(req.target, &call.endpoint, &call.args)) {
        drain(req, res, reader);
        answerError(res, kNotFound, "Unknown endpoint");
        return;
    }
    if (applyFault(call)) {
        drain(req, res, reader);
        ServerLog::write(req.method + " " + call.endpoint + " -> injected fault");
        return;
    }
    auto route = routes_.find({req.method, call.endpoint});
    if (route == routes_.end()) {
        drain(req, res, reader);
        answerError(res, kNotFound, "Unknown endpoint");
        return;
    }
    run(call, route->second);
    if (reader && !call.bodyRead)
        drain(req, res, reader);
    ServerLog::write(req.method + " " + call.endpoint + " -> " + std::to_string(res.status));
}

void ApiRouter::run(ApiCall& call, const Route& route) {
    httplib::Response& res = *call.response;
    try {
        const httplib::Request& req = *call.http;
        bool jsonBody =
            !call.reader && (req.method == "POST" || req.method == "PUT") && !req.body.empty();
        call.readParameters(req.params, jsonBody ? &req.body : nullptr);
        if (takesSessionInPath(call.endpoint, call.method)) {
            if (!call.args.empty()) {
                call.sessionId = call.args.front();
                call.args.erase(call.args.begin());
            }
        } else if (auto sid = call.param("session_id")) {
            call.sessionId = *sid;
        }
        if (route.rule != SessionRule::None) {
            call.session = accounts_.session(call.sessionId, route.rule == SessionRule::Unverified);
        }
        route.handler(call);
        if (call.patch && !call.raw)
            applyPatch(call.answer, *call.patch);
        if (!call.raw) {
            res.status = 200;
            res.set_content(
                call.answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                "application/json");
        }
    } catch (const ServiceError& e) {
        answerError(res, e.code(), e.what());
    } catch (const std::exception& e) {
        ServerLog::write("internal error in " + call.endpoint + ": " + e.what());
        answerError(res, kInternal, "Internal server error");
    } catch (...) {
        ServerLog::write("internal error in " + call.endpoint);
        answerError(res, kInternal, "Internal server error");
    }
}

}  // namespace bvserver
