#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/Data.h"
#include "platform/Error.h"

// Encryption of file contents in secure folders: the plaintext is cut into 1024-byte
// blocks (the last one shorter) and each block becomes one record; records follow each
// other with nothing between them.

// Errors of this layer: kBVCryptoErrorDomain with the crypto text as failure reason, or
// the program's own -1003 when there is no key.
inline constexpr const char* kBVCryptoErrorDomain = "bv_crypt";
enum BVCryptoErrorCode : std::int64_t {
    kBVCryptoRecordFailed = 1,    // a record could not be made or opened
    kBVCryptoStreamCutShort = 2,  // the stream ended inside a record
};
inline constexpr std::int64_t kBVMissingSecureFolderKey = -1003;

// The records of the whole buffer; an empty buffer for empty input; nothing when a block
// fails or the key is missing.
std::optional<bv::Data> encryptWithKey(const bv::Data& plain, const bv::Data& key,
                                       bv::Error* error = nullptr);

// Streaming decryption of a download buffer: answers the plaintext of every complete record
// at the start of `buffer` and leaves only the incomplete rest in it for the next arrival.
// Zero 32-bit words before a record are skipped. Answers nothing, leaving `buffer`
// unchanged, when no record is complete yet (error untouched) or when a record fails
// (error filled): a wrong key never yields output.
std::optional<bv::Data> decryptWithKey(bv::Data& buffer, const bv::Data& key,
                                       bv::Error* error = nullptr);

// One record each way through an output buffer of blockSize bytes; nothing when the result
// does not fit or the record fails.
std::optional<bv::Data> encryptABlock(const void* bytes, std::size_t length, std::size_t blockSize,
                                      const bv::Data& key);
std::optional<bv::Data> decryptABlock(const void* bytes, std::size_t length, std::size_t blockSize,
                                      const bv::Data& key);
