#include "BVApi/Networking/BVApiClientAuthContext.h"

#include <array>
#include <string_view>

#include "BVApi/Networking/BVApiRequest.h"
#include "app/Logging/BVLogging.h"

namespace {

struct SessionInPath {
    std::string_view endpoint;
    std::string_view method;  // "*": every method
};

// Endpoints whose session identifier is the first path argument; every other endpoint
// takes it as the parameter "session_id".
constexpr std::array<SessionInPath, 16> kSessionInPath = {{
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
}};

const SessionInPath* entryFor(const std::string& endpoint) {
    for (const auto& entry : kSessionInPath) {
        if (entry.endpoint == endpoint)
            return &entry;
    }
    return nullptr;
}

}  // namespace

BVApiClientAuthContext::BVApiClientAuthContext(std::shared_ptr<BVUserSessionItem> session)
    : session_(std::move(session)) {}

std::shared_ptr<BVUserSessionItem> BVApiClientAuthContext::session() const {
    std::lock_guard lock(sessionLock_);
    return session_;
}

void BVApiClientAuthContext::setSession(std::shared_ptr<BVUserSessionItem> session) {
    std::lock_guard lock(sessionLock_);
    session_ = std::move(session);
}

bool BVApiClientAuthContext::takesSessionInPath(const std::string& endpoint,
                                                const std::string& method) {
    const SessionInPath* entry = entryFor(endpoint);
    return entry && (entry->method == "*" || entry->method == method);
}

bool BVApiClientAuthContext::preFill(BVApiRequest& request, BVApiClient*, bv::Error* error) {
    auto current = session();
    if (!current) {
        fillContextError(error, kErrorNoSession, "No signed-in session.");
        return false;
    }
    return updateRequest(request, *current, error);
}

bool BVApiClientAuthContext::updateRequest(BVApiRequest& request, const BVUserSessionItem& session,
                                           bv::Error*) {
    const std::string& sessionId = session.sessionId;
    if (sessionId.empty()) {
        const SessionInPath* entry = entryFor(request.endpoint());
        BVLog("sessionId assigned, %@",
              entry ? std::string(entry->endpoint) + " " + std::string(entry->method)
                    : std::string("(null)"));
    }
    if (takesSessionInPath(request.endpoint(), request.method())) {
        auto& arguments = request.arguments();
        arguments.insert(arguments.begin(), sessionId);
        return true;
    }
    auto& parameters = request.parameters();
    if (!parameters || !parameters->is_object())
        parameters = nlohmann::json::object();
    (*parameters)["session_id"] = sessionId;
    return true;
}
