#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Data.h"
#include "platform/InputStream.h"

// A fully built HTTP request: what goes on the wire, nothing more. Built once per
// BVApiRequest and reused by every retry.
struct BVUrlRequest {
    std::string url;
    std::string method;
    std::vector<std::pair<std::string, std::string>> headers;
    // The body held in memory; null when there is none.
    std::shared_ptr<const bv::Data> body;
    // A streamed body, used when `body` is null.
    std::shared_ptr<bv::InputStream> stream;
    // Seconds without progress after which an attempt is abandoned.
    double timeout = 240;
    // PEM file of extra trusted authorities; empty for the system's only.
    std::string caFile;

    // The value of the first header with that name (case-insensitive), or empty.
    std::string headerValue(const std::string& name) const;
};
