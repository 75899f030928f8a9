#include "platform/XdgPaths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace bv::XdgPaths {
namespace {

// The XDG rules ignore unset, empty and relative values.
std::optional<std::filesystem::path> absoluteFromEnv(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value || value[0] != '/')
        return std::nullopt;
    return std::filesystem::path(value);
}

}  // namespace

std::filesystem::path home() {
    if (auto h = absoluteFromEnv("HOME"))
        return *h;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir)
        return found->pw_dir;
    return "/tmp";
}

std::filesystem::path dataHome() {
    return absoluteFromEnv("XDG_DATA_HOME").value_or(home() / ".local/share");
}

std::filesystem::path configHome() {
    return absoluteFromEnv("XDG_CONFIG_HOME").value_or(home() / ".config");
}

std::filesystem::path stateHome() {
    return absoluteFromEnv("XDG_STATE_HOME").value_or(home() / ".local/state");
}

std::filesystem::path cacheHome() {
    return absoluteFromEnv("XDG_CACHE_HOME").value_or(home() / ".cache");
}

std::filesystem::path runtimeBase() {
    return absoluteFromEnv("XDG_RUNTIME_DIR").value_or(std::filesystem::path());
}

std::filesystem::path runtimeDir() {
    std::filesystem::path base = runtimeBase();
    std::string name = "brimvault";
    if (base.empty()) {
        base = "/tmp";
        name = "brimvault-" + std::to_string(geteuid());
    }
    UniqueFd parent(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent || !openPrivateFolder(parent.get(), name, false))
        return {};
    return base / name;
}

bool createPrivateDirectories(const std::filesystem::path& dir) {
    if (dir.empty())
        return false;
    std::error_code ec;
    std::filesystem::path partial;
    for (const auto& part : dir) {
        partial /= part;
        if (std::filesystem::is_directory(partial, ec))
            continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (st.st_uid == geteuid() && (st.st_mode & 077) != 0)
        chmod(dir.c_str(), st.st_mode & 0700);
    return true;
}

UniqueFd openPrivateFolder(int parent, const std::string& name, bool replaceOwn) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST)
            return UniqueFd();
        UniqueFd fd(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            if (errno != ELOOP && errno != ENOTDIR)
                return UniqueFd();
            struct stat st;
            if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;  // gone meanwhile: make it again
            if (!replaceOwn || st.st_uid != geteuid() || unlinkat(parent, name.c_str(), 0) != 0)
                return UniqueFd();
            continue;
        }
        struct stat st;
        if (fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
            return UniqueFd();
        if ((st.st_mode & 07777) != 0700 && fchmod(fd.get(), 0700) != 0)
            return UniqueFd();
        return fd;
    }
    return UniqueFd();
}

}  // namespace bv::XdgPaths
