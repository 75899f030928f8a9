#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Data.h"

namespace bv {

// Keyed archives: a map holding the archived object's class name under "$class" and each
// archived field under its name, stored as CBOR. Nested objects are maps of the same shape;
// byte buffers are CBOR byte strings. Knows nothing of what the classes are.
class KeyedArchive {
  public:
    static constexpr const char* kClassKey = "$class";

    // A fresh archive object for an instance of className.
    static nlohmann::json makeObject(const std::string& className);

    // The text under "$class", or nullptr when value is not an archive object.
    static const std::string* className(const nlohmann::json& value);

    // CBOR bytes of an archive object (or of any value); empty for a value nested deeper than
    // kMaxDepth, which decode() could not read back and whose writing would recurse without
    // bound.
    static Data encode(const nlohmann::json& object);

    // The archive object held in bytes: nothing when the bytes are damaged, truncated, nested
    // too deeply or are not a map with a text "$class". Never throws.
    static std::optional<nlohmann::json> decode(const Data& bytes);

    // Any CBOR value, with the same guarantees as decode() but no shape check.
    static std::optional<nlohmann::json> decodeValue(const uint8_t* bytes, size_t length);

    // A byte buffer as an archive value (CBOR byte string) and back; nothing for a value that
    // is not a byte string.
    static nlohmann::json bytesValue(const Data& data);
    static std::optional<Data> dataFrom(const nlohmann::json& value);

    // Deepest nesting of maps and arrays that encode() writes and decode() accepts.
    static constexpr int kMaxDepth = 64;
};

}  // namespace bv
