#pragma once

#include <filesystem>

namespace bv::XdgPaths {

// Read from the environment on every call, so tests can point them at a temporary folder.
// Unset, empty or relative values are ignored, as the XDG rules say.
std::filesystem::path home();        // $HOME, else the password database
std::filesystem::path dataHome();    // $XDG_DATA_HOME, else ~/.local/share
std::filesystem::path configHome();  // $XDG_CONFIG_HOME, else ~/.config
std::filesystem::path stateHome();   // $XDG_STATE_HOME, else ~/.local/state
// $XDG_RUNTIME_DIR/brimvault, else /tmp/brimvault-<uid>; created with mode 0700. Answers an
// empty path when the folder is not a real directory owned by us (somebody else's folder or
// a symbolic link planted at that name), so callers never use a folder others control.
std::filesystem::path runtimeDir();

// Creates dir and its missing parents with mode 0700 and takes group and other access away
// from dir itself when it is ours. False when dir is not a directory afterwards.
bool createPrivateDirectories(const std::filesystem::path& dir);

}  // namespace bv::XdgPaths
