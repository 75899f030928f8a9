#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "Keelhaven/SyncBackupDatabase/BrimvaultFile.h"
#include "Keelhaven/SyncBackupDatabase/BrimvaultFolder.h"

// The engine's view of one item of a listing, with the file or folder record behind it.
class FileSystemObjects {
  public:
    using Record = std::variant<std::monostate, std::shared_ptr<BrimvaultFile>,
                                std::shared_ptr<BrimvaultFolder>>;

    static FileSystemObjects wrap(std::shared_ptr<BrimvaultFile> file);
    // modificationDate is the wrapping time for folders, which have no stamp of their own.
    static FileSystemObjects wrap(std::shared_ptr<BrimvaultFolder> folder, int64_t now);

    // Copies everything but object and itemID.
    FileSystemObjects copy() const;
    std::shared_ptr<BrimvaultFile> file() const;
    std::shared_ptr<BrimvaultFolder> folder() const;
    // "FileSystemObjects (path=%@, size=%@, moddate=%@)".
    std::string description() const;

    bool isFolder = false;
    std::string itemName;
    std::string itemID;
    int64_t modificationDate = 0;
    int64_t itemSize = 0;
    std::string itemPath;
    int changeType = 0;
    Record object;
    std::string symlinkTarget;
};
