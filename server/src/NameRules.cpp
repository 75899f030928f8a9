#include "NameRules.h"

#include <utf8proc.h>

#include <cstdlib>

#include "ServiceError.h"

namespace bvserver {

namespace {
constexpr size_t kMaxNameBytes = 255;

bool mapName(const std::string& name, std::string* out) {
    utf8proc_uint8_t* mapped = nullptr;
    auto options =
        static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE | UTF8PROC_CASEFOLD);
    utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(name.data()),
                                      static_cast<utf8proc_ssize_t>(name.size()), &mapped, options);
    if (n < 0)
        return false;
    out->assign(reinterpret_cast<char*>(mapped), static_cast<size_t>(n));
    std::free(mapped);
    return true;
}

// Control characters would let a name rewrite the terminal or the log line it is shown in.
bool hasControlCharacter(const std::string& name) {
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(name.data());
    auto left = static_cast<utf8proc_ssize_t>(name.size());
    while (left > 0) {
        utf8proc_int32_t cp = 0;
        utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
        if (n <= 0)
            return true;
        if (utf8proc_category(cp) == UTF8PROC_CATEGORY_CC)
            return true;
        p += n;
        left -= n;
    }
    return false;
}
}  // namespace

bool NameRules::isValid(const std::string& name) {
    std::string ignored;
    return !name.empty() && name != "." && name != ".." && name.size() <= kMaxNameBytes &&
           name.find('/') == std::string::npos && mapName(name, &ignored) &&
           !hasControlCharacter(name);
}

void NameRules::validate(const std::string& name) {
    if (!isValid(name))
        throw ServiceError(kBadRequest, "Invalid file or folder name");
}

std::string NameRules::key(const std::string& name) {
    std::string out;
    if (!mapName(name, &out))
        return name;
    return out;
}

}  // namespace bvserver
