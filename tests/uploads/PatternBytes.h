#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Data.h"

namespace bvtest {

// Bytes that differ from position to position, so a misplaced piece shows.
inline bv::Data patternBytes(size_t size, int seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 131 + i / 4093 + seed) % 251);
    return bv::Data(std::move(bytes));
}

}  // namespace bvtest
