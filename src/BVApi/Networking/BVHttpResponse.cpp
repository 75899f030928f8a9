#include "BVApi/Networking/BVHttpResponse.h"

#include <strings.h>

#include <charconv>

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::string BVHttpResponse::headerValue(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    return {};
}

void BVHttpResponse::addHeaderLine(std::string_view line) {
    if (line.starts_with("HTTP/")) {
        // An interim answer (100 Continue) or a new head: forget what came before.
        headers.clear();
        expectedContentLength = -1;
        auto space = line.find(' ');
        if (space != std::string_view::npos) {
            auto code = trimmed(line.substr(space + 1)).substr(0, 3);
            std::from_chars(code.data(), code.data() + code.size(), statusCode);
        }
        return;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return;
    std::string key(trimmed(line.substr(0, colon)));
    std::string value(trimmed(line.substr(colon + 1)));
    if (strcasecmp(key.c_str(), "Content-Length") == 0) {
        int64_t length = -1;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
        expectedContentLength =
            ec == std::errc() && end == value.data() + value.size() && length >= 0 ? length : -1;
    }
    headers.emplace_back(std::move(key), std::move(value));
}
