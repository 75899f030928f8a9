#include "platform/XdgPaths.h"

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

// A folder that only we may use: a real directory (not a link), owned by us, mode 0700.
bool makePrivate(const std::filesystem::path& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return false;
    if ((st.st_mode & 0777) != 0700 && chmod(dir.c_str(), 0700) != 0)
        return false;
    return true;
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

std::filesystem::path runtimeDir() {
    std::filesystem::path dir;
    if (auto base = absoluteFromEnv("XDG_RUNTIME_DIR"))
        dir = *base / "brimvault";
    else
        dir = "/tmp/brimvault-" + std::to_string(geteuid());
    return makePrivate(dir) ? dir : std::filesystem::path();
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

}  // namespace bv::XdgPaths
