#pragma once

#include <filesystem>

namespace bv::XdgPaths {

// Read from the environment on every call, so tests can point them at a temporary folder.
std::filesystem::path home();        // $HOME, else the password database
std::filesystem::path dataHome();    // $XDG_DATA_HOME, else ~/.local/share
std::filesystem::path configHome();  // $XDG_CONFIG_HOME, else ~/.config
std::filesystem::path stateHome();   // $XDG_STATE_HOME, else ~/.local/state
// $XDG_RUNTIME_DIR/brimvault, else /tmp/brimvault-<uid>; created with mode 0700.
std::filesystem::path runtimeDir();

}  // namespace bv::XdgPaths
