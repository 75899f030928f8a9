#pragma once

#include <string>

namespace bvserver {

// Lower-case hex text of `bytes` random bytes from the system's secure generator.
std::string randomHex(size_t bytes);

// A decimal code of exactly `digits` digits (leading zeros kept).
std::string randomDigits(int digits);

}  // namespace bvserver
