#include "platform/Error.h"

namespace bv {

Error::Error(std::string domain, int64_t code, ErrorUserInfo userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

Error Error::make(int64_t code, const std::string& failureReason) {
    Error e(kBVErrorDomain, code);
    if (!failureReason.empty()) e.setInfo(kFailureReasonKey, failureReason);
    return e;
}

std::string Error::failureReason() const {
    auto it = userInfo_.find(kFailureReasonKey);
    if (it == userInfo_.end()) return {};
    if (auto* s = std::get_if<std::string>(&it->second)) return *s;
    return {};
}

std::string Error::localizedDescription() const {
    auto it = userInfo_.find(kLocalizedDescriptionKey);
    if (it != userInfo_.end()) {
        if (auto* s = std::get_if<std::string>(&it->second)) return *s;
    }
    return failureReason();
}

std::shared_ptr<const Error> Error::underlyingError() const {
    auto it = userInfo_.find(kUnderlyingErrorKey);
    if (it == userInfo_.end()) return nullptr;
    if (auto* e = std::get_if<std::shared_ptr<const Error>>(&it->second)) return *e;
    return nullptr;
}

std::optional<int64_t> Error::integerInfo(const std::string& key) const {
    auto it = userInfo_.find(key);
    if (it == userInfo_.end()) return std::nullopt;
    if (auto* v = std::get_if<int64_t>(&it->second)) return *v;
    return std::nullopt;
}

void Error::setUnderlying(const Error& underlying) {
    userInfo_[kUnderlyingErrorKey] = std::make_shared<const Error>(underlying);
}

std::string Error::description() const {
    if (!isSet()) return "(no error)";
    std::string text = "Error Domain=" + domain_ + " Code=" + std::to_string(code_);
    std::string reason = localizedDescription();
    if (!reason.empty()) text += " \"" + reason + "\"";
    if (auto under = underlyingError()) text += " (underlying: " + under->description() + ")";
    return text;
}

}  // namespace bv
