#pragma once

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Data.h"

namespace cryptotest {

inline std::vector<std::uint8_t> fromHex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const std::uint8_t* bytes, std::size_t len) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < len; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

// Deterministic bytes, different for each seed.
inline bv::Data someBytes(std::size_t n, unsigned seed = 1) {
    std::mt19937 gen(seed);
    bv::Data data;
    data.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        data.mutableBytes()[i] = static_cast<std::uint8_t>(gen());
    return data;
}

}  // namespace cryptotest
