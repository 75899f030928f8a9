#include "BVApi/Content/BVUnicodeNames.h"

#include <cstdlib>
#include <memory>

#include <utf8proc.h>

namespace {

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

std::string asciiLowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = asciiLower(c);
    return out;
}

utf8proc_int32_t lowerCodePoint(utf8proc_int32_t cp, void*) {
    return utf8proc_tolower(cp);
}

// utf8proc_map with an optional per-code-point mapping; nothing when the text is not UTF-8.
bool mapText(std::string_view text, utf8proc_option_t options, utf8proc_custom_func custom,
             std::string& out) {
    utf8proc_uint8_t* mapped = nullptr;
    auto length =
        utf8proc_map_custom(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                            utf8proc_ssize_t(text.size()), &mapped, options, custom, nullptr);
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(mapped, &std::free);
    if (length < 0)
        return false;
    out.assign(reinterpret_cast<const char*>(mapped), size_t(length));
    return true;
}

constexpr auto kDecompose = utf8proc_option_t(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE);

}  // namespace

bool BVUnicodeNames::isAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

std::string BVUnicodeNames::decomposed(std::string_view text) {
    std::string out(text);
    decomposeInPlace(out);
    return out;
}

void BVUnicodeNames::decomposeInPlace(std::string& text) {
    if (isAscii(text))
        return;
    std::string out;
    if (mapText(text, kDecompose, nullptr, out))
        text = std::move(out);
}

std::string BVUnicodeNames::lowercased(std::string_view text) {
    if (isAscii(text))
        return asciiLowercased(text);
    std::string out;
    if (mapText(text, kDecompose, &lowerCodePoint, out))
        return out;
    return asciiLowercased(text);
}

bool BVUnicodeNames::lowercasedEquals(std::string_view text, std::string_view lowered) {
    if (isAscii(text)) {
        if (text.size() != lowered.size())
            return false;
        for (size_t i = 0; i < text.size(); ++i) {
            if (asciiLower(text[i]) != lowered[i])
                return false;
        }
        return true;
    }
    return lowercased(text) == lowered;
}
