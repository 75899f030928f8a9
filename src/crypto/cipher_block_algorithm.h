#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/filter.h"

namespace bv_crypt {

enum cipher_mode : int {
    mode_ecb = 1,
    mode_cbc = 2,
};

// A block cipher used as a filter. Whole blocks only: process_data leaves the bytes after
// the last whole block to the caller.
class cipher_block_algorithm : public filter {
  public:
    // Throws CBrimvaultException for a refused key length, a missing key or a mode other
    // than mode_ecb and mode_cbc.
    virtual void set_key(const std::uint8_t* key, std::size_t key_len, int mode) = 0;
    // Ignored in ECB mode; otherwise iv_len must be the block size.
    virtual void set_iv(const std::uint8_t* iv, std::size_t iv_len) = 0;
    virtual int get_mode() const = 0;
    virtual std::size_t get_block_size() const = 0;
};

}  // namespace bv_crypt
