#include "Keelhaven/SyncRunGuard/SyncRunPlanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <set>

#include "Keelhaven/BrimvaultAPIClient/BrimvaultApiClient.h"
#include "Keelhaven/SyncBackTaskExecutor/DirectoryEnumerator.h"
#include "Keelhaven/SyncBackTaskExecutor/SyncBackTaskExecutor.h"
#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTask.h"
#include "Keelhaven/SyncEngine/SyncBackupActionItem.h"

namespace {

using Items = std::vector<FileSystemObjects>;

// The local listing without the side effects of a run's listing (no "Save As" renames).
bool listLocal(const std::string& path, Items* items, std::string* reason) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        *reason = "cannot list " + path;
        return false;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name.rfind(DirectoryEnumerator::kPartPrefix, 0) == 0)
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        FileSystemObjects item;
        item.itemName = name;
        item.itemPath = BrimvaultApiClient::childPath(path, name);
        item.isFolder = S_ISDIR(st.st_mode);
        item.modificationDate = item.isFolder ? 0 : st.st_mtim.tv_sec;
        item.itemSize = st.st_size;
        items->push_back(item);
    }
    ::closedir(dir);
    return true;
}

bool listCloud(const SyncRunEnvironment& environment, const std::string& folderID,
               const std::string& path, const std::string& accessDirID, Items* items,
               std::string* reason) {
    std::vector<BrimvaultFile> files;
    std::vector<BrimvaultFolder> folders;
    int64_t stamp = 0;
    if (!environment.api->doDirListing(folderID, path, &stamp, &files, &folders,
                                       environment.currentUser().m_sessionId, accessDirID, reason))
        return false;
    for (auto& file : files)
        items->push_back(DirectoryEnumerator::convertFileToFileSystemObject(
            std::make_shared<BrimvaultFile>(file)));
    for (auto& folder : folders)
        items->push_back(DirectoryEnumerator::convertFolderToFileSystemObject(
            std::make_shared<BrimvaultFolder>(folder), 0));
    return true;
}

Items snapshotOf(SyncBackupDatabase* db, const std::string& folderID, bool local) {
    if (!db || folderID.empty())
        return {};
    Items items = db->getFileObjectsForDirectory(folderID, local);
    auto folders = db->getFolderbjectsForDirectory(folderID, local);
    items.insert(items.end(), folders.begin(), folders.end());
    return items;
}

struct Planner {
    SyncBackupTask& task;
    const SyncRunEnvironment& environment;
    SyncBackupDatabase* db;
    bool isSync;
    bool fromCloud;
    std::vector<std::string>* actions;

