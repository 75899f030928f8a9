#pragma once

#define FUSE_USE_VERSION 312
#include <fuse.h>

// The libfuse operation table of the volume: one adapter per callback, each turning the C
// arguments into a BVDriveFS call (the fuse's private data) and its answer into 0 or -errno.
// No exception leaves an adapter: anything thrown answers -EIO and is logged.
class BVFuseOperations {
  public:
    static const fuse_operations& table();
};
