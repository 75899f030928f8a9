#include "tools/TerminalText.h"

#include <utf8proc.h>

#include <cstdio>

namespace {

bool isBidirectionalControl(utf8proc_int32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

bool needsEscape(utf8proc_int32_t c) {
    utf8proc_category_t category = utf8proc_category(c);
    return category == UTF8PROC_CATEGORY_CC || category == UTF8PROC_CATEGORY_ZL ||
           category == UTF8PROC_CATEGORY_ZP || isBidirectionalControl(c);
}

std::string escaped(utf8proc_int32_t c) {
    switch (c) {
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        case 0x1B:
            return "\\e";
    }
    char text[16];
    if (c < 0x80)
        std::snprintf(text, sizeof text, "\\x%02X", unsigned(c));
    else
        std::snprintf(text, sizeof text, "\\u{%04X}", unsigned(c));
    return text;
}

}  // namespace

std::string terminalSafe(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    size_t at = 0;
    while (at < text.size()) {
        utf8proc_int32_t c = -1;
        utf8proc_ssize_t length =
            utf8proc_iterate(bytes + at, utf8proc_ssize_t(text.size() - at), &c);
        if (length <= 0 || c < 0) {
            char byte[8];
            std::snprintf(byte, sizeof byte, "\\x%02X", unsigned(bytes[at]));
            shown += byte;
            ++at;
            continue;
        }
        if (c == '\\')
            shown += "\\\\";
        else if (needsEscape(c))
            shown += escaped(c);
        else
            shown.append(text.substr(at, size_t(length)));
        at += size_t(length);
    }
    return shown;
}
