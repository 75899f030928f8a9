#include "Keelhaven/SyncEngine/SyncBackupActionItem.h"

#include <algorithm>
#include <cctype>

int compareNamesIgnoringCase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int x = std::tolower(static_cast<unsigned char>(a[i]));
        int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

void BrimvaultFSComparator::sortByName(std::vector<FileSystemObjects>& items) {
    std::stable_sort(items.begin(), items.end(),
                     [](const FileSystemObjects& a, const FileSystemObjects& b) {
                         return compareNamesIgnoringCase(a.itemName, b.itemName) < 0;
                     });
}

std::vector<FileSystemObjects> BrimvaultFSComparator::getFileSystemChanges(
    std::vector<FileSystemObjects> snapshot, std::vector<FileSystemObjects> currentSnapshot) {
    sortByName(snapshot);
    sortByName(currentSnapshot);
    std::vector<FileSystemObjects> changes;
    size_t s = 0, c = 0;
    while (s < snapshot.size() || c < currentSnapshot.size()) {
        int order =
            s == snapshot.size() ? 1
            : c == currentSnapshot.size()
                ? -1
                : compareNamesIgnoringCase(snapshot[s].itemName, currentSnapshot[c].itemName);
        if (order > 0) {
            changes.push_back(currentSnapshot[c++]);
            changes.back().changeType = kAdded;
        } else if (order < 0) {
            changes.push_back(snapshot[s++]);
            changes.back().changeType = kDeleted;
        } else {
            const FileSystemObjects& live = currentSnapshot[c];
            if (!live.isFolder && live.modificationDate != snapshot[s].modificationDate) {
                changes.push_back(live);
                changes.back().changeType = kModified;
            }
            ++s;
            ++c;
        }
    }
    return changes;
}

std::vector<SyncBackupActionItem> SyncBackupActionItem::getListofSyncBackupActionItemList(
    const std::vector<FileSystemObjects>& local, const std::vector<FileSystemObjects>& remote,
    std::vector<std::string>* clashes) {
    std::vector<SyncBackupActionItem> actions;
    auto add = [&](const FileSystemObjects& item, int type) {
        SyncBackupActionItem action;
        action.fileSystemObject = item;
        action.actionType = type;
        actions.push_back(std::move(action));
    };
    size_t l = 0, r = 0;
    while (l < local.size() || r < remote.size()) {
        int order = l == local.size() ? 1
                    : r == remote.size()
                        ? -1
                        : compareNamesIgnoringCase(local[l].itemName, remote[r].itemName);
        if (order < 0) {
            const auto& item = local[l++];
            add(item,
                item.changeType == BrimvaultFSComparator::kDeleted ? kDeleteCloud : kCreateCloud);
            continue;
        }
        if (order > 0) {
            const auto& item = remote[r++];
            add(item,
                item.changeType == BrimvaultFSComparator::kDeleted ? kDeleteLocal : kCreateLocal);
            continue;
        }
        const auto& mine = local[l++];
        const auto& theirs = remote[r++];
        if (mine.changeType == BrimvaultFSComparator::kDeleted) {
            add(mine, kDeleteCloud);
        } else if (theirs.changeType == BrimvaultFSComparator::kDeleted) {
            add(theirs, kDeleteLocal);
        } else if (mine.isFolder && theirs.isFolder) {
            add(theirs, kRecord);
        } else if (!mine.isFolder && !theirs.isFolder) {
            if (mine.modificationDate == theirs.modificationDate) {
                add(theirs, kRecord);
                continue;
            }
            // An upload that did not reach its close (a failure, or the program ended) leaves
            // the file it created at the service empty, with the creation time as its date:
            // taken as the newer copy it would replace the local one with nothing. An empty
            // copy loses nothing by being written over, so the local content is sent into it.
            if (theirs.itemSize == 0 && mine.itemSize > 0 && theirs.symlinkTarget.empty()) {
                add(mine, kCreateCloud);
                continue;
            }
            bool download = mine.modificationDate < theirs.modificationDate;
            add(download ? theirs : mine, download ? kCreateLocal : kCreateCloud);
            // Both sides changed since the last run (a first run has no "last run": both
            // added counts too): the losing copy is kept.
            actions.back().conflict = true;
            actions.back().counterpart = download ? mine : theirs;
        } else if (clashes) {
            // A folder on one side and a file of that name on the other: no action.
            clashes->push_back(mine.itemName);
        }
    }
    return actions;
}
