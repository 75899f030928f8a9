#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Data.h"
#include "platform/Error.h"

namespace bv_crypt {
class record_cipher;
}

// Decrypts a stream of records that arrives in pieces of any size. It holds at most one
// incomplete record between calls, so memory stays bounded whatever the stream's length;
// a stated record length above the largest record a file body can hold fails at once
// instead of waiting for bytes that would never be a valid record.
//
// After a failure the decryptor stays failed: a damaged or wrongly keyed stream is never
// resumed at a later record. Not thread-safe: one decryptor per stream.
class BVStreamDecryptor {
  public:
    explicit BVStreamDecryptor(const bv::Data& key);
    ~BVStreamDecryptor();
    BVStreamDecryptor(const BVStreamDecryptor&) = delete;
    BVStreamDecryptor& operator=(const BVStreamDecryptor&) = delete;

    // Appends to *plain the plaintext of every record that these bytes complete. On failure
    // answers false, fills *error and leaves *plain as it was.
    bool decrypt(const void* bytes, std::size_t length, bv::Data* plain, bv::Error* error);
    // True when the stream ended on a record boundary; false (error filled) when it ended
    // inside a record or the decryptor failed.
    bool finish(bv::Error* error) const;

    // Bytes of the incomplete record held for the next call.
    const bv::Data& pending() const { return pending_; }
    std::uint64_t recordCount() const { return records_; }
    bool failed() const { return failure_.isSet(); }

  private:
    std::size_t decryptRecords(const std::uint8_t* bytes, std::size_t length, bv::Data& plain);
    std::size_t bytesToCompletePending() const;
    bool fail(bv::Error failure, bv::Error* error);

    bool haveKey_;
    std::unique_ptr<bv_crypt::record_cipher> cipher_;
    bv::Data pending_;
    std::uint64_t records_ = 0;
    bv::Error failure_;
};
