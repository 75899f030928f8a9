#include "WebCallExec/BVDataEncryption.h"

#include <algorithm>
#include <exception>

#include "WebCallExec/BVStreamDecryptor.h"
#include "crypto/cryptography.h"
#include "crypto/encrypted_folder.h"
#include "crypto/record_cipher.h"

using bv_crypt::cryptography;

namespace {

bv::Error missingKeyError() {
    return bv::Error::make(kBVMissingSecureFolderKey, "encryption key of a secure folder missing");
}

}  // namespace

std::optional<bv::Data> encryptWithKey(const bv::Data& plain, const bv::Data& key,
                                       bv::Error* error) {
    if (key.empty()) {
        bv::setError(error, missingKeyError());
        return std::nullopt;
    }
    if (plain.empty())
        return bv::Data();
    try {
        const std::size_t block = cryptography::get_block_size(cryptography::kVersion);
        bv::Data records;
        records.resize(
            cryptography::calculate_encrypted_size(plain.length(), cryptography::kVersion));
        bv_crypt::record_cipher cipher(key.bytes(), key.length());
        std::size_t written = 0;
        for (std::size_t offset = 0; offset < plain.length(); offset += block) {
            std::size_t length = std::min(block, plain.length() - offset);
            written += cipher.encrypt(plain.bytes() + offset, length,
                                      records.mutableBytes() + written, records.length() - written);
        }
        records.resize(written);
        return records;
    } catch (const std::exception& e) {
        bv::setError(error, bv::Error(kBVCryptoErrorDomain, kBVCryptoRecordFailed,
                                      {{bv::kFailureReasonKey, std::string(e.what())}}));
        return std::nullopt;
    }
}

std::optional<bv::Data> decryptWithKey(bv::Data& buffer, const bv::Data& key, bv::Error* error) {
    BVStreamDecryptor decryptor(key);
    bv::Data plain;
    if (!decryptor.decrypt(buffer.bytes(), buffer.length(), &plain, error))
        return std::nullopt;
    if (decryptor.recordCount() == 0)
        return std::nullopt;
    buffer = decryptor.pending();
    return plain;
}

std::optional<bv::Data> encryptABlock(const void* bytes, std::size_t length, std::size_t blockSize,
                                      const bv::Data& key) {
    bv::Data out;
    out.resize(blockSize);
    std::size_t n = encryptBlock(static_cast<const std::uint8_t*>(bytes), out.mutableBytes(),
                                 key.bytes(), key.length(), length, blockSize);
    if (n == 0)
        return std::nullopt;
    out.resize(n);
    return out;
}

std::optional<bv::Data> decryptABlock(const void* bytes, std::size_t length, std::size_t blockSize,
                                      const bv::Data& key) {
    bv::Data out;
    out.resize(blockSize);
    std::size_t n = decryptBlock(static_cast<const std::uint8_t*>(bytes), out.mutableBytes(),
                                 key.bytes(), key.length(), length, blockSize);
    if (n == 0)
        return std::nullopt;
    out.resize(n);
    return out;
}
