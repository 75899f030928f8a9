#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Error.h"

class BVApiClient;
class BVApiClientAuthContext;
class BVCacheController;

// What listing a secure folder needs from the password flow: one gate per folder and request
// context, opening the folder at the service with the user's password.
class BVSecureFolderGate {
  public:
    virtual ~BVSecureFolderGate() = default;
    // Opens the folder with its password (held key, saved password or the user's answer);
    // false when the user cancelled or the service refused.
    virtual bool requestPassword() = 0;
    // Asks for a new password and sets the folder up with it; false as above.
    virtual bool setupPassword() = 0;
    // Why the last request or set-up failed; empty after a cancel.
    virtual bv::Error error() const = 0;

    // Makes the gate of a folder; the cache and client are the content controller's.
    using Factory = std::function<std::shared_ptr<BVSecureFolderGate>(
        const std::string& folderId, const std::shared_ptr<BVApiClientAuthContext>& context,
        const std::shared_ptr<BVCacheController>& cache, BVApiClient* client)>;
};
