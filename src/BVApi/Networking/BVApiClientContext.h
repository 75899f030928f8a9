#pragma once

#include <nlohmann/json.hpp>

#include "platform/Error.h"

class BVApiClient;
class BVApiRequest;

// What a request needs from the caller's situation before it is sent (session, sharing
// identifiers) and what its answer needs afterwards. The base adds nothing.
class BVApiClientContext {
  public:
    BVApiClientContext() = default;
    virtual ~BVApiClientContext() = default;

    // Completes the request before it is sent; false (with *error set) when it must not be sent.
    virtual bool preFill(BVApiRequest& request, BVApiClient* client, bv::Error* error);
    // The answer as the operation should see it; the base answers it unchanged.
    virtual nlohmann::json postFill(nlohmann::json response, BVApiClient* client,
                                    BVApiRequest& request, bv::Error* error);

    // Replaces *error by an error of code, keeping what stood there as the underlying error.
    static void fillContextError(bv::Error* error, int64_t code, const std::string& reason);
};
