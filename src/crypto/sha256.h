#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/digest_algorithm.h"
#include "crypto/evp_handles.h"

namespace bv_crypt {

class sha256 : public digest_algorithm {
  public:
    static constexpr std::size_t kDigestSize = 32;
    using digest = std::array<std::uint8_t, kDigestSize>;

    sha256();

    int get_type() const override { return type_sha256; }
    std::size_t get_digest_size() const override { return kDigestSize; }
    void update(const std::uint8_t* data, std::size_t len) override;
    void final(std::uint8_t* out, std::size_t out_len) override;

    // The digest of one buffer.
    static digest of(const std::uint8_t* data, std::size_t len);

  private:
    void restart();

    evp::md_ctx_ptr ctx_;
};

}  // namespace bv_crypt
