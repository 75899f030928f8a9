#pragma once

#include <cstdint>

#include "platform/Data.h"

// One chunk as the service received it: its offset among the uploaded bytes and the bytes
// themselves (encrypted when the file is), kept so that a service that lost them can be
// sent them again.
struct BVUploadChunk {
    uint64_t offset = 0;
    bv::Data data;
};