    bool level(const std::string& localPath, const std::string& cloudPath,
               const std::string& cloudID, const std::string& snapshotID,
               const std::string& accessDirID, std::string* reason, int depth) {
        if (depth > 256)
            return true;
        Items localLive, cloudLive;
        if (!listLocal(localPath, &localLive, reason) ||
            !listCloud(environment, cloudID, cloudPath, accessDirID, &cloudLive, reason))
            return false;
        Items localSnapshot = snapshotOf(db, snapshotID, true);
        Items cloudSnapshot = snapshotOf(db, snapshotID, false);
        auto localChanges = BrimvaultFSComparator::getFileSystemChanges(localSnapshot, localLive);
        auto cloudChanges = BrimvaultFSComparator::getFileSystemChanges(cloudSnapshot, cloudLive);
        if (!isSync) {
            // A backup forgets what went at its destination and sends it again.
            auto& destination = fromCloud ? localChanges : cloudChanges;
            auto& sourceSnapshot = fromCloud ? cloudSnapshot : localSnapshot;
            const auto& sourceLive = fromCloud ? cloudLive : localLive;
            std::set<std::string> forgotten;
            for (const auto& change : destination)
                if (change.changeType == BrimvaultFSComparator::kDeleted)
                    forgotten.insert(change.itemName);
            std::erase_if(sourceSnapshot, [&](const FileSystemObjects& item) {
                return forgotten.count(item.itemName);
            });
            destination.clear();
            (fromCloud ? cloudChanges : localChanges) =
                BrimvaultFSComparator::getFileSystemChanges(sourceSnapshot, sourceLive);
        }
        BrimvaultFSComparator::sortByName(localChanges);
        BrimvaultFSComparator::sortByName(cloudChanges);
        auto planned =
            SyncBackupActionItem::getListofSyncBackupActionItemList(localChanges, cloudChanges);
        for (const auto& action : planned) {
            const auto& item = action.fileSystemObject;
            std::string local = BrimvaultApiClient::childPath(localPath, item.itemName);
            std::string cloud = BrimvaultApiClient::childPath(cloudPath, item.itemName);
            switch (action.actionType) {
                case SyncBackupActionItem::kDeleteLocal:
                    if (isSync)
                        actions->push_back("delete here " + local);
                    break;
                case SyncBackupActionItem::kDeleteCloud:
                    if (isSync)
                        actions->push_back("delete on Brimvault " + cloud);
                    break;
                case SyncBackupActionItem::kCreateLocal:
                    actions->push_back("download " + cloud + " -> " + local);
                    break;
                case SyncBackupActionItem::kCreateCloud:
                    actions->push_back("upload " + local + " -> " + cloud);
                    break;
                default:
                    actions->push_back("record " + local);
                    break;
            }
        }
        // Folders known on both sides and still there are looked into, as a run does.
        std::set<std::string> liveLocal, liveCloud;
        for (const auto& item : localLive)
            if (item.isFolder)
                liveLocal.insert(item.itemName);
        std::map<std::string, FileSystemObjects> cloudFolders;
        for (const auto& item : cloudLive)
            if (item.isFolder)
                cloudFolders[item.itemName] = item;
        for (const auto& known :
             db ? db->getFolderbjectsForDirectory(snapshotID, false) : Items{}) {
            auto cloud = cloudFolders.find(known.itemName);
            if (!liveLocal.count(known.itemName) || cloud == cloudFolders.end())
                continue;
            std::string knownID = known.folder() ? known.folder()->m_folderID : known.itemID;
            std::string liveID =
                cloud->second.folder() ? cloud->second.folder()->m_folderID : cloud->second.itemID;
            if (!level(BrimvaultApiClient::childPath(localPath, known.itemName),
                       BrimvaultApiClient::childPath(cloudPath, known.itemName), liveID, knownID,
                       accessDirID, reason, depth + 1))
                return false;
        }
        return true;
    }
};

}  // namespace

bool SyncRunPlanner::plan(SyncBackupTask& task, const SyncRunEnvironment& environment,
                          std::vector<std::string>* actions, std::string* reason) {
    if (!environment.api) {
        *reason = "No service client.";
        return false;
    }
    std::string drivePrefix = "/" + environment.currentUser().driveName;
    auto onDrive = [&](const std::string& path) {
        return drivePrefix.size() > 1 && path.compare(0, drivePrefix.size(), drivePrefix) == 0 &&
               (path.size() == drivePrefix.size() || path[drivePrefix.size()] == '/');
    };
    std::string from = task.getFromPath(), to = task.getToPath();
    bool fromCloud = onDrive(from);
    std::string cloudStored = fromCloud ? from : to;
    std::string localPath = fromCloud ? to : from;
    std::string cloudPath = cloudStored.substr(drivePrefix.size());
    if (cloudPath.empty())
        cloudPath = "/";
    struct stat st {};
    if (::stat(localPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *reason = "The local folder " + localPath + " is missing.";
        return false;
    }
    SyncBackTaskExecutor resolver(task, environment);
    std::string cloudID, accessDirID;
    if (!resolver.getCloudFolderID(cloudPath, &cloudID, &accessDirID, false, reason)) {
        if (*reason != BrimvaultApiClient::kNoSuchItem &&
            reason->find("does not exists") == std::string::npos)
            return false;
        actions->push_back("upload " + localPath + " -> " + cloudPath);
        return true;
    }
    auto db = task.taskDb();
    std::string snapshotID;
    if (db) {
        auto localRoot = db->getFolderUsingPath(localPath, true);
        auto cloudRoot = db->getFolderUsingPath(cloudPath, false);
        // Another service folder behind the path starts the snapshot over.
        if (localRoot && cloudRoot && cloudRoot->folder() &&
            cloudRoot->folder()->m_folderID == cloudID)
            snapshotID = cloudID;
    }
    Planner planner{task, environment, db.get(), task.isSynchronizeTask(), fromCloud, actions};
    return planner.level(localPath, cloudPath, cloudID, snapshotID, accessDirID, reason, 0);
}
