#pragma once

#include <string>
#include <string_view>

// Unicode forms of item names. Pure-ASCII texts take a fast path: they are already
// decomposed and their lower case is the ASCII one.
class BVUnicodeNames {
  public:
    // Canonical decomposition (NFD). Bytes that are not UTF-8 come back unchanged.
    static std::string decomposed(std::string_view text);
    static void decomposeInPlace(std::string& text);

    // The lower-case form used to find names regardless of letter case: each code point's
    // lower-case mapping, in NFD. Bytes that are not UTF-8 are lower-cased as ASCII.
    static std::string lowercased(std::string_view text);

    // Whether lowercased(text) == lowered, without building the lower-case text when text is
    // pure ASCII.
    static bool lowercasedEquals(std::string_view text, std::string_view lowered);

    static bool isAscii(std::string_view text);
};
