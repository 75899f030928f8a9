#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "TestBytes.h"
#include "crypto/CBrimvaultException.h"
#include "crypto/cryptography.h"
#include "crypto/record_cipher.h"

using namespace bv_crypt;
using cryptotest::fromHex;
using cryptotest::someBytes;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes keyOf(const std::string& password) {
    Bytes key(32);
    EXPECT_EQ(cryptography::create_key(password, key.data(), key.size()), 32u);
    return key;
}

Bytes encrypt(const Bytes& plain, const Bytes& key) {
    Bytes record(
        cryptography::encrypt(plain.data(), plain.size(), nullptr, 0, key.data(), key.size()));
    std::size_t n = cryptography::encrypt(plain.data(), plain.size(), record.data(), record.size(),
                                          key.data(), key.size());
    EXPECT_EQ(n, record.size());
    return record;
}

std::string decryptError(const Bytes& record, std::size_t recordLen, const Bytes& key,
                         Bytes* out = nullptr) {
    Bytes local(record.size() + 16, 0xee);
    Bytes& buffer = out ? *out : local;
    try {
        cryptography::decrypt(record.data(), recordLen, buffer.data(), buffer.size(), key.data(),
                              key.size());
    } catch (const CBrimvaultException& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

}  // namespace

TEST(CryptoRecord, MatchesIndependentlyMadeRecords) {
    std::ifstream file(BV_CRYPTO_VECTORS);
    ASSERT_TRUE(file) << BV_CRYPTO_VECTORS;
    int count = 0;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string passwordHex, seedHex, plainHex, recordHex;
        ASSERT_TRUE(fields >> passwordHex >> seedHex >> plainHex >> recordHex) << line;
        auto passwordBytes = fromHex(passwordHex);
        std::string password(passwordBytes.begin(), passwordBytes.end());
        Bytes plain = plainHex == "-" ? Bytes{} : fromHex(plainHex);
        Bytes expected = fromHex(recordHex);
        Bytes key = keyOf(password);
        auto seed = fromHex(seedHex);
        std::uint32_t seedValue =
            seed[0] | seed[1] << 8 | seed[2] << 16 | std::uint32_t(seed[3]) << 24;

        record_cipher cipher(key.data(), key.size());
        Bytes record(record_cipher::encrypted_size(plain.size()));
        ASSERT_EQ(cipher.encrypt_with_seed(seedValue, plain.data(), plain.size(), record.data(),
                                           record.size()),
                  expected.size());
        EXPECT_EQ(record, expected) << "plaintext of " << plain.size() << " bytes";

        Bytes out(expected.size());
        std::size_t n = cryptography::decrypt(expected.data(), expected.size(), out.data(),
                                              out.size(), key.data(), key.size());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), plain);
        ++count;
    }
    EXPECT_EQ(count, 5);
}

TEST(CryptoRecord, Sizes) {
    const Bytes key = keyOf("pw");
    struct Case {
        std::size_t plain, record;
    };
    for (auto c : std::vector<Case>{{0, 58}, {1, 58}, {15, 58}, {16, 74}, {1024, 1082}}) {
        EXPECT_EQ(cryptography::encrypt(nullptr, c.plain, nullptr, 0, nullptr, 0), c.record);
        EXPECT_EQ(encrypt(someBytes(c.plain).vector(), key).size(), c.record) << c.plain;
    }
    struct FileCase {
        std::uint64_t plain, stored;
    };
    for (auto c : std::vector<FileCase>{{0, 0},
                                        {1, 58},
                                        {1024, 1082},
                                        {1025, 1140},
                                        {2048, 2164},
                                        {5ull << 30, (5ull << 20) * 1082}}) {
        EXPECT_EQ(cryptography::calculate_encrypted_size(c.plain, 256), c.stored) << c.plain;
    }
    EXPECT_EQ(cryptography::get_block_size(256), 1024u);
    EXPECT_EQ(cryptography::get_encrypted_block_size(256), 1082u);
    EXPECT_EQ(cryptography::create_key("x", nullptr, 0), 32u);
    EXPECT_EQ(cryptography::create_iv(1, key.data(), 32, nullptr, 0), 16u);
    EXPECT_EQ(cryptography::decrypt(nullptr, 1082, nullptr, 0, nullptr, 0), 1072u);
    for (int version : {0, 255, 257}) {
        try {
            cryptography::get_block_size(version);
            ADD_FAILURE() << version;
        } catch (const CBrimvaultException& e) {
            EXPECT_STREQ(e.what(), "Cryptography: Invalid version");
        }
    }
}

