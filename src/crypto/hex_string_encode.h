#pragma once

#include "crypto/filter.h"

namespace bv_crypt {

// Bytes to lower-case hexadecimal text, two characters per byte. Failures answer -1.
class hex_string_encode : public filter {
  public:
    int get_type() const override { return type_hex_string; }
    std::size_t calc_output_size(std::size_t n) const override { return 2 * n; }
    // Answers 2 * in_len, or -1 when out_cap is smaller.
    std::int64_t process_data(const std::uint8_t* in, std::size_t in_len, std::uint8_t* out,
                              std::size_t out_cap) override;
    // Like process_data followed by a terminating zero byte; answers the length including
    // it, or -1 when out_cap is smaller than 2 * in_len + 1.
    std::int64_t process_data_final(const std::uint8_t* in, std::size_t in_len, std::uint8_t* out,
                                    std::size_t out_cap, std::size_t* extra_out) override;
};

}  // namespace bv_crypt
