#pragma once

#include <cstddef>
#include <cstdint>

namespace bv_crypt {

// Cryptographically strong random bytes.
class rand_data {
  public:
    // Fills buf; throws CBrimvaultException when the generator fails.
    static void generate(std::uint8_t* buf, std::size_t len);
};

}  // namespace bv_crypt
