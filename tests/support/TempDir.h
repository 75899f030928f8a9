#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace bvtest {

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
  public:
    explicit TempDir(const std::string& tag = "bvtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Points HOME and the XDG folders at a temporary folder for the lifetime of the object,
// so tests never touch the real user's files. Restores the previous values afterwards.
class ScopedHome {
  public:
    ScopedHome();
    ~ScopedHome();
    const std::filesystem::path& path() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// The contents of every file directly inside folder, one after the other (log folders).
std::string contentsOfFilesIn(const std::filesystem::path& folder);

}  // namespace bvtest
