#include "BVApi/Content/BVValueConverter.h"

#include <cmath>
#include <limits>

using json = nlohmann::json;

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

int64_t clampDouble(double d) {
    constexpr double kMax = 9223372036854775807.0;
    if (std::isnan(d))
        return 0;
    if (d >= kMax)
        return std::numeric_limits<int64_t>::max();
    if (d <= -kMax)
        return std::numeric_limits<int64_t>::min();
    return int64_t(d);
}

int64_t integerOfText(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && isBlank(s[i]))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                    : uint64_t(std::numeric_limits<int64_t>::max());
    bool overflow = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        uint64_t digit = uint64_t(s[i] - '0');
        if (overflow || magnitude > (limit - digit) / 10) {
            overflow = true;
            continue;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (overflow)
        magnitude = limit;
    if (negative)
        return magnitude == limit ? std::numeric_limits<int64_t>::min() : -int64_t(magnitude);
    return int64_t(magnitude);
}

bool flagOfText(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && isBlank(s[i]))
        ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    while (i < s.size() && s[i] == '0')
        ++i;
    if (i == s.size())
        return false;
    char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace

std::optional<std::string> BVValueConverter::text(const json* raw) {
    if (!raw)
        return std::nullopt;
    switch (raw->type()) {
        case json::value_t::string:
            return raw->get_ref<const std::string&>();
        case json::value_t::number_integer:
            return std::to_string(raw->get<int64_t>());
        case json::value_t::number_unsigned:
            return std::to_string(raw->get<uint64_t>());
        case json::value_t::number_float:
            return raw->dump();
        case json::value_t::boolean:
            return std::string(raw->get<bool>() ? "1" : "0");
        default:
            return std::nullopt;
    }
}

int64_t BVValueConverter::integer(const json* raw) {
    if (!raw)
        return 0;
    switch (raw->type()) {
        case json::value_t::number_integer:
            return raw->get<int64_t>();
        case json::value_t::number_unsigned: {
            uint64_t u = raw->get<uint64_t>();
            return u > uint64_t(std::numeric_limits<int64_t>::max())
                       ? std::numeric_limits<int64_t>::max()
                       : int64_t(u);
        }
        case json::value_t::number_float:
            return clampDouble(raw->get<double>());
        case json::value_t::boolean:
            return raw->get<bool>() ? 1 : 0;
        case json::value_t::string:
            return integerOfText(raw->get_ref<const std::string&>());
        default:
            return 0;
    }
}

int32_t BVValueConverter::integer32(const json* raw) {
    int64_t v = integer(raw);
    if (v > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return int32_t(v);
}

bool BVValueConverter::flag(const json* raw) {
    if (!raw)
        return false;
    switch (raw->type()) {
        case json::value_t::boolean:
            return raw->get<bool>();
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
            return integer(raw) != 0;
        case json::value_t::number_float:
            return raw->get<double>() != 0.0;
        case json::value_t::string:
            return flagOfText(raw->get_ref<const std::string&>());
        default:
            return false;
    }
}

const json* BVValueConverter::valueAtKeyPath(const json& dict, std::string_view keyPath) {
    const json* node = &dict;
    while (true) {
        if (!node->is_object())
            return nullptr;
        size_t dot = keyPath.find('.');
        std::string_view key = keyPath.substr(0, dot);
        auto it = node->find(key);
        if (it == node->end())
            return nullptr;
        node = &*it;
        if (dot == std::string_view::npos)
            return node;
        keyPath.remove_prefix(dot + 1);
    }
}
