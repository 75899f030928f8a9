#include "Keelhaven/SyncBackupTask/SyncBackupFactory.h"

#include "Keelhaven/SyncBackupTask/SyncBackupTask.h"

SyncBackupFactory::SyncBackupFactory(std::shared_ptr<SyncBackupTask> task)
    : m_task(std::move(task)) {}

bool SyncBackupFactory::startEngineWithFromFolder(const std::string& fromFolder,
                                                  const std::string& toFolder, bool isCloudFolder,
                                                  std::vector<FileSystemObjects>* taskFilesOut) {
    m_fromFolder = fromFolder;
    m_toFolder = toFolder;
    m_isFromCloudFolder = isCloudFolder;
    auto db = m_task->taskDb();
    if (db) {
        _FromFolder = db->getFolderUsingPath(fromFolder, /*local=*/!isCloudFolder);
        _ToFolder = db->getFolderUsingPath(toFolder, /*local=*/isCloudFolder);
    }
    if (!_FromFolder || !_ToFolder) {
        m_task->log("Failed to find source/destination folder entry in database.");
        m_task->addError(1);
        return false;
    }
    _FromFolder->itemPath = fromFolder;
    _ToFolder->itemPath = toFolder;
    const FileSystemObjects& cloudSide = isCloudFolder ? *_FromFolder : *_ToFolder;
    if (auto folder = cloudSide.folder())
        m_accessDirID = folder->m_accessDirId;
    auto engine = m_task->context()->parts->makeEngine(*m_task);
    if (!engine)
        return false;
    return engine->startEngineWithFromFolder(*_FromFolder, *_ToFolder, isCloudFolder, taskFilesOut,
                                             kProgressFactor);
}

bool SyncBackupFactory::isTaskPaused() const {
    return m_task->isPaused();
}

void SyncBackupFactory::waitUntilResumed() const {
    while (m_task->isPaused())
        m_task->context()->clock->sleepFor(kResumePollSeconds);
}
