#pragma once

#include <string>

#include "BVApi/Networking/BVApiClientAuthContext.h"

// The context of content inside folders that other users share with this user: after the
// session, adds the sharing identifiers. An empty text means "not set".
class BVApiClientSharingContext : public BVApiClientAuthContext {
  public:
    static constexpr int64_t kErrorNoSharingId = -198;

    using BVApiClientAuthContext::BVApiClientAuthContext;

    // Both source and destination set: "src_sharing_id" and "dst_sharing_id". Otherwise
    // sharingId: the second path argument of "sharing/listsharedfolders.json", else the
    // parameter "sharing_id". Neither: -198, nothing changed but the parameters' presence.
    bool preFill(BVApiRequest& request, BVApiClient* client, bv::Error* error) override;

    std::string sharingId;
    std::string sourceSharingId;
    std::string destinationSharingId;
};
