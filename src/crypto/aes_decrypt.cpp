#include "crypto/aes_decrypt.h"

#include "crypto/CBrimvaultException.h"

namespace bv_crypt {

std::int64_t aes_decrypt::process_data_final(const std::uint8_t* in, std::size_t in_len,
                                             std::uint8_t* out, std::size_t out_cap,
                                             std::size_t* extra_out) {
    if (in_len % kBlockSize != 0)
        throw CBrimvaultException("aes::process_data: invalid input size");
    if (out_cap < in_len)
        throw CBrimvaultException("aes::process_data: out of memory");
    transform(in, in_len, out);
    if (extra_out != nullptr)
        *extra_out = in_len == 0 ? 0 : out[in_len - 1];
    return static_cast<std::int64_t>(in_len);
}

}  // namespace bv_crypt
