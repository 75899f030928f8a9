#include "crypto/record_cipher.h"

#include <openssl/crypto.h>

#include <cstring>
#include <limits>

#include "crypto/CBrimvaultException.h"
#include "crypto/rand_data.h"

namespace bv_crypt {

namespace {

void put_le(std::uint8_t* p, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t get_le(const std::uint8_t* p, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

}  // namespace

record_cipher::record_cipher(const std::uint8_t* key, std::size_t key_len)
    : key_(key, key == nullptr ? key : key + key_len) {}

record_cipher::~record_cipher() {
    OPENSSL_cleanse(key_.data(), key_.size());
    OPENSSL_cleanse(seeds_.data(), sizeof(seeds_));
}

std::size_t record_cipher::encrypted_size(std::size_t plain_len) {
    return kHeaderSize + aes_cipher::whole_blocks(plain_len + kDigestSize) + aes_cipher::kBlockSize;
}

aes_encrypt& record_cipher::encryptor() {
    if (!encrypt_) {
        auto cipher = std::make_unique<aes_encrypt>();
        cipher->set_key(key_.empty() ? nullptr : key_.data(), key_.size(), mode_cbc);
        encrypt_ = std::move(cipher);
    }
    return *encrypt_;
}

aes_decrypt& record_cipher::decryptor() {
    if (!decrypt_) {
        auto cipher = std::make_unique<aes_decrypt>();
        cipher->set_key(key_.empty() ? nullptr : key_.data(), key_.size(), mode_cbc);
        decrypt_ = std::move(cipher);
    }
    return *decrypt_;
}

std::array<std::uint8_t, record_cipher::kIvSize> record_cipher::derive_iv(std::uint32_t seed,
                                                                          const std::uint8_t* key,
                                                                          std::size_t key_len,
                                                                          sha256& hash) {
    // Every second key byte and the seed: at most 16 + 4 bytes for the keys AES takes.
    std::array<std::uint8_t, 64> input;
    std::size_t n = 0;
    for (std::size_t i = 0; i < key_len && n < input.size() - 4; i += 2)
        input[n++] = key[i];
    put_le(input.data() + n, seed, 4);
    n += 4;
    hash.update(input.data(), n);
    sha256::digest digest;
    hash.final(digest.data(), digest.size());
    std::array<std::uint8_t, kIvSize> iv;
    std::memcpy(iv.data(), digest.data(), kIvSize);
    OPENSSL_cleanse(input.data(), input.size());
    OPENSSL_cleanse(digest.data(), digest.size());
    return iv;
}

std::uint32_t record_cipher::next_seed() {
    for (;;) {
        if (seeds_left_ == 0) {
            rand_data::generate(reinterpret_cast<std::uint8_t*>(seeds_.data()), sizeof(seeds_));
            seeds_left_ = seeds_.size();
        }
        std::uint32_t seed = seeds_[--seeds_left_];
        if (seed != 0)
            return seed;
    }
}

std::size_t record_cipher::encrypt(const std::uint8_t* plain, std::size_t plain_len,
                                   std::uint8_t* out, std::size_t out_cap) {
    if (out_cap < encrypted_size(plain_len))
        throw CBrimvaultException("Encryption: Invalid output size");
    return encrypt_with_seed(next_seed(), plain, plain_len, out, out_cap);
}

std::size_t record_cipher::encrypt_with_seed(std::uint32_t seed, const std::uint8_t* plain,
                                             std::size_t plain_len, std::uint8_t* out,
                                             std::size_t out_cap) {
    std::size_t needed = encrypted_size(plain_len);
    if (out == nullptr || out_cap < needed)
        throw CBrimvaultException("Encryption: Invalid output size");
    if (needed > std::numeric_limits<std::uint32_t>::max())
        throw CBrimvaultException("Encryption: Invalid input size");
    if (seed == 0)
        throw CBrimvaultException("Encryption: Invalid seed");
    if (plain_len != 0 && plain == nullptr)
        throw CBrimvaultException("Encryption: Invalid input size");

    aes_encrypt& cipher = encryptor();
    auto iv = derive_iv(seed, key_.data(), key_.size(), hash_);
    cipher.set_iv(iv.data(), iv.size());
    OPENSSL_cleanse(iv.data(), iv.size());

    put_le(out, needed, 4);
    put_le(out + 4, kVersion, 2);
    put_le(out + 6, seed, 4);
    std::size_t written = kHeaderSize;
    written += static_cast<std::size_t>(
        cipher.process_data(plain, plain_len, out + written, out_cap - written));

    std::size_t rest = plain_len - aes_cipher::whole_blocks(plain_len);
    std::array<std::uint8_t, aes_cipher::kBlockSize + kDigestSize> tail;
    if (rest != 0)
        std::memcpy(tail.data(), plain + (plain_len - rest), rest);
    hash_.update(plain, plain_len);
    hash_.final(tail.data() + rest, kDigestSize);
    written += static_cast<std::size_t>(cipher.process_data_final(
        tail.data(), rest + kDigestSize, out + written, out_cap - written, nullptr));
    OPENSSL_cleanse(tail.data(), tail.size());
    return written;
}

std::size_t record_cipher::decrypt(const std::uint8_t* record, std::size_t record_len,
                                   std::uint8_t* out, std::size_t out_cap) {
    // A record too short for its own header cannot even say how long it is.
    if (record == nullptr || record_len < kHeaderSize)
        throw CBrimvaultException("Decryption: Invalid block size");
    std::size_t expected = record_len - kHeaderSize;
    if (out == nullptr || out_cap < expected)
        throw CBrimvaultException("Decryption: Invalid output size");
    if (record_len < get_le(record, 4))
        throw CBrimvaultException("Decryption: Invalid block size");
    if (get_le(record + 4, 2) != kVersion)
        throw CBrimvaultException("Decryption: Invalid cryptography version");

    aes_decrypt& cipher = decryptor();
    auto iv = derive_iv(get_le(record + 6, 4), key_.data(), key_.size(), hash_);
    cipher.set_iv(iv.data(), iv.size());
    OPENSSL_cleanse(iv.data(), iv.size());

    std::size_t n = 0;
    std::size_t pad = 0;
    try {
        n = static_cast<std::size_t>(
            cipher.process_data_final(record + kHeaderSize, expected, out, out_cap, &pad));
    } catch (...) {
        std::memset(out, 0, expected);
        throw;
    }
    auto fail = [&](const char* message) {
        std::memset(out, 0, n);
        throw CBrimvaultException(message);
    };
    if (pad >= n)
        fail("Password Error: processed size is less than padding.");
    if (n - pad < kDigestSize)
        fail("Password Error: invalid output data size.");
    std::size_t plain_len = n - pad - kDigestSize;
    hash_.update(out, plain_len);
    sha256::digest digest;
    hash_.final(digest.data(), digest.size());
    if (CRYPTO_memcmp(digest.data(), out + plain_len, kDigestSize) != 0)
        fail("Password Error: Checksums don't match");
    std::memset(out + plain_len, 0, n - plain_len);
    return plain_len;
}

}  // namespace bv_crypt
