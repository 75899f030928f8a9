#include "Random.h"

#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace bvserver {

std::string randomHex(size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) {
        throw std::runtime_error("random generator failed");
    }
    static const char* kHex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

std::string randomDigits(int digits) {
    std::string out;
    while (static_cast<int>(out.size()) < digits) {
        unsigned char c = 0;
        if (RAND_bytes(&c, 1) != 1)
            throw std::runtime_error("random generator failed");
        if (c < 250)
            out += static_cast<char>('0' + c % 10);  // no modulo bias
    }
    return out;
}

}  // namespace bvserver
