#include "BVApi/Cache/BVCacheFilter.h"

#include <cstdlib>

#include <utf8proc.h>

namespace {

bool isAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

std::string asciiLowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return out;
}

}  // namespace

BVCacheFilter BVCacheFilter::pathMatching(std::string_view path) {
    return BVCacheFilter(Kind::PathIgnoringCaseAndDiacritics, "path", folded(path));
}

BVCacheFilter BVCacheFilter::fieldEquals(std::string field, std::string value) {
    return BVCacheFilter(Kind::FieldEquals, std::move(field), std::move(value));
}

bool BVCacheFilter::matches(const nlohmann::json& meta) const {
    if (!meta.is_object())
        return false;
    auto it = meta.find(field_);
    if (it == meta.end() || !it->is_string())
        return false;
    const auto& text = it->get_ref<const std::string&>();
    if (kind_ == Kind::FieldEquals)
        return text == value_;
    return folded(text) == value_;
}

std::string BVCacheFilter::folded(std::string_view text) {
    if (isAscii(text))
        return asciiLowered(text);
    utf8proc_uint8_t* out = nullptr;
    auto options = utf8proc_option_t(UTF8PROC_DECOMPOSE | UTF8PROC_CASEFOLD | UTF8PROC_STRIPMARK);
    utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                      utf8proc_ssize_t(text.size()), &out, options);
    if (n < 0)
        return asciiLowered(text);
    std::string result(reinterpret_cast<char*>(out), size_t(n));
    std::free(out);
    return result;
}
