#pragma once

#include <string>

#include "platform/Data.h"
#include "platform/Error.h"

namespace bv {

// Writes a whole file so that a failure is never taken for success.
class WholeFile {
  public:
    // A new file, or a regular file (through a symbolic link too), is written to a new file
    // beside it, synced, closed and only then renamed over it: the destination holds its old
    // or its whole new content, and a replaced file keeps its mode. A destination that is
    // not a regular file (a device such as /dev/full, a pipe) is written directly, every
    // write and the close checked. False with *error (domain "NSPOSIXErrorDomain", errno,
    // the reason naming the path) when anything failed; no temporary file is left behind.
    static bool write(const std::string& path, const Data& bytes, Error* error);
};

}  // namespace bv
