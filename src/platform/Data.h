#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bv {

// A byte buffer. Texts stay std::string; Data is for contents, bodies and keys.
class Data {
public:
    Data() = default;
    explicit Data(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    Data(const void* bytes, size_t length)
        : bytes_(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + length) {}
    static Data fromString(std::string_view text) { return Data(text.data(), text.size()); }

    const uint8_t* bytes() const { return bytes_.data(); }
    uint8_t* mutableBytes() { return bytes_.data(); }
    size_t length() const { return bytes_.size(); }
    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }

    void append(const void* bytes, size_t length) {
        auto* p = static_cast<const uint8_t*>(bytes);
        bytes_.insert(bytes_.end(), p, p + length);
    }
    void append(const Data& other) { append(other.bytes(), other.length()); }
    void resize(size_t length) { bytes_.resize(length); }
    void clear() { bytes_.clear(); }
    void reserve(size_t length) { bytes_.reserve(length); }

    // Bytes [offset, offset+length) clipped to the buffer.
    Data subdata(size_t offset, size_t length) const;
    std::string toString() const { return std::string(bytes_.begin(), bytes_.end()); }
    std::string_view view() const {
        return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
    }

    const std::vector<uint8_t>& vector() const { return bytes_; }
    std::vector<uint8_t>& vector() { return bytes_; }

    bool operator==(const Data& other) const = default;

private:
    std::vector<uint8_t> bytes_;
};

inline Data Data::subdata(size_t offset, size_t length) const {
    if (offset >= bytes_.size()) return {};
    size_t end = offset + std::min(length, bytes_.size() - offset);
    return Data(std::vector<uint8_t>(bytes_.begin() + offset, bytes_.begin() + end));
}

}  // namespace bv
