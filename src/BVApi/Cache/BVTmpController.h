#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/Data.h"
#include "platform/Error.h"

// Raised only when the store's root cannot be made (name "BVTmpController").
class BVTmpControllerException : public std::runtime_error {
  public:
    explicit BVTmpControllerException(const std::string& reason) : std::runtime_error(reason) {}
    static const char* name() { return "BVTmpController"; }
    std::string reason() const { return what(); }
};

// A local folder tree that mirrors paths of the mounted volume: files that never reach the
// service (".DS_Store", ".MACOSX_XATTRS", ".localized") and files staged while they are
// written. Volume path /A/b.txt lives at <root>/A/b.txt. The store is emptied when it is
// created; nothing in it survives a restart.
//
// The store trusts nothing it finds on the way to its root: every folder between the
// private base and the root is a directory of our own user
// with mode 0700 (a symbolic link or a file of ours in its place is replaced, anything owned
// by another user is refused), folders below are made 0700 and files 0600, files are created
// exclusively and opened without following a final symbolic link. A volume path with a ".."
// component or a NUL anywhere is refused (EINVAL), so no operation leaves the root; so is
// a NUL in any other path given to the store.
//
// The store has no lock: each operation is a short sequence of system calls on its own
// path, and one path has one writer at a time (its owner keeps them apart).
//
// Errors are the system's: domain "NSPOSIXErrorDomain", code errno, the failure reason
// naming the local path.
class BVTmpController {
  public:
    // The root's name as every program knows it; it lies where bvTmpPath puts it.
    static constexpr const char* kDefaultRootPath = "/tmp/BrimvaultTmp/temp";
    static constexpr const char* kErrorDomain = "NSPOSIXErrorDomain";

    // Attributes of a local item; setAttributes applies the fields that are set
    // (permissions, size, modification date) and ignores type and creation date.
    struct Attributes {
        enum class Type { Regular, Directory, SymbolicLink, Other };
        std::optional<Type> type;
        std::optional<uint64_t> size;
        std::optional<double> creationDate;
        std::optional<double> modificationDate;
        std::optional<uint32_t> posixPermissions;
    };

    // The application's store: bvTmpPath(kDefaultRootPath), with the tmp root holding it
    // as the private base. Raises like the other constructor, also when there is no tmp root.
    BVTmpController();
    // Removes whatever is at rootPath and creates it again, empty, with mode 0700. The
    // folders between privateBase (a trusted existing folder, used as is) and the root are
    // made owner-only as described above; when rootPath does not lie below privateBase, the
    // root's parent is the private base. Raises BVTmpControllerException "Failed to create
    // tmp directory at %@" when the root cannot be made safely.
    BVTmpController(const std::string& rootPath, const std::string& privateBase);
    BVTmpController(const BVTmpController&) = delete;
    BVTmpController& operator=(const BVTmpController&) = delete;

    // A new store that replaces the shared one (raises like the constructor; the previous
    // store stays shared then).
    static std::shared_ptr<BVTmpController> initSharedController();
    static std::shared_ptr<BVTmpController> initSharedController(const std::string& rootPath,
                                                                 const std::string& privateBase);
    // The store created last, or null.
    static std::shared_ptr<BVTmpController> sharedController();
    static void resetSharedController();

    const std::string& rootPath() const { return rootPath_; }

    // True when a path component contains ".DS_Store", ".MACOSX_XATTRS" or ".localized".
    static bool shouldIncludePath(const std::string& path);

    // Creates the parent folder of an absolute local path below the root; errors are
    // ignored, and a path outside the root is left alone.
    void createFoldersForPath(const std::string& localPath) const;

    // Every operation below, except moveFileAt and fileExistsAt, first creates the parent
    // folders of the local path.

    // An empty file; an existing one is replaced.
    bool createFileAt(const std::string& path, bv::Error* error) const;
    // Logs "Removing file before creating %@", replaces any local file with a copy of the
    // absolute source path.
    bool createFileAt(const std::string& path, const std::string& basedOn, bv::Error* error) const;
    // The local file or folder exists (a symbolic link counts as itself).
    bool fileExistsAt(const std::string& path) const;
    // Logs "Removing file at %@"; removes a file or an empty folder.
    bool removeFileAt(const std::string& path, bv::Error* error) const;
    // Logs "Removing file item at %@"; removes the item with all it holds.
    bool removeItemAt(const std::string& path, bv::Error* error) const;
    // Renames within the store; the destination's folders are not created.
    bool moveFileAt(const std::string& path, const std::string& to, bv::Error* error) const;
    bool createDirectoryAt(const std::string& path, bv::Error* error) const;
    // Logs "Removing directory at %@"; removes the item with all it holds.
    bool removeDirectoryAt(const std::string& path, bv::Error* error) const;
    // Up to size bytes from offset (fewer at the end, none past it); nothing when the file
    // cannot be opened or read.
    std::optional<bv::Data> readFileAt(const std::string& path, uint64_t offset, uint64_t size,
                                       bv::Error* error) const;
    // Writes into the existing file at offset (a gap past the end reads as zeros). Answers
    // true in every case; the error receives a failure all the same.
    bool writeFileAt(const std::string& path, uint64_t offset, const bv::Data& data,
                     bv::Error* error) const;
    // The item's own attributes (a symbolic link is not followed); nothing when missing.
    std::optional<Attributes> attributesOfItemAt(const std::string& path, bv::Error* error) const;
    bool setAttributes(const Attributes& attributes, const std::string& path,
                       bv::Error* error) const;
    // True when the local folder lists no entry, also when it is missing or not a folder.
    bool isEmptyDirectory(const std::string& path) const;
    // Removes each entry of the local folder that holds nothing itself (files, links, empty
    // folders), logging "Removing file before creating %@" with the folder's local path for
    // each; non-empty folders stay. Errors are ignored.
    void cleanupDirectory(const std::string& path) const;
    // The absolute local path after its folders are made; empty for a refused path.
    std::string tempPathFor(const std::string& path) const;

  private:
    // The local path, or nothing (and EINVAL) for a path with a ".." component or a NUL.
    std::optional<std::string> localPath(const std::string& path, bv::Error* error) const;
    // localPath after createFoldersForPath.
    std::optional<std::string> preparedLocalPath(const std::string& path, bv::Error* error) const;

    std::string rootPath_;
};
