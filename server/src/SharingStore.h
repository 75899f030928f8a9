#pragma once

#include <optional>
#include <string>
#include <vector>

#include "MetadataStore.h"
#include "TreeQueries.h"

namespace bvserver {

struct ShareRecord {
    int64_t id = 0;
    std::string userName;  // the other side: the recipient, or the sharer
    int64_t mode = 0;      // 0 read only, anything else read and write
};

struct SharedFolder {
    FolderRow folder;
    bool encrypted = false;
    int64_t mode = 0;
};

// Folders that one user shares with another, and the request contexts built on them.
class SharingStore {
  public:
    explicit SharingStore(MetadataStore& store) : store_(store) {}

    // The context for a request of `actor`: its own drive without a sharing id, else the
    // sharer's drive limited to what the shares of that sharer with the actor reach (each
    // folder with the mode of the shares that cover it). Throws 404 for an unknown id.
    Access access(int64_t actor, const std::string& sessionId,
                  const std::optional<std::string>& sharingId);

    // Shares (or re-shares with a new mode) a folder of the owner; answers the folder's
    // new change stamp.
    int64_t share(const Access& owner, const std::string& folderId, const std::string& userName,
                  int64_t mode);
    std::vector<ShareRecord> usersOf(const Access& owner, const std::string& folderId);
    // The owner or the recipient ends a share; answers a change stamp.
    int64_t remove(int64_t actor, const std::string& sharingId);
    void setMode(int64_t actor, const std::string& sharingId, int64_t mode);

    // One record per user who shares at least one folder with `actor`; its id is the
    // sharing id of that user's folders.
    std::vector<ShareRecord> sharers(int64_t actor);
    std::vector<SharedFolder> foldersSharedBy(int64_t actor, const std::string& sharingId);

  private:
    MetadataStore& store_;
};

}  // namespace bvserver
