#include "app/FileManagerExtendedAttributes.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

namespace {

struct CallArguments {
    const char* function;
    const std::string& path;
    const std::string* name = nullptr;
    std::optional<size_t> valueLength;
    bool traverseLink = false;
    std::optional<int> mode;
};

bv::Error posixError(int code, const CallArguments& args) {
    bv::ErrorUserInfo info;
    info["error"] = std::string(std::strerror(code));
    info["function"] = std::string(args.function);
    info[":path"] = args.path;
    if (args.name)
        info[":name"] = *args.name;
    if (args.valueLength)
        info[":value.length"] = int64_t(*args.valueLength);
    info[":traverseLink"] = int64_t(args.traverseLink ? 1 : 0);
    if (args.mode)
        info[":mode"] = int64_t(*args.mode);
    return bv::Error(FileManagerExtendedAttributes::kErrorDomain, code, std::move(info));
}

ssize_t listNames(const std::string& path, char* buffer, size_t size, bool traverse) {
    return traverse ? ::listxattr(path.c_str(), buffer, size)
                    : ::llistxattr(path.c_str(), buffer, size);
}

ssize_t getValue(const std::string& path, const std::string& name, void* buffer, size_t size,
                 bool traverse) {
    return traverse ? ::getxattr(path.c_str(), name.c_str(), buffer, size)
                    : ::lgetxattr(path.c_str(), name.c_str(), buffer, size);
}

// Sizes can change between the two calls; a few rounds settle it.
template <typename Call>
std::optional<std::vector<char>> readSized(Call call, int* savedErrno) {
    for (int round = 0; round < 4; ++round) {
        ssize_t needed = call(nullptr, 0);
        if (needed < 0) {
            *savedErrno = errno;
            return std::nullopt;
        }
        std::vector<char> buffer(size_t(needed) + 1);
        ssize_t got = call(buffer.data(), buffer.size());
        if (got >= 0) {
            buffer.resize(size_t(got));
            return buffer;
        }
        if (errno != ERANGE) {
            *savedErrno = errno;
            return std::nullopt;
        }
    }
    *savedErrno = ERANGE;
    return std::nullopt;
}

}  // namespace

std::string FileManagerExtendedAttributes::systemName(const std::string& name) {
    return kNamespacePrefix + name;
}

std::optional<std::string> FileManagerExtendedAttributes::designName(
    const std::string& systemName) {
    const std::string prefix = kNamespacePrefix;
    if (systemName.size() <= prefix.size() || systemName.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    return systemName.substr(prefix.size());
}

std::optional<std::vector<std::string>> FileManagerExtendedAttributes::extendedAttributeNamesAtPath(
    const std::string& path, bool traverseLink, bv::Error* error) {
    int saved = 0;
    auto buffer =
        readSized([&](char* b, size_t s) { return listNames(path, b, s, traverseLink); }, &saved);
    if (!buffer) {
        bv::setError(error, posixError(saved, {"listxattr", path, nullptr, {}, traverseLink, {}}));
        return std::nullopt;
    }
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t i = 0; i < buffer->size(); ++i) {
        if ((*buffer)[i] != '\0')
            continue;
        std::string raw(buffer->data() + start, i - start);
        if (auto name = designName(raw))
            names.push_back(std::move(*name));
        start = i + 1;
    }
    return names;
}

bool FileManagerExtendedAttributes::hasExtendedAttribute(const std::string& name,
                                                         const std::string& path, bool traverseLink,
                                                         bv::Error* error) {
    std::string sys = systemName(name);
    if (getValue(path, sys, nullptr, 0, traverseLink) >= 0)
        return true;
    int saved = errno;
    if (saved != ENODATA)
        bv::setError(error, posixError(saved, {"getxattr", path, &name, {}, traverseLink, {}}));
    return false;
}

std::optional<bv::Data> FileManagerExtendedAttributes::extendedAttribute(const std::string& name,
                                                                         const std::string& path,
                                                                         bool traverseLink,
                                                                         bv::Error* error) {
    std::string sys = systemName(name);
    int saved = 0;
    auto buffer = readSized(
        [&](char* b, size_t s) { return getValue(path, sys, b, s, traverseLink); }, &saved);
    if (!buffer) {
        bv::setError(error, posixError(saved, {"getxattr", path, &name, {}, traverseLink, {}}));
        return std::nullopt;
    }
    return bv::Data(buffer->data(), buffer->size());
}

std::optional<std::map<std::string, bv::Data>>
FileManagerExtendedAttributes::extendedAttributesAtPath(const std::string& path, bool traverseLink,
                                                        bv::Error* error) {
    auto names = extendedAttributeNamesAtPath(path, traverseLink, error);
    if (!names)
        return std::nullopt;
    std::map<std::string, bv::Data> values;
    for (const auto& name : *names) {
        auto value = extendedAttribute(name, path, traverseLink, error);
        if (!value)
            return std::nullopt;
        values.emplace(name, std::move(*value));
    }
    return values;
}

bool FileManagerExtendedAttributes::setExtendedAttribute(const std::string& name,
                                                         const bv::Data& value,
                                                         const std::string& path, bool traverseLink,
                                                         int mode, bv::Error* error) {
    std::string sys = systemName(name);
    int rc = traverseLink
                 ? ::setxattr(path.c_str(), sys.c_str(), value.bytes(), value.length(), mode)
                 : ::lsetxattr(path.c_str(), sys.c_str(), value.bytes(), value.length(), mode);
    if (rc == 0)
        return true;
    int saved = errno;
    bv::setError(error,
                 posixError(saved, {"setxattr", path, &name, value.length(), traverseLink, mode}));
    return false;
}

bool FileManagerExtendedAttributes::removeExtendedAttribute(const std::string& name,
                                                            const std::string& path,
                                                            bool traverseLink, bv::Error* error) {
    std::string sys = systemName(name);
    int rc = traverseLink ? ::removexattr(path.c_str(), sys.c_str())
                          : ::lremovexattr(path.c_str(), sys.c_str());
    if (rc == 0)
        return true;
    int saved = errno;
    bv::setError(error, posixError(saved, {"removexattr", path, &name, {}, traverseLink, {}}));
    return false;
}

bool FileManagerExtendedAttributes::setExtendedAttributes(
    const std::map<std::string, bv::Data>& attributes, const std::string& path, bool traverseLink,
    bool overwrite, bv::Error* error) {
    if (overwrite) {
        auto existing = extendedAttributeNamesAtPath(path, traverseLink, error);
        if (!existing)
            return false;
        for (const auto& name : *existing) {
            if (attributes.count(name))
                continue;
            if (!removeExtendedAttribute(name, path, traverseLink, error))
                return false;
        }
    }
    for (const auto& [name, value] : attributes) {
        if (!setExtendedAttribute(name, value, path, traverseLink, 0, error))
            return false;
    }
    return true;
}
