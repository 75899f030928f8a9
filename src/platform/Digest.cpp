#include "platform/Digest.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstdio>
#include <random>

namespace bv {

std::string md5HexDigest(std::optional<std::string_view> text) {
    if (!text)
        return "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text->data(), text->size(), digest, &length, EVP_md5(), nullptr) != 1)
        return "";
    static const char* hex = "0123456789abcdef";
    std::string out(size_t(length) * 2, '0');
    for (unsigned int i = 0; i < length; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0xf];
    }
    return out;
}

const std::string& processRunIdentifier() {
    static const std::string identifier = [] {
        unsigned char bytes[16];
        if (RAND_bytes(bytes, sizeof bytes) != 1) {
            std::random_device device;
            for (auto& b : bytes)
                b = static_cast<unsigned char>(device());
        }
        bytes[6] = (bytes[6] & 0x0f) | 0x40;
        bytes[8] = (bytes[8] & 0x3f) | 0x80;
        char text[64];
        std::snprintf(text, sizeof text,
                      "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X-%d",
                      bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6],
                      bytes[7], bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13],
                      bytes[14], bytes[15], int(::getpid()));
        return std::string(text);
    }();
    return identifier;
}

}  // namespace bv
