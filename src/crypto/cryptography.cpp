#include "crypto/cryptography.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "crypto/CBrimvaultException.h"
#include "crypto/rand_data.h"
#include "crypto/record_cipher.h"

namespace bv_crypt {

std::size_t cryptography::create_key(std::string_view password, std::uint8_t* out,
                                     std::size_t len) {
    if (out == nullptr)
        return kKeySize;
    auto key = sha256::of(reinterpret_cast<const std::uint8_t*>(password.data()), password.size());
    std::memcpy(out, key.data(), std::min(len, key.size()));
    OPENSSL_cleanse(key.data(), key.size());
    return kKeySize;
}

void cryptography::create_random_data(std::uint8_t* buf, std::size_t len) {
    rand_data::generate(buf, len);
}

std::uint32_t cryptography::create_iv_key() {
    std::uint8_t bytes[4];
    rand_data::generate(bytes, sizeof(bytes));
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::size_t cryptography::create_iv(std::uint32_t seed, const std::uint8_t* key,
                                    std::size_t key_len, std::uint8_t* out, std::size_t out_len) {
    if (out == nullptr)
        return record_cipher::kIvSize;
    if (key == nullptr && key_len != 0)
        throw CBrimvaultException("aes::set_key: invalid argument");
    sha256 hash;
    auto iv = record_cipher::derive_iv(seed, key, key_len, hash);
    std::memcpy(out, iv.data(), std::min(out_len, iv.size()));
    OPENSSL_cleanse(iv.data(), iv.size());
    return record_cipher::kIvSize;
}

std::size_t cryptography::get_block_size(int version) {
    if (version != kVersion)
        throw CBrimvaultException("Cryptography: Invalid version");
    return 1024;
}

std::size_t cryptography::get_encrypted_block_size(int version) {
    return record_cipher::encrypted_size(get_block_size(version));
}

std::uint64_t cryptography::calculate_encrypted_size(std::uint64_t size, int version) {
    std::uint64_t block = get_block_size(version);
    std::uint64_t total = size / block * get_encrypted_block_size(version);
    if (size % block != 0)
        total += record_cipher::encrypted_size(size % block);
    return total;
}

std::size_t cryptography::encrypt(const std::uint8_t* plain, std::size_t plain_len,
                                  std::uint8_t* out, std::size_t out_cap, const std::uint8_t* key,
                                  std::size_t key_len) {
    if (out == nullptr)
        return record_cipher::encrypted_size(plain_len);
    record_cipher cipher(key, key_len);
    return cipher.encrypt(plain, plain_len, out, out_cap);
}

std::size_t cryptography::decrypt(const std::uint8_t* record, std::size_t record_len,
                                  std::uint8_t* out, std::size_t out_cap, const std::uint8_t* key,
                                  std::size_t key_len) {
    if (out == nullptr)
        return record_len < record_cipher::kHeaderSize ? 0
                                                       : record_len - record_cipher::kHeaderSize;
    record_cipher cipher(key, key_len);
    return cipher.decrypt(record, record_len, out, out_cap);
}

}  // namespace bv_crypt
