#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace bv {

class Error;

// A value held in an error's user-info map. monostate stands for an explicit null
// (the "nil" key that marks a missing underlying error).
using ErrorInfoValue =
    std::variant<std::monostate, std::string, int64_t, std::shared_ptr<const Error>>;
using ErrorUserInfo = std::map<std::string, ErrorInfoValue>;

inline constexpr const char* kFailureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kServerCodeKey = "BVApiClientServerCodeKey";

// The program's own error domain: literally the eight characters "__FILE__".
inline constexpr const char* kBVErrorDomain = "__FILE__";

// An error value: domain, code and user-info. A default-constructed Error means
// "no error"; operations fill an Error* out-parameter given by the caller, and some
// wrap what already stood there as the underlying error.
class Error {
public:
    Error() = default;
    Error(std::string domain, int64_t code, ErrorUserInfo userInfo = {});

    static Error make(int64_t code, const std::string& failureReason);

    explicit operator bool() const { return !domain_.empty(); }
    bool isSet() const { return !domain_.empty(); }

    const std::string& domain() const { return domain_; }
    int64_t code() const { return code_; }
    const ErrorUserInfo& userInfo() const { return userInfo_; }
    ErrorUserInfo& userInfo() { return userInfo_; }

    // Text under kFailureReasonKey, or empty.
    std::string failureReason() const;
    // Text under kLocalizedDescriptionKey, else the failure reason.
    std::string localizedDescription() const;
    std::shared_ptr<const Error> underlyingError() const;
    std::optional<int64_t> integerInfo(const std::string& key) const;
    bool hasInfo(const std::string& key) const { return userInfo_.count(key) != 0; }

    void setInfo(const std::string& key, ErrorInfoValue value) { userInfo_[key] = std::move(value); }
    void setUnderlying(const Error& underlying);

    // One-line text for logs: "Error Domain=<d> Code=<c> <reason>".
    std::string description() const;

private:
    std::string domain_;
    int64_t code_ = 0;
    ErrorUserInfo userInfo_;
};

// Stores err into *slot when the caller asked for it.
inline void setError(Error* slot, Error err) {
    if (slot) *slot = std::move(err);
}

}  // namespace bv
