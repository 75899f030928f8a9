#include "ApiCall.h"

#include <charconv>

#include "ServiceError.h"

namespace bvserver {

std::optional<std::string> ApiCall::param(const std::string& key) const {
    auto it = params.find(key);
    if (it == params.end() || it->is_null())
        return std::nullopt;
    if (it->is_string())
        return it->get<std::string>();
    return it->dump();
}

std::string ApiCall::required(const std::string& key) const {
    auto v = param(key);
    if (!v)
        throw ServiceError(kBadRequest, "Missing parameter: " + key);
    return *v;
}

std::optional<int64_t> ApiCall::integer(const std::string& key) const {
    auto v = param(key);
    if (!v)
        return std::nullopt;
    int64_t out = 0;
    auto [p, ec] = std::from_chars(v->data(), v->data() + v->size(), out);
    if (ec != std::errc() || p != v->data() + v->size()) {
        // "12.0" and friends come from clients that print doubles.
        double d = 0;
        auto [q, ec2] = std::from_chars(v->data(), v->data() + v->size(), d);
        if (ec2 != std::errc() || q != v->data() + v->size() || d < -9e18 || d > 9e18) {
            throw ServiceError(kBadRequest, "Invalid parameter: " + key);
        }
        out = static_cast<int64_t>(d);
    }
    return out;
}

int64_t ApiCall::requiredInteger(const std::string& key) const {
    auto v = integer(key);
    if (!v)
        throw ServiceError(kBadRequest, "Missing parameter: " + key);
    return *v;
}

const std::string& ApiCall::arg(size_t index, const char* what) const {
    if (index >= args.size())
        throw ServiceError(kBadRequest, std::string("Missing argument: ") + what);
    return args[index];
}

}  // namespace bvserver
