#pragma once

#include <string>

#include "MetadataStore.h"
#include "TreeQueries.h"

namespace bvserver {

// The verifier of each account's "Secure Files" folder and the sessions that passed it. The
// service keeps the client's opaque data and hash; it never sees a password or a key.
class SecureFolderStore {
  public:
    explicit SecureFolderStore(MetadataStore& store) : store_(store) {}

    // Stores data and hash for the secure folder that holds `folderId` (once) and admits
    // the calling session.
    void init(const Access& access, const std::string& folderId, const std::string& data,
              const std::string& hash);
    // The stored data; throws the "key to be set" refusal when there is none.
    std::string data(const Access& access, const std::string& folderId);
    // Admits the session when the hash matches; throws otherwise.
    void authenticate(const Access& access, const std::string& folderId, const std::string& hash);

  private:
    MetadataStore& store_;
};

}  // namespace bvserver
