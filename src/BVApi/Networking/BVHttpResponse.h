#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The head of an HTTP answer.
struct BVHttpResponse {
    long statusCode = 0;
    // Header lines in arrival order, names as sent.
    std::vector<std::pair<std::string, std::string>> headers;
    // The announced Content-Length, or -1 when none was announced.
    int64_t expectedContentLength = -1;
    std::string url;

    // The value of the first header with that name (case-insensitive), or empty.
    std::string headerValue(const std::string& name) const;
    // Parses one raw header line ("Name: value\r\n"); a status line starts a new head.
    void addHeaderLine(std::string_view line);
};
