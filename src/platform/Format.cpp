#include "platform/Format.h"

#include <cctype>
#include <cstring>

namespace bv {

namespace {
// Length of the placeholder starting at fmt[pos] == '%', or 0 when it is not one.
size_t placeholderLength(std::string_view fmt, size_t pos) {
    size_t i = pos + 1;
    if (i >= fmt.size()) return 0;
    if (fmt[i] == '@') return 2;
    while (i < fmt.size() && std::strchr("-+ #0123456789.", fmt[i])) ++i;
    while (i < fmt.size() && std::strchr("hlqLzjt", fmt[i])) ++i;
    if (i < fmt.size() && std::strchr("diouxXeEfFgGaAcsp", fmt[i])) return i - pos + 1;
    return 0;
}
}  // namespace

std::string formatWithTexts(std::string_view fmt, const std::vector<std::string>& args) {
    std::string out;
    out.reserve(fmt.size() + 16 * args.size());
    size_t next = 0;
    for (size_t pos = 0; pos < fmt.size();) {
        char c = fmt[pos];
        if (c != '%') {
            out.push_back(c);
            ++pos;
            continue;
        }
        if (pos + 1 < fmt.size() && fmt[pos + 1] == '%') {
            out.push_back('%');
            pos += 2;
            continue;
        }
        size_t len = placeholderLength(fmt, pos);
        if (len == 0 || next >= args.size()) {
            out.push_back('%');
            ++pos;
            continue;
        }
        out += args[next++];
        pos += len;
    }
    return out;
}

}  // namespace bv
