#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "Keelhaven/SyncBackTaskExecutor/SyncRunEnvironment.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskParts.h"

class SyncBackupTask;

// One run of a task: decides the direction, resolves and prepares both roots and the
// snapshot anchored on them, hands them to the engine, and ends with the summary, the final
// status and the optional notification request.
class SyncBackTaskExecutor : public SyncBackupTaskExecutor {
  public:
    static constexpr double kResumePollSeconds = 0.5;
    static constexpr const char* kSecureFiles = "Secure Files";

    SyncBackTaskExecutor(SyncBackupTask& task, SyncRunEnvironment environment);

    void run() override;
    void main() override;
    bool isExecuting() const override { return opexecuting.load(); }
    bool isFinished() const { return opfinished.load(); }

    bool isTaskStoppd() const;
    bool isTaskPaused() const;
    bool isTaskResumed() const { return !isTaskPaused(); }
    void waitUntilResumed();
    void log(const std::string& line) const;

    bool setupFolderRecords(const std::string& fromPath, const std::string& toPath, bool isLocal,
                            std::string* error);
    bool setupTaskUsingCloudFolder(const std::string& cloudFolder, const std::string& localFolder,
                                   std::string* error);
    bool setupTaskUsingLocalFolder(const std::string& localFolder, const std::string& cloudFolder,
                                   std::string* error);
    // Service path in; the folder's id and the access folder id out.
    bool getCloudFolderID(const std::string& path, std::string* folderID, std::string* accessDirID,
                          bool createFolder, std::string* error);
    bool getSecureFolderID(std::string* folderID, const std::string& parentID,
                           const std::string& name, std::string* error);

    const std::string& sFromFolder() const { return sFromFolder_; }
    const std::string& sToFolder() const { return sToFolder_; }
    bool isFromCloudPath() const { return m_isFromCloudPath; }

  private:
    // Reads both root rows and writes fresh ones when either is missing, the cloud root is
    // another folder, or fresh is set.
    bool anchorRoots(const std::string& cloudFolder, const std::string& localFolder,
                     const std::string& folderID, const std::string& accessDirID, bool fresh,
                     std::string* error);
    bool writeFreshRoots(const std::string& cloudPath, const std::string& localPath,
                         const std::string& cloudID, const std::string& accessDirID);
    // One component under parentID: its id and whether it is a folder.
    bool lookUp(const std::string& component, const std::string& parentID, bool secure,
                std::string* itemID, bool* isFolder, std::string* error);
    // The environment's beforeRun check; a refusal is logged.
    bool passesBeforeRun();
    void sendNotification(int64_t status);

    SyncBackupTask& m_task;
    SyncRunEnvironment environment_;
    bool m_isFromCloudPath = false;
    std::string sFromFolder_;
    std::string sToFolder_;
    std::atomic<bool> opexecuting{false};
    std::atomic<bool> opfinished{false};
    std::atomic<bool> opcancelled{false};
};
