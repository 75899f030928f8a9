#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/algorithm.h"

namespace bv_crypt {

class digest_algorithm : public algorithm {
  public:
    virtual std::size_t get_digest_size() const = 0;
    virtual void update(const std::uint8_t* data, std::size_t len) = 0;
    // Writes the digest of everything given to update since the last final, and starts a
    // new digest. out_len must be at least get_digest_size().
    virtual void final(std::uint8_t* out, std::size_t out_len) = 0;
};

}  // namespace bv_crypt
