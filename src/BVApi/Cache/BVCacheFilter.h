#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// A filter over metadata entries. Two kinds are needed: "path ==[cd] value" (equality
// ignoring letter case and diacritics) and "field == value" (exact text equality).
class BVCacheFilter {
  public:
    enum class Kind { PathIgnoringCaseAndDiacritics, FieldEquals };

    static BVCacheFilter pathMatching(std::string_view path);
    static BVCacheFilter fieldEquals(std::string field, std::string value);

    bool matches(const nlohmann::json& meta) const;

    Kind kind() const { return kind_; }
    const std::string& field() const { return field_; }
    // The compared value: folded for a path filter.
    const std::string& value() const { return value_; }

    // The form in which two texts are equal ignoring case and diacritics: decomposed,
    // case-folded, combining marks removed. Bytes that are not UTF-8 are lower-cased as ASCII.
    static std::string folded(std::string_view text);

  private:
    BVCacheFilter(Kind kind, std::string field, std::string value)
        : kind_(kind), field_(std::move(field)), value_(std::move(value)) {}

    Kind kind_;
    std::string field_;
    std::string value_;
};
