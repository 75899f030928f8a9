#include "Keelhaven/SyncBackTaskExecutor/SyncBackTaskExecutor.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "Keelhaven/BrimvaultAPIClient/BrimvaultApiClient.h"
#include "Keelhaven/SyncBackupTask/SyncBackupFactory.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTask.h"
#include "platform/Format.h"

namespace {

std::vector<std::string> componentsOf(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        std::string part =
            path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!part.empty())
            parts.push_back(part);
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return parts;
}

void fill(std::string* slot, const std::string& text) {
    if (slot)
        *slot = text;
}

std::string lastComponent(const std::string& path) {
    auto parts = componentsOf(path);
    return parts.empty() ? "" : parts.back();
}

}  // namespace

SyncBackTaskExecutor::SyncBackTaskExecutor(SyncBackupTask& task, SyncRunEnvironment environment)
    : m_task(task), environment_(std::move(environment)) {}

void SyncBackTaskExecutor::run() {
    if (opexecuting.load())
        return;
    m_task.setLastRunTime(static_cast<int64_t>(m_task.context()->clock->now()));
    m_task.enqueExecutor();
}

bool SyncBackTaskExecutor::isTaskStoppd() const {
    return m_task.isStopped();
}

bool SyncBackTaskExecutor::isTaskPaused() const {
    return m_task.isPaused();
}

void SyncBackTaskExecutor::waitUntilResumed() {
    log("waituntilResumed");
    while (m_task.isPaused() && !m_task.isStopped())
        m_task.context()->clock->sleepFor(kResumePollSeconds);
}

void SyncBackTaskExecutor::log(const std::string& line) const {
    m_task.log(line);
}

void SyncBackTaskExecutor::main() {
    if (isTaskStoppd())
        return;
    if (isTaskPaused())
        waitUntilResumed();
    opexecuting = true;
    m_task.resetCounters();
    bool isSync = m_task.isSynchronizeTask();
    log(isSync ? "Sync Started." : "Backup Started.");
    if (auto window = m_task.context()->window)
        window->taskWithIDChangedStatus(m_task.taskId(), SyncBackupTask::kRunning);
    opcancelled = false;
    opfinished = false;

    // The drive's paths begin with "/" + its name; the rest is the service path.
    std::string drivePrefix = "/" + environment_.currentUser().driveName;
    std::string from = m_task.getFromPath();
    std::string to = m_task.getToPath();
    auto servicePath = [&](const std::string& path) {
        std::string rest = path.substr(drivePrefix.size());
        return rest.empty() ? std::string("/") : rest;
    };
    auto onDrive = [&](const std::string& path) {
        return path.compare(0, drivePrefix.size(), drivePrefix) == 0 &&
               (path.size() == drivePrefix.size() || path[drivePrefix.size()] == '/');
    };
    m_isFromCloudPath = drivePrefix.size() > 1 && onDrive(from);
    if (m_isFromCloudPath) {
        sFromFolder_ = servicePath(from);
        sToFolder_ = to;
    } else {
        sFromFolder_ = from;
        sToFolder_ = onDrive(to) ? servicePath(to) : to;
    }
    log(bv::format("From Folder: %@.", sFromFolder_));
    log(bv::format("To Folder: %@.", sToFolder_));

    std::string error;
    if (!passesBeforeRun()) {
        m_task.addError(1);
    } else if (setupFolderRecords(sFromFolder_, sToFolder_, !m_isFromCloudPath, &error)) {
        SyncBackupFactory factory(m_task.shared_from_this());
        factory.startEngineWithFromFolder(sFromFolder_, sToFolder_, m_isFromCloudPath, nullptr);
    } else {
        log(bv::format("Error: Unable to list folder %@. Reason %@",
                       m_isFromCloudPath ? sFromFolder_ : sToFolder_, error));
        m_task.addError(1);
    }

    log("Task Finished.");
    log(bv::format("Task Status: %@", m_task.errorCount() < 1 ? "Success" : "Failure"));
    log(bv::format("Total Item Processed: %lld", m_task.itemsProcessed()));
    log(bv::format("Total Errors: %lld", m_task.errorCount()));
    opexecuting = false;
    opfinished = true;

    int64_t status = m_task.isStopped()        ? SyncBackupTask::kStopped
                     : m_task.errorCount() > 0 ? SyncBackupTask::kFailed
                                               : SyncBackupTask::kSucceeded;
    m_task.setLastStatus(status);
    if (auto registry = m_task.context()->registry)
        registry->updateTaskLastRun(m_task.taskId(), m_task.getLastRunTime(), status);
    sendNotification(status);
    m_task.rescheduleTaskWithStatus(status);
}

