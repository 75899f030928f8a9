#pragma once

#include <string>

namespace bvserver {

// Rules for the names of files and folders.
class NameRules {
  public:
    // Whether the name is valid UTF-8, not empty, not "." or "..", has no "/" and no
    // control character (NUL, escape, C1 controls ...), and is at most 255 bytes.
    static bool isValid(const std::string& name);
    // Throws ServiceError unless isValid(name).
    static void validate(const std::string& name);

    // The comparison key: case-folded and decomposed, so "A.txt", "a.txt" and the
    // precomposed and decomposed spellings of an accented name share one key.
    static std::string key(const std::string& name);
};

}  // namespace bvserver
