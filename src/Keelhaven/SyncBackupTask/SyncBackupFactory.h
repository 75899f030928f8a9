#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Keelhaven/SyncBackupDatabase/FileSystemObjects.h"

class SyncBackupTask;

// The glue of one run: finds the two root folders of the task in its snapshot database and
// hands them to the engine.
class SyncBackupFactory {
  public:
    static constexpr double kProgressFactor = 100;
    static constexpr double kResumePollSeconds = 0.5;

    explicit SyncBackupFactory(std::shared_ptr<SyncBackupTask> task);

    // fromFolder and toFolder are the source and destination paths, the cloud side's as a
    // service path. False, with one error counted and the reason in the task log, when a
    // root folder has no row; otherwise the engine's answer.
    bool startEngineWithFromFolder(const std::string& fromFolder, const std::string& toFolder,
                                   bool isCloudFolder,
                                   std::vector<FileSystemObjects>* taskFilesOut);
    bool isTaskPaused() const;
    bool isTaskResumed() const { return !isTaskPaused(); }
    // Sleeps on the task's clock in steps of half a second until the task is not paused.
    void waitUntilResumed() const;

    const std::string& fromFolderPath() const { return m_fromFolder; }
    const std::string& toFolderPath() const { return m_toFolder; }
    const std::optional<FileSystemObjects>& fromFolderRecord() const { return _FromFolder; }
    const std::optional<FileSystemObjects>& toFolderRecord() const { return _ToFolder; }
    const std::string& accessDirID() const { return m_accessDirID; }

  private:
    std::shared_ptr<SyncBackupTask> m_task;
    std::string m_fromFolder;
    std::string m_toFolder;
    std::optional<FileSystemObjects> _FromFolder;
    std::optional<FileSystemObjects> _ToFolder;
    std::string m_accessDirID;
    bool m_isFromCloudFolder = false;
};
