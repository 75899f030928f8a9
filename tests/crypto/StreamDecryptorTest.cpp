#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestBytes.h"
#include "WebCallExec/BVDataEncryption.h"
#include "WebCallExec/BVStreamDecryptor.h"
#include "crypto/cryptography.h"

using cryptotest::someBytes;

namespace {

bv::Data keyOf(const std::string& password) {
    bv::Data key;
    key.resize(32);
    bv_crypt::cryptography::create_key(password, key.mutableBytes(), 32);
    return key;
}

bv::Data encrypted(const bv::Data& plain, const bv::Data& key) {
    auto records = encryptWithKey(plain, key);
    EXPECT_TRUE(records.has_value());
    return records.value_or(bv::Data());
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

TEST(CryptoDataEncryption, EncryptWithKey) {
    const bv::Data key = keyOf("k");
    for (std::size_t size : {1u, 1023u, 1024u, 1025u, 3000u}) {
        auto records = encryptWithKey(someBytes(size), key);
        ASSERT_TRUE(records) << size;
        EXPECT_EQ(records->length(), bv_crypt::cryptography::calculate_encrypted_size(size, 256));
    }
    auto empty = encryptWithKey(bv::Data(), key);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    bv::Error error;
    EXPECT_FALSE(encryptWithKey(someBytes(10), bv::Data(), &error));
    EXPECT_EQ(error.code(), -1003);
    EXPECT_FALSE(encryptWithKey(someBytes(10), bv::Data::fromString("short key"), &error));
    EXPECT_EQ(error.domain(), kBVCryptoErrorDomain);
    EXPECT_EQ(error.failureReason(), "aes::set_key: invalid key size");
}

TEST(CryptoDataEncryption, SingleRecordWrappers) {
    const bv::Data key = keyOf("k");
    const bv::Data plain = someBytes(1024);
    auto record = encryptABlock(plain.bytes(), plain.length(), 4096, key);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->length(), 1082u);
    auto back = decryptABlock(record->bytes(), record->length(), 2 * record->length(), key);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, plain);

    EXPECT_FALSE(encryptABlock(plain.bytes(), plain.length(), 1081, key)) << "does not fit";
    EXPECT_FALSE(decryptABlock(record->bytes(), record->length(), 1071, key)) << "does not fit";
    EXPECT_FALSE(decryptABlock(record->bytes(), record->length(), 4096, keyOf("other")));
}

TEST(CryptoDataEncryption, DecryptWithKeyKeepsTheIncompleteRecord) {
    const bv::Data key = keyOf("k");
    const bv::Data plain = someBytes(2048);
    const bv::Data records = encrypted(plain, key);  // two records of 1082
    const std::size_t half = 1082 + 541;

    bv::Data buffer = records.subdata(0, half);
    auto first = decryptWithKey(buffer, key);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, plain.subdata(0, 1024));
    EXPECT_EQ(buffer, records.subdata(1082, 541)) << "the half record stays for the next arrival";

    buffer.append(records.subdata(half, records.length() - half));
    auto second = decryptWithKey(buffer, key);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, plain.subdata(1024, 1024));
    EXPECT_TRUE(buffer.empty());

    // Not even one record yet: nothing, buffer as it was, no error.
    bv::Data partial = records.subdata(0, 1081);
    bv::Error error;
    EXPECT_FALSE(decryptWithKey(partial, key, &error));
    EXPECT_FALSE(error);
    EXPECT_EQ(partial, records.subdata(0, 1081));

    // Leading zero words are skipped.
    bv::Data padded;
    padded.resize(12);
    padded.append(records);
    auto skipped = decryptWithKey(padded, key);
    ASSERT_TRUE(skipped);
    EXPECT_EQ(*skipped, plain);

    // A wrong key never yields output and leaves the buffer alone.
    bv::Data whole = records;
    EXPECT_FALSE(decryptWithKey(whole, keyOf("not k"), &error));
    EXPECT_TRUE(startsWith(error.failureReason(), "Password Error")) << error.failureReason();
    EXPECT_EQ(whole, records);
}

