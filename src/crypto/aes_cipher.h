#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/cipher_block_algorithm.h"
#include "crypto/evp_handles.h"

namespace bv_crypt {

// What aes_encrypt and aes_decrypt share: the keyed library context, the mode and the
// 16-byte IV buffer. In CBC mode the IV buffer always holds the chaining value, so a new
// key continues the chain where the previous one stopped, and several process_data calls
// make one CBC stream.
class aes_cipher : public cipher_block_algorithm {
  public:
    static constexpr std::size_t kBlockSize = 16;

    ~aes_cipher() override;

    int get_type() const override { return type_aes; }
    void set_key(const std::uint8_t* key, std::size_t key_len, int mode) override;
    void set_iv(const std::uint8_t* iv, std::size_t iv_len) override;
    int get_mode() const override { return mode_; }
    std::size_t get_block_size() const override { return kBlockSize; }

    // Transforms the whole blocks of the input and answers their length; the rest waits
    // for the next call or for process_data_final.
    std::int64_t process_data(const std::uint8_t* in, std::size_t in_len, std::uint8_t* out,
                              std::size_t out_cap) override;

    // Whole blocks that fit in len bytes.
    static std::size_t whole_blocks(std::size_t len) { return len - len % kBlockSize; }

  protected:
    explicit aes_cipher(bool encrypting);
    // Transforms len bytes (a multiple of the block size); in may equal out.
    void transform(const std::uint8_t* in, std::size_t len, std::uint8_t* out);

  private:
    evp::cipher_ctx_ptr ctx_;
    const EVP_CIPHER* cipher_ = nullptr;  // the algorithm ctx_ was keyed for, if any
    bool encrypting_;
    int mode_ = 0;
    std::array<std::uint8_t, kBlockSize> iv_{};
};

}  // namespace bv_crypt
