#include "crypto/hex_string_encode.h"

namespace bv_crypt {

std::int64_t hex_string_encode::process_data(const std::uint8_t* in, std::size_t in_len,
                                             std::uint8_t* out, std::size_t out_cap) {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (out_cap / 2 < in_len || (in_len != 0 && (in == nullptr || out == nullptr)))
        return -1;
    for (std::size_t i = 0; i < in_len; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(kDigits[in[i] >> 4]);
        out[2 * i + 1] = static_cast<std::uint8_t>(kDigits[in[i] & 0x0f]);
    }
    return static_cast<std::int64_t>(2 * in_len);
}

std::int64_t hex_string_encode::process_data_final(const std::uint8_t* in, std::size_t in_len,
                                                   std::uint8_t* out, std::size_t out_cap,
                                                   std::size_t* /*extra_out*/) {
    if (out == nullptr || out_cap == 0)
        return -1;
    std::int64_t written = process_data(in, in_len, out, out_cap - 1);
    if (written < 0)
        return -1;
    out[written] = 0;
    return written + 1;
}

}  // namespace bv_crypt
