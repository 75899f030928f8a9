#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestBytes.h"
#include "crypto/cryptography.h"
#include "crypto/encrypted_folder.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

bool isLowerHex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

TEST(CryptoSecureFolder, VerifierOpensOnlyWithItsPassword) {
    std::string hash, data;
    ASSERT_EQ(set_password("s3cret pässword", &hash, &data), 1);
    EXPECT_EQ(hash.size(), 64u);
    EXPECT_EQ(data.size(), 372u);
    EXPECT_TRUE(isLowerHex(hash) && isLowerHex(data));

    std::string opened;
    bv::Data key;
    ASSERT_EQ(encryptDirectory("s3cret pässword", data, &opened, &key), 1);
    EXPECT_EQ(opened, hash);
    Bytes expectedKey(32);
    bv_crypt::cryptography::create_key("s3cret pässword", expectedKey.data(), 32);
    EXPECT_EQ(key.vector(), expectedKey);

    std::string otherHash, otherData;
    ASSERT_EQ(set_password("s3cret pässword", &otherHash, &otherData), 1);
    EXPECT_NE(otherHash, hash) << "each verifier is fresh random bytes";

    for (const char* wrong : {"s3cret passwörd", "", "s3cret pässword "}) {
        std::string untouched = "unchanged";
        bv::Data untouchedKey = bv::Data::fromString("k");
        EXPECT_EQ(encryptDirectory(wrong, data, &untouched, &untouchedKey), 0) << wrong;
        EXPECT_EQ(untouched, "unchanged");
        EXPECT_EQ(untouchedKey.toString(), "k");
    }
}

TEST(CryptoSecureFolder, MalformedDataTextsAnswerZero) {
    std::string hash, data;
    ASSERT_EQ(set_password("pw", &hash, &data), 1);
    std::string upper = data;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(encryptDirectory("pw", upper, nullptr, nullptr), 1) << "hex of either case";

    std::string versionChanged = data;
    versionChanged.replace(8, 4, "ff00");
    const std::vector<std::string> texts = {
        "",
        "0",
        "zz",
        data.substr(0, 370),
        data.substr(0, 20),
        data + "00",
        versionChanged,
        std::string(372, 'g'),
        std::string(372, '0'),
    };
    for (const auto& text : texts)
        EXPECT_EQ(encryptDirectory("pw", text, &hash, nullptr), 0) << text;
}

TEST(CryptoSecureFolder, BlockEntryPointsAnswerZeroInsteadOfThrowing) {
    Bytes key(32, 9);
    Bytes plain = cryptotest::someBytes(1024).vector();
    Bytes record(4096), out(2 * 1082);
    std::size_t n =
        encryptBlock(plain.data(), record.data(), key.data(), 32, plain.size(), record.size());
    ASSERT_EQ(n, 1082u);
    ASSERT_EQ(decryptBlock(record.data(), out.data(), key.data(), 32, n, out.size()), 1024u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 1024), plain);

    Bytes wrongKey(32, 8);
    struct Case {
        const char* name;
        std::size_t answer;
    };
    const std::vector<Case> cases = {
        {"encrypt: no room", encryptBlock(plain.data(), record.data(), key.data(), 32, 1024, 1081)},
        {"encrypt: null out", encryptBlock(plain.data(), nullptr, key.data(), 32, 1024, 4096)},
        {"encrypt: null key", encryptBlock(plain.data(), record.data(), nullptr, 32, 1024, 4096)},
        {"encrypt: 7-byte key",
         encryptBlock(plain.data(), record.data(), key.data(), 7, 1024, 4096)},
        {"encrypt: null plain", encryptBlock(nullptr, record.data(), key.data(), 32, 1024, 4096)},
        {"decrypt: wrong key",
         decryptBlock(record.data(), out.data(), wrongKey.data(), 32, n, out.size())},
        {"decrypt: cut short",
         decryptBlock(record.data(), out.data(), key.data(), 32, n - 1, out.size())},
        {"decrypt: no room", decryptBlock(record.data(), out.data(), key.data(), 32, n, 1071)},
        {"decrypt: null record", decryptBlock(nullptr, out.data(), key.data(), 32, n, out.size())},
        {"decrypt: null out", decryptBlock(record.data(), nullptr, key.data(), 32, n, out.size())},
        {"decrypt: 3 bytes",
         decryptBlock(record.data(), out.data(), key.data(), 32, 3, out.size())},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.answer, 0u) << c.name;
}
