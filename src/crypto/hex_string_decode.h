#pragma once

#include "crypto/filter.h"

namespace bv_crypt {

// Hexadecimal text (either case) to bytes, one byte per pair of characters; an odd last
// character is ignored. Failures answer -1: input shorter than two characters, a character
// that is not a hexadecimal digit, or an output smaller than in_len / 2.
class hex_string_decode : public filter {
  public:
    int get_type() const override { return type_hex_string; }
    std::size_t calc_output_size(std::size_t n) const override { return n / 2; }
    std::int64_t process_data(const std::uint8_t* in, std::size_t in_len, std::uint8_t* out,
                              std::size_t out_cap) override;
    std::int64_t process_data_final(const std::uint8_t* in, std::size_t in_len, std::uint8_t* out,
                                    std::size_t out_cap, std::size_t* extra_out) override;
};

}  // namespace bv_crypt
