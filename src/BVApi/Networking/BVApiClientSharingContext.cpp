#include "BVApi/Networking/BVApiClientSharingContext.h"

#include "BVApi/Networking/BVApiRequest.h"

bool BVApiClientSharingContext::preFill(BVApiRequest& request, BVApiClient* client,
                                        bv::Error* error) {
    if (!BVApiClientAuthContext::preFill(request, client, error))
        return false;
    auto& parameters = request.parameters();
    if (!parameters || !parameters->is_object())
        parameters = nlohmann::json::object();
    if (!sourceSharingId.empty() && !destinationSharingId.empty()) {
        (*parameters)["src_sharing_id"] = sourceSharingId;
        (*parameters)["dst_sharing_id"] = destinationSharingId;
        return true;
    }
    if (!sharingId.empty()) {
        if (request.endpoint() == "sharing/listsharedfolders.json") {
            auto& arguments = request.arguments();
            arguments.insert(arguments.begin() + (arguments.empty() ? 0 : 1), sharingId);
        } else {
            (*parameters)["sharing_id"] = sharingId;
        }
        return true;
    }
    fillContextError(error, kErrorNoSharingId, "No sharing identifier.");
    return false;
}
