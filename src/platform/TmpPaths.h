#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace bv {

// The programs of the suite name their small shared files by fixed paths "/tmp/X" (session
// files, command sockets, the temporary store, part files, the reporting folder, scripts,
// renaming records, the log scratch folder). In a /tmp shared by every user of the machine
// anyone could create those names first and block or spoof us, so each lives at
// "<tmp root>/X" in a folder of our own, found by every program through bvTmpPath:
//
// - the small per-login state (the five session files and the two command sockets) below
//   the runtime root, $XDG_RUNTIME_DIR/brimvault/tmp, else /tmp/brimvault-<uid>/tmp;
// - everything else, which holds file contents or must survive a reboot, below the cache
//   root, $XDG_CACHE_HOME/Brimvault/tmp, on disk.
//
// Each root is made mode 0700 when missing and used only when it is a real directory of
// our own user (never a link); its mode is set back to 0700. Every folder on the way to its
// base is one that nobody else could rename: ours or the administrator's, and writable by
// others only when sticky, like /tmp. When another user holds /tmp/brimvault-<uid>, the
// runtime state moves to the cache root instead, so nobody can keep us from starting; every
// program finds it there the same way.
//
// The roots are looked up again, and made when missing, at every call: programs and tests
// may move the XDG folders.
std::string bvTmpPath(std::string_view fixedPath);

namespace TmpPaths {

enum class Root { Runtime, Cache };

// The folders the roots are made in (tests give their own).
struct Bases {
    std::filesystem::path runtime;    // $XDG_RUNTIME_DIR; empty when unset
    std::filesystem::path sharedTmp;  // the folder every user shares, "/tmp"
    std::filesystem::path cache;      // $XDG_CACHE_HOME
    static Bases fromEnvironment();
};

// Which root holds a fixed path (Runtime for the session files and command sockets).
Root rootOf(std::string_view fixedPath);

// The root, made and checked as above; empty when no safe folder can be had.
std::filesystem::path root(Root which, const Bases& bases = Bases::fromEnvironment());

// "<root>/X" for "/tmp/X"; empty when fixedPath is not "/tmp/" followed by a relative path
// of plain names (no "", ".", ".." or NUL), or when its root cannot be had.
std::string pathFor(std::string_view fixedPath, const Bases& bases = Bases::fromEnvironment());

}  // namespace TmpPaths
}  // namespace bv
