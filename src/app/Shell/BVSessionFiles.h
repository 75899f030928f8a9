#pragma once

#include <cstdint>
#include <string>

#include "BVApi/Content/BVUserItems.h"

// The five files written after every sign-in for Keelhaven and the uninstaller, each at
// bv::bvTmpPath(<its fixed name>) (Utilities names them), created anew owner-only (0600),
// never through a link.
class BVSessionFiles {
  public:
    // False when any could not be written (each failure is logged).
    static bool write(const BVUserSessionItem& session, uint64_t uploadSpeedLimit);
    // Writes exactly bytes to a new file at path, replacing what was there (never
    // following a link). False on any failure.
    static bool writeFreshFile(const std::string& path, const std::string& bytes);
};
