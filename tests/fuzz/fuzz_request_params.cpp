// Fuzz target for the service's request parsing: a query string and a JSON body become the
// parameters of a call. Hostile bytes must never crash, recurse without bound or be taken
// for a value of the wrong kind; every refusal is a 400 service error.
//
// Input: the query text, a newline, then the body (no newline: no body).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ApiCall.h"
#include "ServiceError.h"

// Last: it defines the macro check().
#include "FuzzCheck.h"

namespace {

// Runs `fn`; answers false when it refused with a service error, which must be a 400.
template <class F>
bool accepted(F&& fn) {
    try {
        fn();
        return true;
    } catch (const bvserver::ServiceError& e) {
        check(e.code() == bvserver::kBadRequest);
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    auto newline = input.find('\n');
    std::string queryText = input.substr(0, newline);
    std::string body = newline == std::string::npos ? "" : input.substr(newline + 1);

    httplib::Params query;
    httplib::detail::parse_query_text(queryText, query);
    bvserver::ApiCall call;
    if (!accepted(
            [&] { call.readParameters(query, newline == std::string::npos ? nullptr : &body); })) {
        return 0;
    }
    check(call.params.is_object());
    for (auto it = call.params.begin(); it != call.params.end(); ++it) {
        const std::string& key = it.key();
        const nlohmann::json& value = it.value();
        bool unfit = value.is_structured() || value.is_binary() ||
                     (value.is_number_float() && !std::isfinite(value.get<double>()));
        std::optional<std::string> text;
        bool ok = accepted([&] { text = call.param(key); });
        check(ok != unfit);
        if (ok)
            check(text.has_value() == !value.is_null());
        if (ok && value.is_string())
            check(*text == value.get<std::string>());
        std::optional<int64_t> number;
        if (accepted([&] { number = call.integer(key); }))
            check(ok && number.has_value() == text.has_value());
        accepted([&] { call.required(key); });
    }
    // A query parameter stands unless the body gives the same key.
    for (const auto& entry : query)
        check(call.params.contains(entry.first));
    return 0;
}
