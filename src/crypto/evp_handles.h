#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>

// Owning handles for the library's contexts and the algorithm objects fetched once per
// process: an implicit fetch on every initialisation costs more than a 1 KiB block.
namespace bv_crypt::evp {

struct cipher_ctx_deleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct md_ctx_deleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_deleter>;
using md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, md_ctx_deleter>;

// AES in the given mode (1 ECB, 2 CBC) for a 16, 24 or 32 byte key; nullptr otherwise or
// when the library lacks it.
const EVP_CIPHER* aes_cipher(int mode, std::size_t key_len);
const EVP_MD* sha256_md();

}  // namespace bv_crypt::evp
