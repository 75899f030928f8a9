#pragma once

#include <cstdint>
#include <memory>

#include "platform/Data.h"

// One chunk as the service received it: its offset among the uploaded bytes and the bytes
// themselves (encrypted when the file is), kept so that a service that lost them can be
// sent them again. The bytes are those that were sent, shared, not a copy.
struct BVUploadChunk {
    uint64_t offset = 0;
    std::shared_ptr<const bv::Data> data;
};
