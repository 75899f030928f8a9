#include "crypto/aes_encrypt.h"

#include <openssl/crypto.h>

#include <array>
#include <cstring>

#include "crypto/CBrimvaultException.h"

namespace bv_crypt {

std::int64_t aes_encrypt::process_data_final(const std::uint8_t* in, std::size_t in_len,
                                             std::uint8_t* out, std::size_t out_cap,
                                             std::size_t* /*extra_out*/) {
    std::size_t whole = whole_blocks(in_len);
    if (out_cap < whole + kBlockSize)
        throw CBrimvaultException("aes::process_data: out of memory");
    transform(in, whole, out);
    std::size_t rest = in_len - whole;
    std::array<std::uint8_t, kBlockSize> last;
    if (rest != 0)
        std::memcpy(last.data(), in + whole, rest);
    std::memset(last.data() + rest, static_cast<int>(kBlockSize - rest), kBlockSize - rest);
    transform(last.data(), kBlockSize, out + whole);
    OPENSSL_cleanse(last.data(), last.size());
    return static_cast<std::int64_t>(whole + kBlockSize);
}

}  // namespace bv_crypt
