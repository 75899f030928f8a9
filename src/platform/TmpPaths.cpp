#include "platform/TmpPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/XdgPaths.h"

namespace bv {
namespace TmpPaths {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSharedTmpFolder = "/tmp/";

constexpr std::array<std::string_view, 7> kRuntimeNames = {
    "BrimvaultSession.id", "BrimvaultID.id", "BrimvaultDriveName.dat",
    "access.dat",          "Inhb.dat",       "brimvault.sock",
    "brimvaultupload.sock"};

// X of "/tmp/X", when every component of X is a plain name.
std::optional<std::string_view> relativePart(std::string_view fixedPath) {
    if (fixedPath.substr(0, kSharedTmpFolder.size()) != kSharedTmpFolder)
        return std::nullopt;
    std::string_view rest = fixedPath.substr(kSharedTmpFolder.size());
    if (rest.find('\0') != std::string_view::npos)
        return std::nullopt;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = std::min(rest.find('/', start), rest.size());
        std::string_view part = rest.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return std::nullopt;
        start = end + 1;
    }
    return rest;
}

// Nobody but us and the administrator can rename or replace what such a folder holds.
bool nobodyElseCanReplaceEntries(const struct stat& st) {
    bool owner = st.st_uid == geteuid() || st.st_uid == 0;
    bool openToOthers = (st.st_mode & 022) != 0;
    return S_ISDIR(st.st_mode) && owner && (!openToOthers || (st.st_mode & S_ISVTX));
}

// Every folder from "/" down to base (links resolved as the system would follow them).
bool wayIsTrusted(const fs::path& base) {
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(base.c_str(), nullptr),
                                                         &std::free);
    if (!resolved)
        return false;
    fs::path partial;
    for (const auto& part : fs::path(resolved.get())) {
        partial /= part;
        struct stat st;
        if (stat(partial.c_str(), &st) != 0 || !nobodyElseCanReplaceEntries(st))
            return false;
    }
    return true;
}

// base/names..., each level ours, real and private; empty when any is not.
fs::path privateFolderBelow(const fs::path& base, const std::vector<std::string>& names) {
    if (base.empty() || !wayIsTrusted(base))
        return {};
    UniqueFd parent(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent)
        return {};
    fs::path path = base;
    for (const auto& name : names) {
        UniqueFd next = XdgPaths::openPrivateFolder(parent.get(), name, false);
        if (!next)
            return {};
        parent = std::move(next);
        path /= name;
    }
    return path;
}

fs::path cacheRoot(const Bases& bases) {
    std::error_code ec;
    // The cache home may not exist yet on a new account; an existing one keeps its mode.
    if (!bases.cache.empty() && !fs::exists(bases.cache, ec))
        XdgPaths::createPrivateDirectories(bases.cache);
    return privateFolderBelow(bases.cache, {"Brimvault", "tmp"});
}

fs::path runtimeRoot(const Bases& bases) {
    fs::path root;
    if (!bases.runtime.empty())
        root = privateFolderBelow(bases.runtime, {"brimvault", "tmp"});
    if (root.empty())
        root =
            privateFolderBelow(bases.sharedTmp, {"brimvault-" + std::to_string(geteuid()), "tmp"});
    return root.empty() ? cacheRoot(bases) : root;
}

}  // namespace

Bases Bases::fromEnvironment() {
    return Bases{XdgPaths::runtimeBase(), "/tmp", XdgPaths::cacheHome()};
}

Root rootOf(std::string_view fixedPath) {
    auto relative = relativePart(fixedPath);
    for (std::string_view name : kRuntimeNames) {
        if (relative && *relative == name)
            return Root::Runtime;
    }
    return Root::Cache;
}

fs::path root(Root which, const Bases& bases) {
    return which == Root::Runtime ? runtimeRoot(bases) : cacheRoot(bases);
}

std::string pathFor(std::string_view fixedPath, const Bases& bases) {
    auto relative = relativePart(fixedPath);
    if (!relative)
        return {};
    fs::path base = root(rootOf(fixedPath), bases);
    return base.empty() ? std::string() : (base / *relative).string();
}

}  // namespace TmpPaths

std::string bvTmpPath(std::string_view fixedPath) {
    return TmpPaths::pathFor(fixedPath);
}

}  // namespace bv
