#pragma once

#include "crypto/aes_cipher.h"

namespace bv_crypt {

// AES decryption. Padding is reported, not removed: the caller knows what follows the data.
class aes_decrypt : public aes_cipher {
  public:
    aes_decrypt() : aes_cipher(false) {}

    std::size_t calc_output_size(std::size_t n) const override { return n; }
    // Decrypts all of the input, which must be whole blocks, and answers its length. The
    // last decrypted byte (the pad count of a padded message; 0 for empty input) goes to
    // *extra_out.
    std::int64_t process_data_final(const std::uint8_t* in, std::size_t in_len, std::uint8_t* out,
                                    std::size_t out_cap, std::size_t* extra_out) override;
};

}  // namespace bv_crypt
