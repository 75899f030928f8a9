#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/algorithm.h"

namespace bv_crypt {

// A transform from an input buffer to a caller-supplied output buffer of out_cap bytes.
class filter : public algorithm {
  public:
    // Output room needed for n input bytes by process_data_final.
    virtual std::size_t calc_output_size(std::size_t n) const = 0;
    // Transforms what can be transformed without knowing the end of the input; answers the
    // number of bytes written.
    virtual std::int64_t process_data(const std::uint8_t* in, std::size_t in_len, std::uint8_t* out,
                                      std::size_t out_cap) = 0;
    // Transforms the last piece of the input; answers the number of bytes written. extra_out,
    // when given, receives a transform-specific side result.
    virtual std::int64_t process_data_final(const std::uint8_t* in, std::size_t in_len,
                                            std::uint8_t* out, std::size_t out_cap,
                                            std::size_t* extra_out) = 0;
};

}  // namespace bv_crypt
