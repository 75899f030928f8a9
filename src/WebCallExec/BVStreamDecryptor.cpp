#include "WebCallExec/BVStreamDecryptor.h"

#include <algorithm>
#include <exception>

#include "WebCallExec/BVDataEncryption.h"
#include "crypto/CBrimvaultException.h"
#include "crypto/cryptography.h"
#include "crypto/record_cipher.h"

namespace {

using bv_crypt::record_cipher;

const std::size_t kMaxRecordLength =
    bv_crypt::cryptography::get_encrypted_block_size(bv_crypt::cryptography::kVersion);

std::uint32_t readLength(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bv::Error cryptoError(std::int64_t code, const std::string& reason) {
    return bv::Error(kBVCryptoErrorDomain, code, {{bv::kFailureReasonKey, reason}});
}

}  // namespace

BVStreamDecryptor::BVStreamDecryptor(const bv::Data& key)
    : haveKey_(!key.empty()), cipher_(std::make_unique<record_cipher>(key.bytes(), key.length())) {}

BVStreamDecryptor::~BVStreamDecryptor() = default;

bool BVStreamDecryptor::fail(bv::Error failure, bv::Error* error) {
    failure_ = std::move(failure);
    bv::setError(error, failure_);
    return false;
}

std::size_t BVStreamDecryptor::bytesToCompletePending() const {
    if (pending_.length() < 4)
        return 4 - pending_.length();
    std::uint32_t length = readLength(pending_.bytes());
    if (length > kMaxRecordLength)
        throw bv_crypt::CBrimvaultException("Decryption: Invalid block size");
    return length > pending_.length() ? length - pending_.length() : 0;
}

std::size_t BVStreamDecryptor::decryptRecords(const std::uint8_t* bytes, std::size_t length,
                                              bv::Data& plain) {
    std::size_t pos = 0;
    for (;;) {
        while (length - pos >= 4 && readLength(bytes + pos) == 0)
            pos += 4;
        if (length - pos < 4)
            break;
        std::uint32_t recordLength = readLength(bytes + pos);
        if (recordLength > kMaxRecordLength)
            throw bv_crypt::CBrimvaultException("Decryption: Invalid block size");
        if (length - pos < recordLength)
            break;
        std::size_t start = plain.length();
        std::size_t room = recordLength > record_cipher::kHeaderSize
                               ? recordLength - record_cipher::kHeaderSize
                               : 0;
        plain.resize(start + room);
        std::size_t n =
            cipher_->decrypt(bytes + pos, recordLength, plain.mutableBytes() + start, room);
        plain.resize(start + n);
        pos += recordLength;
        ++records_;
    }
    return pos;
}

bool BVStreamDecryptor::decrypt(const void* bytes, std::size_t length, bv::Data* plain,
                                bv::Error* error) {
    if (failure_)
        return fail(failure_, error);
    if (!haveKey_)
        return fail(
            bv::Error::make(kBVMissingSecureFolderKey, "encryption key of a secure folder missing"),
            error);
    bv::Data scratch;
    bv::Data& out = plain ? *plain : scratch;
    const std::size_t rollback = out.length();
    auto* in = static_cast<const std::uint8_t*>(bytes);
    try {
        // Plaintext is never longer than its records; grow geometrically so that callers
        // appending many small pieces to one buffer stay linear.
        if (out.vector().capacity() < rollback + length)
            out.reserve(std::max(rollback + length, 2 * out.vector().capacity()));
        while (!pending_.empty() && length > 0) {
            std::size_t need = bytesToCompletePending();
            std::size_t take = std::min(need, length);
            pending_.append(in, take);
            in += take;
            length -= take;
            if (take < need)
                break;
            // The pending bytes are now one zero word or one complete record.
            std::size_t used = decryptRecords(pending_.bytes(), pending_.length(), out);
            pending_.vector().erase(pending_.vector().begin(),
                                    pending_.vector().begin() + static_cast<std::ptrdiff_t>(used));
        }
        if (pending_.empty() && length > 0) {
            std::size_t used = decryptRecords(in, length, out);
            pending_.append(in + used, length - used);
        }
        // A length that can never be valid is known as soon as its four bytes are here.
        if (pending_.length() >= 4)
            bytesToCompletePending();
        return true;
    } catch (const std::exception& e) {
        out.resize(rollback);
        pending_.clear();
        return fail(cryptoError(kBVCryptoRecordFailed, e.what()), error);
    }
}

bool BVStreamDecryptor::finish(bv::Error* error) const {
    if (failure_) {
        bv::setError(error, failure_);
        return false;
    }
    if (!pending_.empty()) {
        bv::setError(error, cryptoError(kBVCryptoStreamCutShort, "Decryption: Invalid block size"));
        return false;
    }
    return true;
}
