#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bv {

// 32 lower-case hexadecimal digits of the MD5 of the bytes; an absent text gives "".
std::string md5HexDigest(std::optional<std::string_view> text);

// A globally unique text made once per process, then always the same.
const std::string& processRunIdentifier();

}  // namespace bv
