#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "TestBytes.h"
#include "crypto/CBrimvaultException.h"
#include "crypto/aes_decrypt.h"
#include "crypto/aes_encrypt.h"
#include "crypto/hex_string_decode.h"
#include "crypto/hex_string_encode.h"
#include "crypto/sha256.h"

using namespace bv_crypt;
using cryptotest::fromHex;
using cryptotest::toHex;

namespace {

std::string thrownMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const CBrimvaultException& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

std::vector<std::uint8_t> key32() {
    return fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
}

}  // namespace

TEST(CryptoHex, EncodesLowerCaseWithTerminatorAndDecodesEitherCase) {
    hex_string_encode encode;
    const std::uint8_t bytes[] = {0, 171};
    std::uint8_t text[5] = {1, 1, 1, 1, 1};
    EXPECT_EQ(encode.calc_output_size(2), 4u);
    EXPECT_EQ(encode.process_data_final(bytes, 2, text, sizeof(text), nullptr), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text)), "00ab");
    EXPECT_EQ(encode.process_data_final(bytes, 2, text, 4, nullptr), -1) << "no room for the zero";
    EXPECT_EQ(encode.process_data(bytes, 2, text, 3), -1);

    struct Case {
        std::string text;
        std::int64_t answer;
        std::vector<std::uint8_t> bytes;
    };
    const std::vector<Case> cases = {
        {"00ab", 2, {0, 171}}, {"00AB", 2, {0, 171}}, {"00aB7", 2, {0, 171}},  // odd last char
                                                                               // ignored
        {"0", -1, {}},         {"", -1, {}},          {"0g", -1, {}},         {"+1", -1, {}},
    };
    for (const auto& c : cases) {
        hex_string_decode decode;
        std::vector<std::uint8_t> out(8);
        auto answer =
            decode.process_data_final(reinterpret_cast<const std::uint8_t*>(c.text.data()),
                                      c.text.size(), out.data(), out.size(), nullptr);
        EXPECT_EQ(answer, c.answer) << c.text;
        if (answer > 0) {
            EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + answer), c.bytes);
        }
    }
}

TEST(CryptoAlgorithms, TypeCodesAndSizes) {
    aes_encrypt enc;
    aes_decrypt dec;
    sha256 hash;
    hex_string_encode hexEnc;
    hex_string_decode hexDec;
    EXPECT_EQ(hexEnc.get_type(), 1);
    EXPECT_EQ(hexDec.get_type(), 1);
    EXPECT_EQ(enc.get_type(), 2);
    EXPECT_EQ(dec.get_type(), 2);
    EXPECT_EQ(hash.get_type(), 6);
    EXPECT_EQ(enc.get_block_size(), 16u);
    EXPECT_EQ(hash.get_digest_size(), 32u);
    EXPECT_EQ(enc.calc_output_size(0), 16u);
    EXPECT_EQ(enc.calc_output_size(15), 16u);
    EXPECT_EQ(enc.calc_output_size(16), 32u);
    EXPECT_EQ(dec.calc_output_size(48), 48u);
}

