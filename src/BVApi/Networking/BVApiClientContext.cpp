#include "BVApi/Networking/BVApiClientContext.h"

#include "BVApi/Networking/BVApiRequest.h"

bool BVApiClientContext::preFill(BVApiRequest&, BVApiClient*, bv::Error*) {
    return true;
}

nlohmann::json BVApiClientContext::postFill(nlohmann::json response, BVApiClient*, BVApiRequest&,
                                            bv::Error*) {
    return response;
}

void BVApiClientContext::fillContextError(bv::Error* error, int64_t code,
                                          const std::string& reason) {
    if (!error)
        return;
    bv::Error replacement = bv::Error::make(code, reason);
    if (error->isSet())
        replacement.setUnderlying(*error);
    *error = std::move(replacement);
}
