#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Data.h"

// A stream socket keeps no message boundaries: two quick sends may arrive in one read and
// one large message in several. Each message therefore travels as a 4-byte big-endian
// length followed by that many bytes. The reader collects bytes as they come and hands out
// whole messages; a stated length above kMaxMessage makes it fail for good, and the
// connection is to be dropped.
class CommFrameReader {
  public:
    static constexpr size_t kMaxMessage = 1024 * 1024;
    static constexpr size_t kHeaderSize = 4;

    // The frame of one message: header and payload. Empty when payload exceeds kMaxMessage.
    static bv::Data frame(const bv::Data& payload);

    // Adds received bytes; false once a stated length was refused (everything after is
    // ignored).
    [[nodiscard]] bool append(const uint8_t* bytes, size_t length);
    // The next whole message, oldest first.
    std::optional<bv::Data> next();
    bool failed() const { return failed_; }

  private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;  // first byte of buffer_ not yet handed out
    bool failed_ = false;
};
