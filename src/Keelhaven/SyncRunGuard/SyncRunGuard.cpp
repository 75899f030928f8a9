#include "Keelhaven/SyncRunGuard/SyncRunGuard.h"

#include <sys/stat.h>

#include <cerrno>
#include <set>

#include "Keelhaven/BrimvaultAPIClient/BrimvaultApiClient.h"
#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTask.h"
#include "platform/Format.h"

namespace {

std::string idOf(const FileSystemObjects& folder) {
    if (auto record = folder.folder())
        return record->m_folderID;
    return folder.itemID;
}

bool isGone(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// Every recorded file below folder counts as missing.
int64_t recordedFilesBelow(SyncBackupDatabase& db, const std::string& folderID, bool local,
                           int depth = 0) {
    if (depth > 256)
        return 0;
    auto count = static_cast<int64_t>(db.getFileObjectsForDirectory(folderID, local).size());
    for (const auto& child : db.getFolderbjectsForDirectory(folderID, local))
        count += recordedFilesBelow(db, idOf(child), local, depth + 1);
    return count;
}

void countLocalBelow(SyncBackupDatabase& db, const std::string& folderID,
                     SyncRunGuard::SideCount* count, int depth) {
    if (depth > 256)
        return;
    for (const auto& file : db.getFileObjectsForDirectory(folderID, true)) {
        ++count->recorded;
        if (isGone(file.itemPath))
            ++count->missing;
    }
    for (const auto& child : db.getFolderbjectsForDirectory(folderID, true))
        countLocalBelow(db, idOf(child), count, depth + 1);
}

bool countCloudBelow(SyncBackupDatabase& db, const SyncRunEnvironment& environment,
                     const FileSystemObjects& folder, SyncRunGuard::SideCount* count,
                     std::string* reason, int depth) {
    if (depth > 256)
        return true;
    std::string folderID = idOf(folder);
    auto recordedFiles = db.getFileObjectsForDirectory(folderID, false);
    auto recordedFolders = db.getFolderbjectsForDirectory(folderID, false);
    auto record = folder.folder();
    int64_t stamp = 0;
    std::vector<BrimvaultFile> liveFiles;
    std::vector<BrimvaultFolder> liveFolders;
    std::string failure;
    bool listed = environment.api->doDirListing(folderID, folder.itemPath, &stamp, &liveFiles,
                                                &liveFolders, environment.currentUser().m_sessionId,
                                                record ? record->m_accessDirId : "", &failure);
    if (!listed && failure != BrimvaultApiClient::kNoSuchItem) {
        if (reason)
            *reason = bv::format("Unable to list folder %@ before the run. Reason %@",
                                 folder.itemPath, failure);
        return false;
    }
    std::set<std::string> fileNames, folderNames;
    for (const auto& file : liveFiles)
        fileNames.insert(file.m_filename);
    for (const auto& child : liveFolders)
        folderNames.insert(child.m_folderName);
    for (const auto& file : recordedFiles) {
        ++count->recorded;
        if (!listed || !fileNames.count(file.itemName))
            ++count->missing;
    }
    for (const auto& child : recordedFolders) {
        if (!listed || !folderNames.count(child.itemName)) {
            int64_t below = recordedFilesBelow(db, idOf(child), false);
            count->recorded += below;
            count->missing += below;
        } else if (!countCloudBelow(db, environment, child, count, reason, depth + 1)) {
            return false;
        }
    }
    return true;
}

bool tooManyDeletions(const SyncRunGuard::SideCount& gone) {
    return gone.missing >= SyncRunGuard::kMinimumDeletions && gone.missing * 2 > gone.recorded;
}

}  // namespace

void SyncRunGuard::install(SyncRunEnvironment& environment) {
    std::weak_ptr<SyncRunGuard> weak = weak_from_this();
    SyncRunEnvironment copy = environment;
    environment.beforeRun = [weak, copy](SyncBackupTask& task, const std::string& localFolder,
                                         const std::string& cloudFolder, std::string* reason) {
        auto guard = weak.lock();
        return !guard || guard->check(task, copy, localFolder, cloudFolder, reason);
    };
}

void SyncRunGuard::allowDeletesOnce(int64_t taskId) {
    std::lock_guard lock(allowedLock_);
    allowed_.insert(taskId);
}

bool SyncRunGuard::takeAllowance(int64_t taskId) {
    std::lock_guard lock(allowedLock_);
    return allowed_.erase(taskId) > 0;
}

SyncRunGuard::SideCount SyncRunGuard::countLocal(SyncBackupDatabase& db,
                                                 const std::string& localFolder) {
    SideCount count;
    if (auto root = db.getFolderUsingPath(localFolder, true))
        countLocalBelow(db, idOf(*root), &count, 0);
    return count;
}

bool SyncRunGuard::countCloud(SyncBackupDatabase& db, const SyncRunEnvironment& environment,
                              const std::string& cloudFolder, SideCount* count,
                              std::string* reason) {
    auto root = db.getFolderUsingPath(cloudFolder, false);
    if (!root || !environment.api)
        return true;
    root->itemPath = cloudFolder;
    return countCloudBelow(db, environment, *root, count, reason, 0);
}

bool SyncRunGuard::check(SyncBackupTask& task, const SyncRunEnvironment& environment,
                         const std::string& localFolder, const std::string& cloudFolder,
                         std::string* reason) {
    bool allowed = takeAllowance(task.taskId());
    auto db = task.taskDb();
    if (!db)
        return true;
    bool ranBefore = db->getFolderUsingPath(localFolder, true).has_value();
    if (ranBefore && isGone(localFolder)) {
        if (reason)
            *reason = bv::format(
                "The local folder %@ is missing. It was there at the last run, so it may be on "
                "a disk that is not mounted or have been moved; nothing was changed on either "
                "side.",
                localFolder);
        return false;
    }
    if (allowed || !task.isSynchronizeTask() || !ranBefore)
        return true;

    SideCount local = countLocal(*db, localFolder);
    if (tooManyDeletions(local)) {
        if (reason)
            *reason = bv::format(
                "Stopped before deleting anything: %lld of the %lld files recorded in %@ are "
                "gone, so this run would delete %lld files on Brimvault. Run the task with "
                "--allow-deletes to let it through once.",
                local.missing, local.recorded, localFolder, local.missing);
        return false;
    }
    SideCount cloud;
    if (!countCloud(*db, environment, cloudFolder, &cloud, reason))
        return false;
    if (tooManyDeletions(cloud)) {
        if (reason)
            *reason = bv::format(
                "Stopped before deleting anything: %lld of the %lld files recorded in %@ on "
                "Brimvault are gone, so this run would delete %lld local files. Run the task "
                "with --allow-deletes to let it through once.",
                cloud.missing, cloud.recorded, cloudFolder, cloud.missing);
        return false;
    }
    return true;
}
