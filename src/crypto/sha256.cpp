#include "crypto/sha256.h"

#include "crypto/CBrimvaultException.h"

namespace bv_crypt {

sha256::sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_)
        throw CBrimvaultException("sha256::update: error");
    restart();
}

void sha256::restart() {
    // After the first set-up the context keeps its algorithm; naming it again costs a
    // noticeable part of a 1 KiB record.
    const EVP_MD* md = EVP_MD_CTX_get0_md(ctx_.get()) == nullptr ? evp::sha256_md() : nullptr;
    if ((md == nullptr && EVP_MD_CTX_get0_md(ctx_.get()) == nullptr) ||
        EVP_DigestInit_ex(ctx_.get(), md, nullptr) != 1) {
        throw CBrimvaultException("sha256::update: error");
    }
}

void sha256::update(const std::uint8_t* data, std::size_t len) {
    if (len == 0)
        return;
    if (data == nullptr || EVP_DigestUpdate(ctx_.get(), data, len) != 1)
        throw CBrimvaultException("sha256::update: error");
}

void sha256::final(std::uint8_t* out, std::size_t out_len) {
    if (out == nullptr || out_len < kDigestSize)
        throw CBrimvaultException("sha256::final: error");
    if (EVP_DigestFinal_ex(ctx_.get(), out, nullptr) != 1)
        throw CBrimvaultException("sha256::final: error");
    restart();
}

sha256::digest sha256::of(const std::uint8_t* data, std::size_t len) {
    sha256 hash;
    hash.update(data, len);
    digest out;
    hash.final(out.data(), out.size());
    return out;
}

}  // namespace bv_crypt