TEST(CryptoAes, ErrorMessages) {
    const auto key = key32();
    std::uint8_t buf[64] = {};
    struct Case {
        const char* name;
        std::function<void()> action;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"null key", [&] { aes_encrypt().set_key(nullptr, 32, mode_cbc); },
         "aes::set_key: invalid argument"},
        {"20-byte key", [&] { aes_encrypt().set_key(key.data(), 20, mode_cbc); },
         "aes::set_key: invalid key size"},
        {"mode 3", [&] { aes_decrypt().set_key(key.data(), 32, 3); },
         "aes::set_key: invalid cipher mode"},
        {"mode 0", [&] { aes_decrypt().set_key(key.data(), 32, 0); },
         "aes::set_key: invalid cipher mode"},
        {"8-byte iv",
         [&] {
             aes_encrypt aes;
             aes.set_key(key.data(), 32, mode_cbc);
             aes.set_iv(buf, 8);
         },
         "aes::set_iv: invalid iv size"},
        {"output too small",
         [&] {
             aes_encrypt aes;
             aes.set_key(key.data(), 32, mode_cbc);
             aes.process_data(buf, 32, buf, 16);
         },
         "aes::process_data: out of memory"},
        {"no room for padding",
         [&] {
             aes_encrypt aes;
             aes.set_key(key.data(), 32, mode_cbc);
             aes.process_data_final(buf, 16, buf, 16, nullptr);
         },
         "aes::process_data: out of memory"},
        {"partial block to decrypt",
         [&] {
             aes_decrypt aes;
             aes.set_key(key.data(), 32, mode_cbc);
             aes.process_data_final(buf, 17, buf, sizeof(buf), nullptr);
         },
         "aes::process_data: invalid input size"},
        {"no key", [&] { aes_encrypt().process_data(buf, 16, buf, 16); },
         "aes::process_data: key not set"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(thrownMessage(c.action), c.message) << c.name;

    aes_encrypt ecb;
    ecb.set_key(key.data(), 32, mode_ecb);
    EXPECT_NO_THROW(ecb.set_iv(buf, 3)) << "the IV means nothing in ECB mode";
    EXPECT_EQ(ecb.get_mode(), mode_ecb);
}

TEST(CryptoAes, EcbKnownAnswers) {
    // FIPS-197 appendix C examples.
    struct Case {
        std::string key, plain, cipher;
    };
    const std::vector<Case> cases = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
         "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto& c : cases) {
        auto key = fromHex(c.key);
        auto plain = fromHex(c.plain);
        std::vector<std::uint8_t> out(16), back(16);
        aes_encrypt enc;
        enc.set_key(key.data(), key.size(), mode_ecb);
        ASSERT_EQ(enc.process_data(plain.data(), 16, out.data(), out.size()), 16);
        EXPECT_EQ(toHex(out.data(), 16), c.cipher) << c.key;
        aes_decrypt dec;
        dec.set_key(key.data(), key.size(), mode_ecb);
        ASSERT_EQ(dec.process_data(out.data(), 16, back.data(), back.size()), 16);
        EXPECT_EQ(back, plain);
    }
}

TEST(CryptoAes, CbcChainsAcrossCallsAndReportsPadding) {
    const auto key = key32();
    const auto iv = fromHex("f0e0d0c0b0a090807060504030201000");
    const auto plain = cryptotest::someBytes(70);

    aes_encrypt whole;
    whole.set_key(key.data(), 32, mode_cbc);
    whole.set_iv(iv.data(), 16);
    std::vector<std::uint8_t> one(80);
    ASSERT_EQ(whole.process_data_final(plain.bytes(), 70, one.data(), one.size(), nullptr), 80);

    // The same stream in pieces; the first piece's partial block is not consumed.
    aes_encrypt pieces;
    pieces.set_key(key.data(), 32, mode_cbc);
    pieces.set_iv(iv.data(), 16);
    std::vector<std::uint8_t> two(80);
    ASSERT_EQ(pieces.process_data(plain.bytes(), 20, two.data(), two.size()), 16);
    ASSERT_EQ(pieces.process_data_final(plain.bytes() + 16, 54, two.data() + 16, 64, nullptr), 64);
    EXPECT_EQ(one, two);

    aes_decrypt dec;
    dec.set_key(key.data(), 32, mode_cbc);
    dec.set_iv(iv.data(), 16);
    std::vector<std::uint8_t> back(80);
    std::size_t pad = 0;
    ASSERT_EQ(dec.process_data(one.data(), 32, back.data(), back.size()), 32);
    ASSERT_EQ(dec.process_data_final(one.data() + 32, 48, back.data() + 32, 48, &pad), 48);
    EXPECT_EQ(pad, 10u);
    EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + 70), plain.vector());
    EXPECT_EQ(back[70], 10) << "padding is reported, not removed";
}

TEST(CryptoSha256, KnownAnswersAndReuse) {
    sha256 hash;
    std::uint8_t out[32];
    hash.update(reinterpret_cast<const std::uint8_t*>("ab"), 2);
    hash.update(reinterpret_cast<const std::uint8_t*>("c"), 1);
    hash.final(out, sizeof(out));
    EXPECT_EQ(toHex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    hash.final(out, sizeof(out));
    EXPECT_EQ(toHex(out, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")
        << "final starts a new digest";
    EXPECT_EQ(thrownMessage([&] { hash.final(out, 31); }), "sha256::final: error");
}
