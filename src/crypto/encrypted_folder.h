#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Data.h"

// Entry points for secure folders. None of them throws: every failure answers 0 and leaves
// the outputs untouched.
//
// A folder's key is SHA-256 of its password. Its verifier is 128 random bytes R, kept by
// the service as `hash` (hex of SHA-256(R), 64 characters) and `data` (hex of the record of
// R under the key, 372 characters). The service never sees the password or the key.

// Creates a verifier for a new secure folder. Answers 1 on success.
int set_password(std::string_view password, std::string* hash, std::string* data) noexcept;

// Opens a folder: answers 1 when the password decrypts the verifier data text, with the
// hash to present to the service and the folder key (32 bytes); 0 for a wrong password or
// a malformed data text.
int encryptDirectory(std::string_view password, std::string_view data, std::string* hash,
                     bv::Data* key) noexcept;

// The same check for a folder key already held (32 bytes): answers 1 with the hash to
// present to the service when the key opens the verifier data text, else 0.
int verifierHashWithKey(const bv::Data& key, std::string_view data, std::string* hash) noexcept;

// One record each way. They answer the output length, or 0 on any failure, including an
// out_cap smaller than the result needs (encryption: the record length; decryption:
// record_len - 10, as digest and padding pass through out). A record of empty plaintext
// also decrypts to 0: file bodies never contain one.
std::size_t encryptBlock(const std::uint8_t* plain, std::uint8_t* out, const std::uint8_t* key,
                         std::size_t key_len, std::size_t plain_len, std::size_t out_cap) noexcept;
std::size_t decryptBlock(const std::uint8_t* record, std::uint8_t* out, const std::uint8_t* key,
                         std::size_t key_len, std::size_t record_len, std::size_t out_cap) noexcept;
