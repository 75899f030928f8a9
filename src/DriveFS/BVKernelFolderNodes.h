#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Finds the node number by which the kernel knows a folder of the mounted volume, so that a
// name cached in that folder can be dropped: the kernel names a cached name's folder by node.
//
// Only the kernel's own caches are asked, never the daemon. The path walk is one that fails
// rather than look a name up or check a cached one, and the attributes are read as cached.
// A daemon that asked itself through its own mount could not answer once killed, and the
// kernel would then keep the killed process (and its mount) for good.
//
// A folder that cannot be walked to from the cache holds no cached names: a cached name
// keeps its folder's name cached. That holds only while cached names never fall due for a
// fresh look on their own (see BVMountOptions), because a due name fails the walk too.
class BVKernelFolderNodes {
  public:
    explicit BVKernelFolderNodes(std::string mountPoint);

    // The node number of the folder at the volume path; nullopt when the kernel holds no
    // name for it (or it is no folder).
    std::optional<uint64_t> nodeOfFolder(const std::string& folder) const;

  private:
    std::string mountPoint_;
};
