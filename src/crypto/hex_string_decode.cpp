#include "crypto/hex_string_decode.h"

namespace bv_crypt {

namespace {

int digit_value(std::uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::int64_t hex_string_decode::process_data(const std::uint8_t* in, std::size_t in_len,
                                             std::uint8_t* out, std::size_t out_cap) {
    std::size_t n = in_len / 2;
    if (in_len < 2 || in == nullptr || out == nullptr || out_cap < n)
        return -1;
    for (std::size_t i = 0; i < n; ++i) {
        int high = digit_value(in[2 * i]);
        int low = digit_value(in[2 * i + 1]);
        if (high < 0 || low < 0)
            return -1;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return static_cast<std::int64_t>(n);
}

std::int64_t hex_string_decode::process_data_final(const std::uint8_t* in, std::size_t in_len,
                                                   std::uint8_t* out, std::size_t out_cap,
                                                   std::size_t* /*extra_out*/) {
    return process_data(in, in_len, out, out_cap);
}

}  // namespace bv_crypt
