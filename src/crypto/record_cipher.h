#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/aes_decrypt.h"
#include "crypto/aes_encrypt.h"
#include "crypto/sha256.h"

namespace bv_crypt {

// Encrypts and decrypts single records under one key. A record is: total length (4 bytes),
// version 256 (2 bytes), a non-zero IV seed (4 bytes), all little-endian, then the AES-CBC
// ciphertext of plaintext + SHA-256(plaintext) + PKCS#7 padding. The IV is never stored:
// it is the first 16 bytes of SHA-256(key[0], key[2], ... , seed bytes as stored).
//
// Keeping one object for a stream of records saves the key set-up per record. The key is
// copied and wiped on destruction; it is checked at the first record, so a bad key gives
// the same errors as the cipher's set_key. Not thread-safe: one object per stream.
class record_cipher {
  public:
    static constexpr std::size_t kHeaderSize = 10;
    static constexpr std::uint16_t kVersion = 256;
    static constexpr std::size_t kDigestSize = sha256::kDigestSize;
    static constexpr std::size_t kIvSize = aes_cipher::kBlockSize;

    record_cipher(const std::uint8_t* key, std::size_t key_len);
    ~record_cipher();
    record_cipher(const record_cipher&) = delete;
    record_cipher& operator=(const record_cipher&) = delete;

    // Size of the record holding plain_len bytes.
    static std::size_t encrypted_size(std::size_t plain_len);

    // Writes the record of plain into out and answers its length. Throws "Encryption:
    // Invalid output size" when out_cap is smaller than encrypted_size(plain_len).
    std::size_t encrypt(const std::uint8_t* plain, std::size_t plain_len, std::uint8_t* out,
                        std::size_t out_cap);
    // The same with a given seed (zero is refused): records become reproducible.
    std::size_t encrypt_with_seed(std::uint32_t seed, const std::uint8_t* plain,
                                  std::size_t plain_len, std::uint8_t* out, std::size_t out_cap);

    // Decrypts one record into out, which must hold record_len - 10 bytes (plaintext,
    // digest and padding pass through it), and answers the plaintext length. On any
    // failure out holds nothing of the record: a wrong key ends in a "Password Error" text.
    std::size_t decrypt(const std::uint8_t* record, std::size_t record_len, std::uint8_t* out,
                        std::size_t out_cap);

    // The IV for a seed under a key (the derivation above).
    static std::array<std::uint8_t, kIvSize> derive_iv(std::uint32_t seed, const std::uint8_t* key,
                                                       std::size_t key_len, sha256& hash);

  private:
    std::uint32_t next_seed();
    aes_encrypt& encryptor();
    aes_decrypt& decryptor();

    std::vector<std::uint8_t> key_;
    std::unique_ptr<aes_encrypt> encrypt_;
    std::unique_ptr<aes_decrypt> decrypt_;
    sha256 hash_;
    // Seeds drawn in batches: one generator call per record costs as much as the cipher.
    std::array<std::uint32_t, 64> seeds_{};
    std::size_t seeds_left_ = 0;
};

}  // namespace bv_crypt
