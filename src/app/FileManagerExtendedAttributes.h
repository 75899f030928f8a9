#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"

// Real extended attributes of files on the local disk. Names are the suite's own
// ("com.apple.progress.fractionCompleted"); Linux keeps unprivileged attributes in
// the "user." namespace, so every name is stored as "user." + name, and listing answers
// only the attributes of that namespace, without the prefix. Symbolic links are followed
// only when traverseLink is true.
//
// On failure the error (domain "NSPOSIXErrorDomain", code errno) carries in its user-info
// "error" (the system's text), "function" ("listxattr", "getxattr", "setxattr" or
// "removexattr") and the arguments under ":path", ":name", ":value.length",
// ":traverseLink" and ":mode".
class FileManagerExtendedAttributes {
  public:
    static constexpr const char* kErrorDomain = "NSPOSIXErrorDomain";
    static constexpr const char* kNamespacePrefix = "user.";

    // The name as the system stores it, and back (nothing for names of other namespaces).
    static std::string systemName(const std::string& name);
    static std::optional<std::string> designName(const std::string& systemName);

    static std::optional<std::vector<std::string>> extendedAttributeNamesAtPath(
        const std::string& path, bool traverseLink, bv::Error* error);
    // False as well when the attribute is missing (that is not an error).
    static bool hasExtendedAttribute(const std::string& name, const std::string& path,
                                     bool traverseLink, bv::Error* error);
    static std::optional<bv::Data> extendedAttribute(const std::string& name,
                                                     const std::string& path, bool traverseLink,
                                                     bv::Error* error);
    static std::optional<std::map<std::string, bv::Data>> extendedAttributesAtPath(
        const std::string& path, bool traverseLink, bv::Error* error);
    // mode: 0, XATTR_CREATE or XATTR_REPLACE.
    static bool setExtendedAttribute(const std::string& name, const bv::Data& value,
                                     const std::string& path, bool traverseLink, int mode,
                                     bv::Error* error);
    static bool removeExtendedAttribute(const std::string& name, const std::string& path,
                                        bool traverseLink, bv::Error* error);
    // With overwrite, the attributes not in attributes are removed first.
    static bool setExtendedAttributes(const std::map<std::string, bv::Data>& attributes,
                                      const std::string& path, bool traverseLink, bool overwrite,
                                      bv::Error* error);
};