TEST(CryptoStreamDecryptor, AnyPieceSizeGivesTheSamePlaintext) {
    const bv::Data key = keyOf("stream");
    const bv::Data plain = someBytes(5000);
    const bv::Data records = encrypted(plain, key);
    // Zero words before the first record and between records.
    bv::Data stream;
    stream.resize(8);
    stream.append(records.subdata(0, 1082));
    stream.resize(stream.length() + 4);
    stream.append(records.subdata(1082, records.length() - 1082));

    for (std::size_t piece : {1u, 3u, 4u, 7u, 1081u, 1082u, 1083u, 1623u, 4096u, 100000u}) {
        BVStreamDecryptor decryptor(key);
        bv::Data out;
        for (std::size_t at = 0; at < stream.length(); at += piece) {
            std::size_t n = std::min(piece, stream.length() - at);
            bv::Error error;
            ASSERT_TRUE(decryptor.decrypt(stream.bytes() + at, n, &out, &error))
                << piece << " at " << at << ": " << error.failureReason();
            ASSERT_LT(decryptor.pending().length(), 1082u)
                << "at most one incomplete record is held";
        }
        EXPECT_TRUE(decryptor.finish(nullptr));
        EXPECT_EQ(decryptor.recordCount(), 5u);
        EXPECT_EQ(out, plain) << "pieces of " << piece;
    }
}

TEST(CryptoStreamDecryptor, Failures) {
    const bv::Data key = keyOf("stream");
    const bv::Data records = encrypted(someBytes(3000), key);

    struct Case {
        const char* name;
        bv::Data stream;
        bv::Data key;
        bool decrypts;       // the decrypt call succeeds
        std::int64_t code;   // of the failure, from decrypt or else from finish
        std::string reason;  // prefix
    };
    bv::Data damagedSecond = records;
    damagedSecond.mutableBytes()[1082 + 20] ^= 0x80;
    bv::Data huge = bv::Data::fromString(std::string("\x3b\x04\x00\x00", 4));  // 1083 stated
    bv::Data badVersion = records;
    badVersion.mutableBytes()[4] = 0xff;
    const std::vector<Case> cases = {
        {"wrong key", records, keyOf("other"), false, kBVCryptoRecordFailed, "Password Error"},
        {"damaged later record", damagedSecond, key, false, kBVCryptoRecordFailed,
         "Password Error"},
        {"version other than 256", badVersion, key, false, kBVCryptoRecordFailed,
         "Decryption: Invalid cryptography version"},
        {"stated length too large", huge, key, false, kBVCryptoRecordFailed,
         "Decryption: Invalid block size"},
        {"cut short", records.subdata(0, records.length() - 1), key, true, kBVCryptoStreamCutShort,
         "Decryption: Invalid block size"},
        {"missing key", records, bv::Data(), false, -1003, ""},
    };
    for (const auto& c : cases) {
        BVStreamDecryptor decryptor(c.key);
        bv::Data out = bv::Data::fromString("earlier");
        bv::Error error;
        EXPECT_EQ(decryptor.decrypt(c.stream.bytes(), c.stream.length(), &out, &error), c.decrypts)
            << c.name;
        if (c.decrypts) {
            EXPECT_FALSE(decryptor.finish(&error)) << c.name;
        } else {
            EXPECT_EQ(out.toString(), "earlier") << c.name << ": nothing of a failed call is kept";
            EXPECT_TRUE(decryptor.failed());
            bv::Error again;
            EXPECT_FALSE(decryptor.decrypt(records.bytes(), 1082, &out, &again)) << "stays failed";
            EXPECT_FALSE(decryptor.finish(nullptr));
        }
        EXPECT_EQ(error.code(), c.code) << c.name;
        EXPECT_TRUE(startsWith(error.failureReason(), c.reason))
            << c.name << ": " << error.failureReason();
    }
}
