#pragma once

#include "crypto/aes_cipher.h"

namespace bv_crypt {

// AES encryption with PKCS#7 padding added by process_data_final.
class aes_encrypt : public aes_cipher {
  public:
    aes_encrypt() : aes_cipher(true) {}

    // Room for the padding, which always adds 1 to 16 bytes.
    std::size_t calc_output_size(std::size_t n) const override {
        return whole_blocks(n) + kBlockSize;
    }
    // Encrypts the whole blocks, then the remaining 0-15 bytes padded to one more block;
    // answers the total written. extra_out is not used.
    std::int64_t process_data_final(const std::uint8_t* in, std::size_t in_len, std::uint8_t* out,
                                    std::size_t out_cap, std::size_t* extra_out) override;
};

}  // namespace bv_crypt
