#pragma once

#include <string>
#include <string_view>
#include <vector>

// Paths of the mounted volume: absolute, "/"-separated, "/" being the account's root.
class BVVolumePath {
  public:
    // "/" first for an absolute path, then each non-empty component, then "/" again when the
    // path ends in "/": "/a/b/" -> {"/", "a", "b", "/"}, "/" -> {"/"}, "" -> {}.
    static std::vector<std::string> components(std::string_view path);
    // The first components as components() gives them, without building the others: at most
    // max of them into out; answers how many were written.
    static size_t leadingComponents(std::string_view path, std::string_view* out, size_t max);
    // components(path).size(), without building them.
    static size_t componentCount(std::string_view path);
    // The last non-empty component ("/" for the root, "" for the empty path).
    static std::string lastComponent(std::string_view path);
    // The path without its last component; "/" for a top-level item and for the root, ""
    // for a relative single component.
    static std::string parent(std::string_view path);
    // path + "/" + name with exactly one "/" between them.
    static std::string appending(std::string_view path, std::string_view name);
    // Repeated and trailing "/" removed, "." dropped, ".." taking away the component before
    // it (never above the root).
    static std::string standardized(std::string_view path);
};
