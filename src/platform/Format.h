#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace bv {

// Text form of a value as a log record or message shows it: strings as they are,
// numbers in decimal, objects through their description().
template <typename T>
concept HasDescription = requires(const T& v) {
    { v.description() } -> std::convertible_to<std::string>;
};

template <typename T>
concept Streamable = requires(std::ostream& os, const T& v) { os << v; };

template <typename T>
std::string toText(const T& value);

namespace detail {
template <typename T>
std::string toTextImpl(const T& value) {
    using U = std::decay_t<T>;
    if constexpr (std::is_same_v<U, bool>) {
        return value ? "1" : "0";
    } else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
        return std::string(value);
    } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
        const char* text = value;  // also char arrays, whose address is never null
        return text ? std::string(text) : std::string("(null)");
    } else if constexpr (std::is_integral_v<U> || std::is_floating_point_v<U>) {
        std::ostringstream os;
        os << value;
        return os.str();
    } else if constexpr (HasDescription<U>) {
        return value.description();
    } else if constexpr (requires { value.get(); *value; }) {
        // Smart pointers: the pointee's text, or "(null)".
        return value ? toText(*value) : std::string("(null)");
    } else if constexpr (std::is_pointer_v<U>) {
        return value ? toText(*value) : std::string("(null)");
    } else if constexpr (requires { value.dump(); }) {
        return value.dump();  // JSON values
    } else if constexpr (Streamable<U>) {
        std::ostringstream os;
        os << value;
        return os.str();
    } else {
        static_assert(sizeof(U) == 0, "no text form for this type");
    }
}
}  // namespace detail

template <typename T>
std::string toText(const T& value) {
    return detail::toTextImpl(value);
}

// Expands a printf-shaped format whose placeholders ("%@", "%d", "%lu", "%s", "%f", ...)
// each take the next argument's text form. "%%" is a percent sign. A placeholder with no
// argument left stays as it is, so a malformed format never reads past the arguments.
std::string formatWithTexts(std::string_view format, const std::vector<std::string>& args);

template <typename... Args>
std::string format(std::string_view fmt, const Args&... args) {
    return formatWithTexts(fmt, std::vector<std::string>{toText(args)...});
}

}  // namespace bv
