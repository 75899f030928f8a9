#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace bv {

// JSON values whose nesting of maps and arrays is bounded. The library's binary reader, its
// writers, copies and comparisons recurse once per level, so a value made of nothing but
// nested brackets exhausts the stack of whoever touches it: input from outside is read with a
// depth limit, and values are measured before a recursive writer sees them. A scalar has
// depth 0, a flat map or array depth 1.
class BoundedJson {
  public:
    enum class Format { Text, Cbor };

    // The one complete value held in bytes, or nothing when the bytes are damaged, truncated,
    // followed by more, or nest deeper than maxDepth; tooDeep (when given) tells the last
    // case apart. Never throws.
    static std::optional<nlohmann::json> parse(std::string_view bytes, Format format, int maxDepth,
                                               bool* tooDeep = nullptr);

    // Whether value nests deeper than maxDepth; does not recurse.
    static bool isDeeperThan(const nlohmann::json& value, int maxDepth);
};

}  // namespace bv