TEST(CryptoRecord, RoundTripsWithFreshSeeds) {
    const Bytes key = keyOf("correct horse");
    for (std::size_t len : {0u, 1u, 15u, 16u, 17u, 1024u, 5000u}) {
        Bytes plain = someBytes(len, static_cast<unsigned>(len)).vector();
        Bytes first = encrypt(plain, key);
        Bytes second = encrypt(plain, key);
        EXPECT_NE(first, second) << "each record draws its own seed";
        EXPECT_FALSE(first[6] == 0 && first[7] == 0 && first[8] == 0 && first[9] == 0);
        Bytes out(first.size());
        std::size_t n = cryptography::decrypt(first.data(), first.size(), out.data(), out.size(),
                                              key.data(), key.size());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), plain) << len;
    }
}

TEST(CryptoRecord, DecryptionFailures) {
    const Bytes key = keyOf("right");
    const Bytes otherKey = keyOf("wrong");
    const Bytes record = encrypt(someBytes(100).vector(), key);

    auto withVersion = [&](std::uint16_t version) {
        Bytes r = record;
        r[4] = version & 0xff;
        r[5] = version >> 8;
        return r;
    };
    auto flipped = [&](std::size_t at) {
        Bytes r = record;
        r[at] ^= 0x01;
        return r;
    };
    Bytes longer = record;
    longer.push_back(0);

    struct Case {
        const char* name;
        Bytes record;
        std::size_t length;
        Bytes key;
        std::string message;  // a prefix
    };
    const std::vector<Case> cases = {
        {"wrong key", record, record.size(), otherKey, "Password Error"},
        {"version 255", withVersion(255), record.size(), key,
         "Decryption: Invalid cryptography version"},
        {"version checked before the key", withVersion(1), record.size(), otherKey,
         "Decryption: Invalid cryptography version"},
        {"record cut short", record, record.size() - 16, key, "Decryption: Invalid block size"},
        {"shorter than a header", record, 5, key, "Decryption: Invalid block size"},
        {"empty", record, 0, key, "Decryption: Invalid block size"},
        {"not whole blocks", longer, longer.size(), key, "aes::process_data: invalid input size"},
        {"damaged last block", flipped(record.size() - 1), record.size(), key, "Password Error"},
        {"damaged first block", flipped(12), record.size(), key,
         "Password Error: Checksums don't match"},
        {"damaged seed", flipped(7), record.size(), key, "Password Error"},
        {"header only", record, 10, key, "Decryption: Invalid block size"},
        {"bad key size", record, record.size(), Bytes(20, 1), "aes::set_key: invalid key size"},
    };
    for (const auto& c : cases) {
        Bytes out(record.size() + 16, 0xee);
        std::string message = decryptError(c.record, c.length, c.key, &out);
        EXPECT_EQ(message.rfind(c.message, 0), 0u) << c.name << ": " << message;
        if (c.message.rfind("Password Error", 0) == 0) {
            EXPECT_TRUE(std::all_of(out.begin(),
                                    out.begin() + static_cast<long>(record.size() - 10),
                                    [](std::uint8_t b) { return b == 0; }))
                << c.name << ": a failed record leaves no plaintext behind";
        }
    }

    // A header that claims less than is there reads fine; room for the output is checked first.
    Bytes small(record.size() - 11);
    try {
        cryptography::decrypt(record.data(), record.size(), small.data(), small.size(), key.data(),
                              32);
        ADD_FAILURE();
    } catch (const CBrimvaultException& e) {
        EXPECT_STREQ(e.what(), "Decryption: Invalid output size");
    }
}

TEST(CryptoRecord, EncryptionFailures) {
    const Bytes plain = someBytes(20).vector();
    Bytes out(200);
    struct Case {
        const char* name;
        std::size_t cap;
        Bytes key;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"output one byte short", 73, Bytes(32, 7), "Encryption: Invalid output size"},
        {"24-byte key works", 74, Bytes(24, 7), ""},
        {"bad key size", 74, Bytes(31, 7), "aes::set_key: invalid key size"},
        {"no key", 74, Bytes{}, "aes::set_key: invalid argument"},
    };
    for (const auto& c : cases) {
        std::string message;
        try {
            EXPECT_EQ(cryptography::encrypt(plain.data(), plain.size(), out.data(), c.cap,
                                            c.key.empty() ? nullptr : c.key.data(), c.key.size()),
                      74u);
        } catch (const CBrimvaultException& e) {
            message = e.what();
        }
        EXPECT_EQ(message, c.message) << c.name;
    }
}
