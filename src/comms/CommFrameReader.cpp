#include "comms/CommFrameReader.h"

bv::Data CommFrameReader::frame(const bv::Data& payload) {
    if (payload.size() > kMaxMessage)
        return {};
    auto n = static_cast<uint32_t>(payload.size());
    uint8_t header[kHeaderSize] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                                   static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    bv::Data out;
    out.reserve(kHeaderSize + payload.size());
    out.append(header, kHeaderSize);
    out.append(payload);
    return out;
}

bool CommFrameReader::append(const uint8_t* bytes, size_t length) {
    if (failed_)
        return false;
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + length);
    if (buffer_.size() - start_ >= kHeaderSize) {
        const uint8_t* h = buffer_.data() + start_;
        uint32_t n = (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
        if (n > kMaxMessage)
            failed_ = true;
    }
    return !failed_;
}

std::optional<bv::Data> CommFrameReader::next() {
    if (failed_ || buffer_.size() - start_ < kHeaderSize)
        return std::nullopt;
    const uint8_t* h = buffer_.data() + start_;
    uint32_t n = (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
    if (n > kMaxMessage) {
        failed_ = true;
        return std::nullopt;
    }
    if (buffer_.size() - start_ - kHeaderSize < n)
        return std::nullopt;
    bv::Data message(buffer_.data() + start_ + kHeaderSize, n);
    start_ += kHeaderSize + n;
    // Drop handed-out bytes now and then so a long connection does not grow without bound.
    if (start_ > kMaxMessage) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    return message;
}
