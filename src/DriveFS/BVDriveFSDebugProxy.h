#pragma once

#include "DriveFS/BVDriveFS.h"

// The object handed to the file-system layer. It adds nothing: every call is BVDriveFS's.
// It exists so that a debugging build can interpose on calls in one place.
class BVDriveFSDebugProxy : public BVDriveFS {
  public:
    using BVDriveFS::BVDriveFS;
};
