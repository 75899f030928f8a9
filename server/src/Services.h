#pragma once

#include <filesystem>

#include "AccountStore.h"
#include "ContentStore.h"
#include "FaultInjector.h"
#include "FileTree.h"
#include "MetadataStore.h"
#include "SecureFolderStore.h"
#include "SharingStore.h"
#include "UploadSessions.h"

namespace bvserver {

// Everything the handlers work on, for one data folder.
struct Services {
    explicit Services(const std::filesystem::path& dataDir)
        : dataDir(dataDir),
          metadata(dataDir / "metadata.sqlite"),
          accounts(metadata),
          tree(metadata),
          sharing(metadata),
          secure(metadata),
          content(dataDir),
          uploads(content) {}

    std::filesystem::path dataDir;
    MetadataStore metadata;
    AccountStore accounts;
    FileTree tree;
    SharingStore sharing;
    SecureFolderStore secure;
    ContentStore content;
    UploadSessions uploads;
    FaultInjector faults;
};

}  // namespace bvserver
