#pragma once

#include <string>
#include <vector>

#include "Keelhaven/SyncBackupDatabase/FileSystemObjects.h"

// Names compare without regard to case, as the service compares them.
int compareNamesIgnoringCase(const std::string& a, const std::string& b);

// The changes of one side against its snapshot.
class BrimvaultFSComparator {
  public:
    static constexpr int kModified = 0;
    static constexpr int kDeleted = 1;
    static constexpr int kAdded = 2;

    // Both lists in any order; the changes sorted by name.
    static std::vector<FileSystemObjects> getFileSystemChanges(
        std::vector<FileSystemObjects> snapshot, std::vector<FileSystemObjects> currentSnapshot);
    static void sortByName(std::vector<FileSystemObjects>& items);
};

// One planned action of a level.
struct SyncBackupActionItem {
    static constexpr int kDeleteLocal = 10;
    static constexpr int kDeleteCloud = 11;
    static constexpr int kCreateLocal = 12;
    static constexpr int kCreateCloud = 13;
    static constexpr int kRecord = 14;

    FileSystemObjects fileSystemObject;
    int actionType = kRecord;
    // The item changed on both sides: the copy this action replaces on the other side is
    // kept (in the trash) and named in the task log. counterpart is that copy.
    bool conflict = false;
    FileSystemObjects counterpart;

    // local and remote: the change lists of the local and the cloud side, sorted by name.
    // clashes receives the names that are a folder on one side and a file on the other.
    static std::vector<SyncBackupActionItem> getListofSyncBackupActionItemList(
        const std::vector<FileSystemObjects>& local, const std::vector<FileSystemObjects>& remote,
        std::vector<std::string>* clashes = nullptr);
};
