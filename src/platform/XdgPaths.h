#pragma once

#include <filesystem>
#include <string>

#include "platform/UniqueFd.h"

namespace bv::XdgPaths {

// Read from the environment on every call, so tests can point them at a temporary folder.
// Unset, empty or relative values are ignored, as the XDG rules say.
std::filesystem::path home();         // $HOME, else the password database
std::filesystem::path dataHome();     // $XDG_DATA_HOME, else ~/.local/share
std::filesystem::path configHome();   // $XDG_CONFIG_HOME, else ~/.config
std::filesystem::path stateHome();    // $XDG_STATE_HOME, else ~/.local/state
std::filesystem::path cacheHome();    // $XDG_CACHE_HOME, else ~/.cache
std::filesystem::path runtimeBase();  // $XDG_RUNTIME_DIR, else empty
// $XDG_RUNTIME_DIR/brimvault, else /tmp/brimvault-<uid>; created with mode 0700. Answers an
// empty path when the folder is not a real directory owned by us (somebody else's folder or
// a symbolic link planted at that name), so callers never use a folder others control.
std::filesystem::path runtimeDir();

// Creates dir and its missing parents with mode 0700 and takes group and other access away
// from dir itself when it is ours. False when dir is not a directory afterwards.
bool createPrivateDirectories(const std::filesystem::path& dir);

// Opens the folder name inside the folder parent, making it (mode 0700) when missing, and
// answers it only when it is a real directory of our own user; its mode is made 0700. What
// is found in its place is never followed: a symbolic link or a non-folder is removed and
// replaced when replaceOwn is set and it is ours, and refused otherwise, as is anything of
// another user. An invalid descriptor when refused.
UniqueFd openPrivateFolder(int parent, const std::string& name, bool replaceOwn);

}  // namespace bv::XdgPaths