bool SyncBackTaskExecutor::passesBeforeRun() {
    if (!environment_.beforeRun)
        return true;
    const std::string& localFolder = m_isFromCloudPath ? sToFolder_ : sFromFolder_;
    const std::string& cloudFolder = m_isFromCloudPath ? sFromFolder_ : sToFolder_;
    std::string reason;
    if (environment_.beforeRun(m_task, localFolder, cloudFolder, &reason))
        return true;
    log(bv::format("Error: %@", reason));
    return false;
}

void SyncBackTaskExecutor::sendNotification(int64_t status) {
    if (!m_task.emailNotificationsEnabled() || !environment_.api)
        return;
    auto events = m_task.getSyncBackupNotificationEvents();
    int value = -1;
    if (status == SyncBackupTask::kStopped && events->whenTaskStopped)
        value = 2;
    else if (status == SyncBackupTask::kFailed && events->whenTaskFailed)
        value = 1;
    else if (status == SyncBackupTask::kSucceeded && m_task.itemsProcessed() > 0 &&
             events->whenTaskCompletedSuccessfullyAndProcessed)
        value = 0;
    if (value < 0)
        return;
    environment_.api->sendSyncStatistics(
        value, m_task.taskName(), m_task.itemsProcessed(), m_task.errorCount(), sFromFolder_,
        sToFolder_, m_task.getCcAddress(), environment_.currentUser().m_sessionId, nullptr);
}

bool SyncBackTaskExecutor::setupFolderRecords(const std::string& fromPath,
                                              const std::string& toPath, bool isLocal,
                                              std::string* error) {
    log("setupFolderRecords Entered.");
    return isLocal ? setupTaskUsingLocalFolder(fromPath, toPath, error)
                   : setupTaskUsingCloudFolder(fromPath, toPath, error);
}

bool SyncBackTaskExecutor::lookUp(const std::string& component, const std::string& parentID,
                                  bool secure, std::string* itemID, bool* isFolder,
                                  std::string* error) {
    if (secure) {
        *isFolder = true;
        return getSecureFolderID(itemID, parentID, component, error);
    }
    return environment_.api->doGetItemByName(
        component, itemID, environment_.currentUser().m_sessionId, parentID, isFolder, "0", error);
}

bool SyncBackTaskExecutor::getSecureFolderID(std::string* folderID, const std::string& parentID,
                                             const std::string& name, std::string* error) {
    std::vector<BrimvaultFolder> folders;
    if (!environment_.api->doDirListing(parentID, "/", nullptr, nullptr, &folders,
                                        environment_.currentUser().m_sessionId, "0", error))
        return false;
    for (const auto& folder : folders) {
        if (folder.m_folderName == name) {
            fill(folderID, folder.m_folderID);
            return true;
        }
    }
    fill(error, BrimvaultApiClient::kNoSuchItem);
    return false;
}

