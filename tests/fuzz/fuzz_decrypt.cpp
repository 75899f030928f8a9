// Fuzz target for record decryption and streaming decryption: hostile bytes must never
// crash, overrun or grow memory without bound, damaged records must never yield altered
// plaintext, and whatever was encrypted must come back intact through any piece size.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "WebCallExec/BVDataEncryption.h"
#include "WebCallExec/BVStreamDecryptor.h"
#include "crypto/CBrimvaultException.h"
#include "crypto/cryptography.h"
#include "crypto/encrypted_folder.h"

// Last: it defines the macro check().
#include "FuzzCheck.h"

namespace {

using bv_crypt::cryptography;

constexpr std::size_t kMaxRecord = 1082;

// The key of the password of the seed records, so they decrypt.
const bv::Data& fuzzKey() {
    static const bv::Data key = [] {
        bv::Data k;
        k.resize(32);
        cryptography::create_key("correct horse battery staple", k.mutableBytes(), 32);
        return k;
    }();
    return key;
}

void decryptOneRecord(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> out(size + 1);
    try {
        std::size_t n =
            cryptography::decrypt(data, size, out.data(), out.size(), fuzzKey().bytes(), 32);
        check(n + 42 <= size);
    } catch (const bv_crypt::CBrimvaultException&) {
    }
}

// Feeds the stream in pieces whose sizes come from `sizes`, cycling.
bv::Data streamDecrypt(const std::uint8_t* data, std::size_t size, const std::uint8_t* sizes,
                       std::size_t sizesLen, bool* ok) {
    BVStreamDecryptor decryptor(fuzzKey());
    bv::Data plain;
    *ok = true;
    for (std::size_t at = 0, i = 0; at < size && *ok; ++i) {
        std::size_t piece = sizesLen ? sizes[i % sizesLen] % 200 + 1 : size;
        if (piece == 200)
            piece = 5000;
        piece = std::min(piece, size - at);
        *ok = decryptor.decrypt(data + at, piece, &plain, nullptr);
        check(decryptor.pending().length() < kMaxRecord);
        at += piece;
    }
    check(plain.length() <= size);
    if (*ok)
        *ok = decryptor.finish(nullptr);
    return plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t split = size ? data[0] % 16 : 0;
    const std::uint8_t* sizes = data + (size ? 1 : 0);
    const std::size_t sizesLen = std::min(split, size ? size - 1 : 0);
    const std::uint8_t* body = sizes + sizesLen;
    const std::size_t bodyLen = size - (body - data);

    // Hostile records and streams.
    decryptOneRecord(data, size);
    bool ok = false;
    bv::Data whole = streamDecrypt(data, size, nullptr, 0, &ok);
    bool okInPieces = false;
    bv::Data pieces = streamDecrypt(body, bodyLen, sizes, sizesLen, &okInPieces);
    bv::Data buffer(data, size);
    bv::Data before = buffer;
    auto answer = decryptWithKey(buffer, fuzzKey());
    if (!answer)
        check(buffer == before);
    encryptDirectory("correct horse battery staple",
                     std::string_view(reinterpret_cast<const char*>(data), size), nullptr, nullptr);

    // Round trip of the input as plaintext, then the same records damaged in one byte.
    bv::Data plain(body, bodyLen);
    auto records = encryptWithKey(plain, fuzzKey());
    check(records.has_value());
    bool roundTrip = false;
    bv::Data back = streamDecrypt(records->bytes(), records->length(), sizes, sizesLen, &roundTrip);
    check(roundTrip && back == plain);
    if (!records->empty() && sizesLen > 0) {
        std::size_t at =
            (static_cast<std::size_t>(sizes[0]) << 8 | data[size - 1]) % records->length();
        records->mutableBytes()[at] ^= static_cast<std::uint8_t>(sizes[sizesLen - 1] | 1);
        // Damage that only touches the padding may pass: the plaintext is still intact.
        bool damagedOk = false;
        bv::Data damaged =
            streamDecrypt(records->bytes(), records->length(), sizes, sizesLen, &damagedOk);
        check(!damagedOk || damaged == plain);
    }
    return 0;
}
