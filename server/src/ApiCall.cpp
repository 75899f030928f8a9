#include "ApiCall.h"

#include <charconv>
#include <cmath>

#include "ServiceError.h"

namespace bvserver {

namespace {
// Walks a body without building it and stops at the first container nested too deeply, so
// a hostile body costs neither stack nor memory.
class DepthCheck : public nlohmann::json_sax<nlohmann::json> {
  public:
    explicit DepthCheck(int maxDepth) : maxDepth_(maxDepth) {}

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool key(string_t&) override { return true; }
    bool start_object(std::size_t) override { return ++depth_ <= maxDepth_; }
    bool end_object() override { return --depth_, true; }
    bool start_array(std::size_t) override { return ++depth_ <= maxDepth_; }
    bool end_array() override { return --depth_, true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    int maxDepth_;
    int depth_ = 0;
};

ServiceError invalid(const std::string& key) {
    return ServiceError(kBadRequest, "Invalid parameter: " + key);
}
}  // namespace

void ApiCall::readParameters(const httplib::Params& query, const std::string* jsonBody) {
    for (const auto& [key, value] : query) {
        if (!params.contains(key))
            params[key] = value;
    }
    if (!jsonBody)
        return;
    DepthCheck check(kMaxBodyDepth);
    if (!nlohmann::json::sax_parse(*jsonBody, &check))
        throw ServiceError(kBadRequest, "Malformed JSON body");
    auto body = nlohmann::json::parse(*jsonBody, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        throw ServiceError(kBadRequest, "Malformed JSON body");
    for (auto& [key, value] : body.items())
        params[key] = std::move(value);
}

std::optional<std::string> ApiCall::param(const std::string& key) const {
    auto it = params.find(key);
    if (it == params.end() || it->is_null())
        return std::nullopt;
    switch (it->type()) {
        case nlohmann::json::value_t::string:
            return it->get<std::string>();
        case nlohmann::json::value_t::boolean:
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
            return it->dump();
        case nlohmann::json::value_t::number_float:
            if (!std::isfinite(it->get<double>()))
                throw invalid(key);
            return it->dump();
        default:
            throw invalid(key);
    }
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
        // "12.0" and friends come from clients that print doubles; "nan" and "inf" parse
        // as doubles too and have no integer value.
        double d = 0;
        auto [q, ec2] = std::from_chars(v->data(), v->data() + v->size(), d);
        if (ec2 != std::errc() || q != v->data() + v->size() || !std::isfinite(d) || d < -9e18 ||
            d > 9e18) {
            throw invalid(key);
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
