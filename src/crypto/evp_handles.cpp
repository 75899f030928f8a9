#include "crypto/evp_handles.h"

#include <array>

namespace bv_crypt::evp {

namespace {

struct fetched_ciphers {
    // [mode - 1][key size index]
    std::array<std::array<EVP_CIPHER*, 3>, 2> ciphers{};
    fetched_ciphers() {
        static constexpr const char* kNames[2][3] = {
            {"AES-128-ECB", "AES-192-ECB", "AES-256-ECB"},
            {"AES-128-CBC", "AES-192-CBC", "AES-256-CBC"},
        };
        for (int m = 0; m < 2; ++m) {
            for (int k = 0; k < 3; ++k)
                ciphers[m][k] = EVP_CIPHER_fetch(nullptr, kNames[m][k], nullptr);
        }
    }
    ~fetched_ciphers() {
        for (auto& row : ciphers) {
            for (EVP_CIPHER* c : row)
                EVP_CIPHER_free(c);
        }
    }
};

int key_size_index(std::size_t key_len) {
    switch (key_len) {
        case 16:
            return 0;
        case 24:
            return 1;
        case 32:
            return 2;
        default:
            return -1;
    }
}

}  // namespace

const EVP_CIPHER* aes_cipher(int mode, std::size_t key_len) {
    static const fetched_ciphers fetched;
    int k = key_size_index(key_len);
    if (k < 0 || (mode != 1 && mode != 2))
        return nullptr;
    return fetched.ciphers[mode - 1][k];
}

const EVP_MD* sha256_md() {
    struct holder {
        EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        ~holder() { EVP_MD_free(md); }
    };
    static const holder fetched;
    return fetched.md;
}

}  // namespace bv_crypt::evp
