#pragma once

#include <cstddef>
#include <string_view>

// What the name of a file or folder may be: one component of a volume path, as the volume,
// the cache and a local folder tree can hold it and as a terminal can print it. Names that
// come from the service and names that come from the user are held to the same rule.
class BVItemNames {
  public:
    static constexpr size_t kMaxNameBytes = 255;

    // Not empty, not "." or "..", no "/", no NUL or other control character (U+0001 to
    // U+001F, U+007F to U+009F), at most kMaxNameBytes bytes of UTF-8.
    static bool isUsableName(std::string_view name);

    // "0" the root, "-1" the trash, "-2" the "Shared Folders" folder: identifiers that no
    // entry below another folder may carry.
    static bool isFixedFolderIdentifier(std::string_view identifier);
};
