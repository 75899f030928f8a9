#pragma once

#include <filesystem>

#include "AccountStore.h"
#include "ContentStore.h"
#include "FaultInjector.h"
#include "FileTree.h"
#include "MetadataStore.h"
#include "SecureFolderStore.h"
#include "ServiceClock.h"
#include "ServiceLimits.h"
#include "SharingStore.h"
#include "UploadSessions.h"

namespace bvserver {

// Everything the handlers work on, for one data folder.
struct Services {
    explicit Services(const std::filesystem::path& dataDir, ServiceLimits limits = {})
        : dataDir(dataDir),
          limits(limits),
          metadata(dataDir / "metadata.sqlite"),
          accounts(metadata, clock, this->limits),
          tree(metadata),
          sharing(metadata),
          secure(metadata),
          content(dataDir, this->limits.syncContents),
          uploads(content, clock, this->limits) {}

    std::filesystem::path dataDir;
    const ServiceLimits limits;
    ServiceClock clock;
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