bool SyncBackTaskExecutor::getCloudFolderID(const std::string& path, std::string* folderID,
                                            std::string* accessDirID, bool createFolder,
                                            std::string* error) {
    if (path.empty() || path == "/") {
        fill(folderID, "0");
        fill(accessDirID, "");
        return true;
    }
    if (!environment_.api) {
        fill(error, "No service client.");
        return false;
    }
    bool secure = path.rfind(std::string("/") + kSecureFiles + "/", 0) == 0;
    std::vector<std::string> parts;
    for (const auto& part : componentsOf(path))
        parts.push_back(BrimvaultApiClient::trimmed(part));
    std::string access = "0";
    std::string parent = "0";
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        std::string id;
        bool isFolder = false;
        std::string reason;
        if (!lookUp(parts[i], parent, secure, &id, &isFolder, &reason)) {
            fill(error, reason == BrimvaultApiClient::kNoSuchItem
                            ? bv::format("%@ path does not exists.", path)
                            : reason);
            return false;
        }
        if (!isFolder) {
            fill(error, bv::format("%@ is not a folder but a file.", path));
            return false;
        }
        if (i == 0) {
            access = id;
            if (parts[i] == kSecureFiles) {
                std::string refusal = "Folder 'Secure Files' is not authenticated.";
                if (!environment_.openSecureFolder ||
                    !environment_.openSecureFolder(id, &refusal)) {
                    fill(error, refusal);
                    return false;
                }
            }
        }
        parent = id;
    }
    std::string id;
    bool isFolder = false;
    std::string reason;
    if (lookUp(parts.back(), parent, secure, &id, &isFolder, &reason)) {
        if (!isFolder) {
            fill(error, bv::format("%@ is not a folder but a file.", path));
            return false;
        }
        fill(folderID, id);
        fill(accessDirID, parts.size() == 1 ? id : access);
        return true;
    }
    if (reason == BrimvaultApiClient::kNoSuchItem && createFolder) {
        auto created = environment_.api->doCreateDirectory(
            parent, "/", parts.back(), environment_.currentUser().m_sessionId, access, &reason);
        if (created) {
            fill(folderID, created->m_folderID);
            fill(accessDirID, parts.size() == 1 ? created->m_folderID : access);
            return true;
        }
    }
    fill(error, reason);
    return false;
}

bool SyncBackTaskExecutor::writeFreshRoots(const std::string& cloudPath,
                                           const std::string& localPath, const std::string& cloudID,
                                           const std::string& accessDirID) {
    auto db = m_task.taskDb();
    if (!db)
        return false;
    db->truncateDatabase();
    BrimvaultFolder root;
    root.m_folderID = cloudID;
    root.m_parentFolderId = "0";
    root.m_folderName = lastComponent(cloudPath);
    root.m_accessDirId = environment_.currentUser().m_accessUser ? accessDirID : "0";
    root.m_path = cloudPath;
    bool written = db->insertCloudFolder(root);
    root.m_path = localPath;
    root.m_isLocal = true;
    written = db->insertLocalFolder(root) && written;
    db->endTransaction(true);
    return written;
}

bool SyncBackTaskExecutor::setupTaskUsingCloudFolder(const std::string& cloudFolder,
                                                     const std::string& localFolder,
                                                     std::string* error) {
    std::string folderID, accessDirID;
    if (!getCloudFolderID(cloudFolder, &folderID, &accessDirID, false, error))
        return false;
    bool created = false;
    struct stat st {};
    if (::stat(localFolder.c_str(), &st) != 0) {
        std::error_code ec;
        std::filesystem::create_directories(localFolder, ec);
        if (ec) {
            fill(error,
                 bv::format("Error Creating Folder %@, Reason: %@", localFolder, ec.message()));
            return false;
        }
        created = true;
    } else if (!S_ISDIR(st.st_mode)) {
        fill(error, bv::format("%@ is not a folder but a file.", localFolder));
        return false;
    }
    return anchorRoots(cloudFolder, localFolder, folderID, accessDirID, created, error);
}

bool SyncBackTaskExecutor::setupTaskUsingLocalFolder(const std::string& localFolder,
                                                     const std::string& cloudFolder,
                                                     std::string* error) {
    struct stat st {};
    if (::stat(localFolder.c_str(), &st) != 0) {
        fill(error, bv::format("The folder %@ doesn't exists.", localFolder));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        fill(error, bv::format("%@ is not a folder but a file.", localFolder));
        return false;
    }
    std::string folderID, accessDirID;
    if (!getCloudFolderID(cloudFolder, &folderID, &accessDirID, true, error))
        return false;
    return anchorRoots(cloudFolder, localFolder, folderID, accessDirID, false, error);
}

bool SyncBackTaskExecutor::anchorRoots(const std::string& cloudFolder,
                                       const std::string& localFolder, const std::string& folderID,
                                       const std::string& accessDirID, bool fresh,
                                       std::string* error) {
    auto db = m_task.taskDb();
    if (!db) {
        fill(error, "The task database cannot be opened.");
        return false;
    }
    auto localRoot = db->getFolderUsingPath(localFolder, true);
    auto cloudRoot = db->getFolderUsingPath(cloudFolder, false);
    // Another service folder behind the same path is another tree: the snapshot starts over.
    if (fresh || !localRoot || !cloudRoot || cloudRoot->itemID != folderID)
        writeFreshRoots(cloudFolder, localFolder, folderID, accessDirID);
    return true;
}
