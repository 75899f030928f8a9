#include "crypto/aes_cipher.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "crypto/CBrimvaultException.h"

namespace bv_crypt {

aes_cipher::aes_cipher(bool encrypting) : ctx_(EVP_CIPHER_CTX_new()), encrypting_(encrypting) {
    if (!ctx_)
        throw CBrimvaultException("aes::set_key: unknown error");
}

aes_cipher::~aes_cipher() {
    OPENSSL_cleanse(iv_.data(), iv_.size());
}

void aes_cipher::set_key(const std::uint8_t* key, std::size_t key_len, int mode) {
    if (key == nullptr)
        throw CBrimvaultException("aes::set_key: invalid argument");
    if (key_len != 16 && key_len != 24 && key_len != 32)
        throw CBrimvaultException("aes::set_key: invalid key size");
    if (mode != mode_ecb && mode != mode_cbc)
        throw CBrimvaultException("aes::set_key: invalid cipher mode");
    const EVP_CIPHER* cipher = evp::aes_cipher(mode, key_len);
    if (cipher == nullptr)
        throw CBrimvaultException("aes::set_key: unknown error");
    // Re-keying the same algorithm skips the library's context rebuild.
    const EVP_CIPHER* init_cipher = cipher == cipher_ ? nullptr : cipher;
    const std::uint8_t* iv = mode == mode_cbc ? iv_.data() : nullptr;
    cipher_ = nullptr;
    if (EVP_CipherInit_ex(ctx_.get(), init_cipher, nullptr, key, iv, encrypting_ ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx_.get(), 0) != 1) {
        throw CBrimvaultException("aes::set_key: unknown error");
    }
    cipher_ = cipher;
    mode_ = mode;
}

void aes_cipher::set_iv(const std::uint8_t* iv, std::size_t iv_len) {
    if (mode_ == mode_ecb)
        return;
    if (iv == nullptr || iv_len != kBlockSize)
        throw CBrimvaultException("aes::set_iv: invalid iv size");
    std::memcpy(iv_.data(), iv, kBlockSize);
    if (cipher_ != nullptr && EVP_CipherInit_ex(ctx_.get(), nullptr, nullptr, nullptr, iv_.data(),
                                                encrypting_ ? 1 : 0) != 1) {
        cipher_ = nullptr;
        throw CBrimvaultException("aes::set_iv: unknown error");
    }
}

void aes_cipher::transform(const std::uint8_t* in, std::size_t len, std::uint8_t* out) {
    if (cipher_ == nullptr)
        throw CBrimvaultException("aes::process_data: key not set");
    if (len == 0)
        return;
    std::array<std::uint8_t, kBlockSize> next_iv{};
    // Decryption chains on the last ciphertext block, which in-place work overwrites.
    if (!encrypting_)
        std::memcpy(next_iv.data(), in + len - kBlockSize, kBlockSize);
    constexpr std::size_t kMaxStep = (INT_MAX / kBlockSize) * kBlockSize;
    for (std::size_t done = 0; done < len;) {
        int step = static_cast<int>(std::min(len - done, kMaxStep));
        int written = 0;
        if (EVP_CipherUpdate(ctx_.get(), out + done, &written, in + done, step) != 1 ||
            written != step) {
            throw CBrimvaultException("aes::process_data: unknown error");
        }
        done += static_cast<std::size_t>(step);
    }
    if (encrypting_)
        std::memcpy(next_iv.data(), out + len - kBlockSize, kBlockSize);
    if (mode_ == mode_cbc)
        iv_ = next_iv;
}

std::int64_t aes_cipher::process_data(const std::uint8_t* in, std::size_t in_len, std::uint8_t* out,
                                      std::size_t out_cap) {
    std::size_t whole = whole_blocks(in_len);
    if (out_cap < whole)
        throw CBrimvaultException("aes::process_data: out of memory");
    transform(in, whole, out);
    return static_cast<std::int64_t>(whole);
}

}  // namespace bv_crypt
