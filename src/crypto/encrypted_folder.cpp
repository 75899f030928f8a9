#include "crypto/encrypted_folder.h"

#include <openssl/crypto.h>

#include <array>
#include <vector>

#include "crypto/CBrimvaultException.h"
#include "crypto/cryptography.h"
#include "crypto/hex_string_decode.h"
#include "crypto/hex_string_encode.h"
#include "crypto/sha256.h"

using namespace bv_crypt;

namespace {

constexpr std::size_t kVerifierSize = 128;

// Wipes a byte buffer that held key material or secret plaintext when it goes away.
template <typename Bytes>
class wipe_on_exit {
  public:
    explicit wipe_on_exit(Bytes& bytes) : bytes_(bytes) {}
    ~wipe_on_exit() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
    wipe_on_exit(const wipe_on_exit&) = delete;
    wipe_on_exit& operator=(const wipe_on_exit&) = delete;

  private:
    Bytes& bytes_;
};

std::string to_hex(const std::uint8_t* bytes, std::size_t len) {
    std::string text(2 * len + 1, '\0');
    hex_string_encode encoder;
    auto written = encoder.process_data_final(
        bytes, len, reinterpret_cast<std::uint8_t*>(text.data()), text.size(), nullptr);
    text.resize(written > 0 ? static_cast<std::size_t>(written) - 1 : 0);
    return text;
}

}  // namespace

int set_password(std::string_view password, std::string* hash, std::string* data) noexcept {
    try {
        std::array<std::uint8_t, kVerifierSize> verifier;
        std::array<std::uint8_t, cryptography::kKeySize> key;
        wipe_on_exit wipe_verifier{verifier};
        wipe_on_exit wipe_key{key};
        cryptography::create_random_data(verifier.data(), verifier.size());
        cryptography::create_key(password, key.data(), key.size());
        auto digest = sha256::of(verifier.data(), verifier.size());

        std::vector<std::uint8_t> record(cryptography::encrypt(verifier.data(), verifier.size(),
                                                               nullptr, 0, key.data(), key.size()));
        std::size_t written = cryptography::encrypt(verifier.data(), verifier.size(), record.data(),
                                                    record.size(), key.data(), key.size());
        std::string hash_text = to_hex(digest.data(), digest.size());
        std::string data_text = to_hex(record.data(), written);
        if (hash)
            *hash = std::move(hash_text);
        if (data)
            *data = std::move(data_text);
        return 1;
    } catch (...) {
        return 0;
    }
}

namespace {

// The hash the service expects for a verifier data text opened with folder_key; throws
// when the text is malformed or the key does not open it.
std::string verifier_hash(const std::uint8_t* folder_key, std::size_t key_len,
                          std::string_view data) {
    hex_string_decode decoder;
    std::vector<std::uint8_t> record(decoder.calc_output_size(data.size()));
    auto decoded = decoder.process_data_final(reinterpret_cast<const std::uint8_t*>(data.data()),
                                              data.size(), record.data(), record.size(), nullptr);
    if (decoded <= 0)
        throw CBrimvaultException("Decryption: Invalid block size");
    // Never empty: decrypt reads a null output as a question about the size.
    std::vector<std::uint8_t> plain(record.size());
    wipe_on_exit wipe_plain{plain};
    std::size_t plain_len = cryptography::decrypt(record.data(), static_cast<std::size_t>(decoded),
                                                  plain.data(), plain.size(), folder_key, key_len);
    auto digest = sha256::of(plain.data(), plain_len);
    return to_hex(digest.data(), digest.size());
}

}  // namespace

int encryptDirectory(std::string_view password, std::string_view data, std::string* hash,
                     bv::Data* key) noexcept {
    try {
        std::array<std::uint8_t, cryptography::kKeySize> folder_key;
        wipe_on_exit wipe_key{folder_key};
        cryptography::create_key(password, folder_key.data(), folder_key.size());
        std::string hash_text = verifier_hash(folder_key.data(), folder_key.size(), data);
        bv::Data key_bytes(folder_key.data(), folder_key.size());
        if (hash)
            *hash = std::move(hash_text);
        if (key)
            *key = std::move(key_bytes);
        return 1;
    } catch (...) {
        return 0;
    }
}

int verifierHashWithKey(const bv::Data& key, std::string_view data, std::string* hash) noexcept {
    try {
        if (key.size() != cryptography::kKeySize)
            return 0;
        std::string hash_text = verifier_hash(key.bytes(), key.size(), data);
        if (hash)
            *hash = std::move(hash_text);
        return 1;
    } catch (...) {
        return 0;
    }
}

std::size_t encryptBlock(const std::uint8_t* plain, std::uint8_t* out, const std::uint8_t* key,
                         std::size_t key_len, std::size_t plain_len, std::size_t out_cap) noexcept {
    try {
        if (out == nullptr)
            return 0;
        return cryptography::encrypt(plain, plain_len, out, out_cap, key, key_len);
    } catch (...) {
        return 0;
    }
}

std::size_t decryptBlock(const std::uint8_t* record, std::uint8_t* out, const std::uint8_t* key,
                         std::size_t key_len, std::size_t record_len,
                         std::size_t out_cap) noexcept {
    try {
        if (out == nullptr)
            return 0;
        return cryptography::decrypt(record, record_len, out, out_cap, key, key_len);
    } catch (...) {
        return 0;
    }
}
