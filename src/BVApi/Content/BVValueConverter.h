#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// Readings of raw answer values. A nullptr or a JSON null stands for a missing key.
class BVValueConverter {
  public:
    // A text: texts as they are, numbers as their decimal text, booleans as "1"/"0";
    // nothing for a missing key, an array or a dictionary.
    static std::optional<std::string> text(const nlohmann::json* raw);

    // 64-bit integer reading: numbers (fractions truncated, clamped to the range), booleans as
    // 0/1, texts by their leading decimal digits after blanks and an optional sign ("12abc"
    // gives 12, "1733790000.5" gives 1733790000, too many digits clamp). Anything else gives 0.
    static int64_t integer(const nlohmann::json* raw);

    // 32-bit reading, clamped to the 32-bit range.
    static int32_t integer32(const nlohmann::json* raw);

    // Boolean reading: numbers are true when not 0; texts when, after blanks, a sign and
    // leading zeros, they begin with Y, y, T, t or a digit 1-9. Anything else is false.
    static bool flag(const nlohmann::json* raw);

    // A value that counts as present (not missing, not JSON null).
    static bool isPresent(const nlohmann::json* raw) { return raw && !raw->is_null(); }

    // The value at a "."-separated key path of a dictionary, or nullptr.
    static const nlohmann::json* valueAtKeyPath(const nlohmann::json& dict,
                                                std::string_view keyPath);
};
