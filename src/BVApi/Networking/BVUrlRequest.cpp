#include "BVApi/Networking/BVUrlRequest.h"

#include <strings.h>

std::string BVUrlRequest::headerValue(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    return {};
}
