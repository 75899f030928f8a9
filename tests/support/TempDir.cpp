#include "TempDir.h"

#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace bvtest {

TempDir::TempDir(const std::string& tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedHome::ScopedHome() : dir_("bvhome") {
    const std::map<std::string, std::string> values = {
        {"HOME", dir_.path().string()},
        {"XDG_DATA_HOME", (dir_.path() / ".local/share").string()},
        {"XDG_CONFIG_HOME", (dir_.path() / ".config").string()},
        {"XDG_STATE_HOME", (dir_.path() / ".local/state").string()},
        {"XDG_CACHE_HOME", (dir_.path() / ".cache").string()},
        {"XDG_RUNTIME_DIR", (dir_.path() / "run").string()},
    };
    for (const auto& [key, value] : values) {
        const char* old = std::getenv(key.c_str());
        saved_[key] = old ? std::optional<std::string>(old) : std::nullopt;
        setenv(key.c_str(), value.c_str(), 1);
    }
    std::filesystem::create_directories(dir_.path() / "run");
    std::filesystem::permissions(dir_.path() / "run", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
}

ScopedHome::~ScopedHome() {
    for (const auto& [key, value] : saved_) {
        if (value)
            setenv(key.c_str(), value->c_str(), 1);
        else
            unsetenv(key.c_str());
    }
}

std::string contentsOfFilesIn(const std::filesystem::path& folder) {
    std::string text;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream contents;
        contents << in.rdbuf();
        text += contents.str();
    }
    return text;
}

}  // namespace bvtest
