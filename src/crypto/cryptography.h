#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace bv_crypt {

// The record codec: keys from passwords, IVs from seeds, and one-shot encryption and
// decryption of single records (see record_cipher for the layout). Everything throws
// CBrimvaultException on failure.
class cryptography {
  public:
    static constexpr int kVersion = 256;
    static constexpr std::size_t kKeySize = 32;

    // out receives the first len bytes of SHA-256(password); answers 32 (also when out is
    // nullptr, which only asks for the size).
    static std::size_t create_key(std::string_view password, std::uint8_t* out, std::size_t len);
    static void create_random_data(std::uint8_t* buf, std::size_t len);
    // Four random bytes as a little-endian integer; may be zero.
    static std::uint32_t create_iv_key();
    // out receives the first out_len bytes of the IV derived from seed and key; answers the
    // AES block size 16 (also when out is nullptr).
    static std::size_t create_iv(std::uint32_t seed, const std::uint8_t* key, std::size_t key_len,
                                 std::uint8_t* out, std::size_t out_len);

    // Plaintext bytes per record (1024); "Cryptography: Invalid version" for any version
    // other than 256.
    static std::size_t get_block_size(int version);
    // Size of the record of one full plaintext block (1082).
    static std::size_t get_encrypted_block_size(int version);
    // Stored size of a file of `size` plaintext bytes cut into blocks.
    static std::uint64_t calculate_encrypted_size(std::uint64_t size, int version);

    // Both answer the output length; with out == nullptr they only answer the room needed
    // (encryption: the record length; decryption: record_len - 10).
    static std::size_t encrypt(const std::uint8_t* plain, std::size_t plain_len, std::uint8_t* out,
                               std::size_t out_cap, const std::uint8_t* key, std::size_t key_len);
    static std::size_t decrypt(const std::uint8_t* record, std::size_t record_len,
                               std::uint8_t* out, std::size_t out_cap, const std::uint8_t* key,
                               std::size_t key_len);
};

}  // namespace bv_crypt
