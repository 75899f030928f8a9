#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "Keelhaven/SyncBackTaskExecutor/DirectoryEnumerator.h"
#include "platform/UniqueFd.h"

// Writes below a task's local root without ever following a symbolic link inside the tree:
// every path is walked from the root's descriptor one component at a time with O_NOFOLLOW,
// so a link placed by anyone cannot redirect a write outside the root. Removed or replaced
// items go to the freedesktop trash, never unlinked.
class LocalTree {
  public:
    // Names of part files of downloads in progress; listings leave them out.
    static constexpr const char* kPartPrefix = DirectoryEnumerator::kPartPrefix;

    LocalTree(std::filesystem::path root, std::filesystem::path trashRoot);

    const std::filesystem::path& root() const { return root_; }
    // The path below the root for an absolute path inside it; empty when outside.
    std::string relative(const std::string& absolutePath) const;

    // The folder holding relativePath's last component, opened without following links,
    // and that component. Invalid descriptor (errno set) when a component is missing or a link.
    bv::UniqueFd openParent(const std::string& relativePath, std::string* leaf) const;

    // Creates the folder and its missing parents; true when it exists as a folder afterwards.
    bool makeFolder(const std::string& relativePath, std::string* error) const;
    // A new, owner-only part file beside relativePath, named after id; its path through the
    // pinned parent descriptor is written to *partPath. The descriptor stays open in *parent.
    bool createPart(const std::string& relativePath, const std::string& id, bv::UniqueFd* parent,
                    std::string* partName, std::string* partPath, std::string* error) const;
    // Moves a finished part file into place; what stood there goes to the trash first.
    bool installPart(int parentFd, const std::string& partName, const std::string& relativePath,
                     std::string* replaced, std::string* error) const;
    // Makes relativePath a symbolic link to target; what stood there goes to the trash first.
    bool makeLink(const std::string& relativePath, const std::string& target, int64_t modified,
                  std::string* replaced, std::string* error) const;
    // Moves the item to the trash; true when nothing is left there.
    bool trash(const std::string& relativePath, std::string* trashedAs, std::string* error) const;
    // Whether a link at relativePath with that target would point outside the root.
    bool linkLeavesRoot(const std::string& relativePath, const std::string& target) const;

  private:
    bool trashAt(int parentFd, const std::string& leaf, const std::string& relativePath,
                 std::string* trashedAs, std::string* error) const;

    std::filesystem::path root_;
    std::filesystem::path trashRoot_;
};
