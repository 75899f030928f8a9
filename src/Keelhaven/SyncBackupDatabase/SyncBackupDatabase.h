#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Keelhaven/SyncBackupDatabase/BrimvaultFile.h"
#include "Keelhaven/SyncBackupDatabase/BrimvaultFolder.h"
#include "Keelhaven/SyncBackupDatabase/FileSystemObjects.h"
#include "Keelhaven/SyncBackupDatabase/SqliteConnection.h"
#include "Keelhaven/SyncBackupDatabase/SyncBackupTaskRow.h"
#include "platform/Clock.h"
#include "platform/Data.h"

// Keelhaven's store: the registry file (task table) and each task's snapshot file (the four
// snapshot tables) share one schema. Every value reaches SQLite as a bound parameter.
//
// Writes run inside one long transaction per connection. A counted write commits when it is
// the 10000th since the last commit; a forced write commits at once. Uncommitted rows are
// lost when the process dies, and nothing else: the file stays consistent.
//
// Thread-safe: every operation holds the instance lock (re-entrant), so operations may call
// each other. The table flag `local` selects the local tables (true) or the cloud tables.
class SyncBackupDatabase {
  public:
    static constexpr const char* kVersion = "1.8";
    static constexpr int kCommitEvery = 10000;

    explicit SyncBackupDatabase(std::shared_ptr<bv::Clock> clock = bv::Clock::system());
    ~SyncBackupDatabase();
    SyncBackupDatabase(const SyncBackupDatabase&) = delete;
    SyncBackupDatabase& operator=(const SyncBackupDatabase&) = delete;

    // Opens the file, checks it and brings an older schema up to the current version. A file
    // that cannot be read as a database, fails its check or has no version row is moved
    // aside (to "<path>.<yyyyMMdd-HHmmss>.damaged", with its journal) and made afresh.
    bool openSyncBackupDatabase(const std::string& path);
    // Opens the file when not yet open and creates the missing tables and a version row.
    bool createDatabase(const std::string& path);
    bool isOpen() const;
    std::string path() const;

    // The first version row, or nothing when there is none.
    std::optional<std::string> DbVersion();
    bool insertDBVersion();
    bool updateDBVersion();

    // Snapshot rows. Inserting an existing path (files) or id (folders) replaces the row.
    bool insertCloudFile(const BrimvaultFile& file);
    bool insertLocalFile(const BrimvaultFile& file);
    // LastUpdateTime of the new row is always 0.
    bool insertCloudFolder(const BrimvaultFolder& folder);
    bool insertLocalFolder(const BrimvaultFolder& folder);
    bool updateLastUpdateTime(const std::string& folderId, int64_t stamp);
    // Size and modification time of the rows with file's id.
    bool updateFile(const BrimvaultFile& file, bool local);
    bool deleteFile(const std::string& fileId, bool local);
    // The row of the file at that path; committed, with the whole open transaction, before
    // the call returns.
    bool deleteFileAtPath(const std::string& path, bool local);
    // The folder's row, the rows of all folders below it and the files directly inside each
    // of them, in the chosen side's tables only.
    bool deleteFolder(const std::string& folderId, bool local);

    std::vector<FileSystemObjects> getFileObjectsForDirectory(const std::string& folderId,
                                                              bool local);
    // Ordered by folder name.
    std::vector<FileSystemObjects> getFolderbjectsForDirectory(const std::string& folderId,
                                                               bool local);
    std::optional<FileSystemObjects> getFolderUsingPath(const std::string& path, bool local);
    // Sets every cloud folder's stamp to 0, so the next run lists every folder in full.
    bool resetCloudFolders();
    // Empties the four snapshot tables.
    bool truncateDatabase();

    // Task table; every change is committed before the call returns.
    bool insertTask(const SyncBackupTaskRow& task);
    // Only the record: name and path columns keep their inserted values.
    bool updateTask(int64_t taskId, const nlohmann::json& record);
    bool updateTaskLastRun(int64_t taskId, int64_t lastRunTime, int64_t status);
    bool updateTaskThreadCount(int64_t taskId, int32_t threadCount);
    bool removeTaskByID(int64_t taskId);
    // In table order. A record that cannot be read back comes as an empty dictionary.
    std::vector<SyncBackupTaskRow> getAllTasks();

    // The long transaction: begin one when none is open; commit when forced or at the
    // 10000th counted call. Every write begins with startTransaction and ends with
    // endTransaction.
    void startTransaction();
    void endTransaction(bool forced);
    // Counted writes since the last commit.
    int uncommittedWrites() const;

    // The steps of the schema migration, in the order opening applies them.
    bool alterTable();
    bool migration1_7(const std::string& path);
    bool migration1_8(const std::string& path);

    // The task record as stored in the task table (keyed archive) and back; nothing for
    // bytes that are not such an archive.
    static bv::Data archiveRecord(const nlohmann::json& record);
    static std::optional<nlohmann::json> unarchiveRecord(const bv::Data& bytes);

  private:
    class Guard;

    bool insertFileLocked(const BrimvaultFile& file, bool local);
    bool insertFolderLocked(const BrimvaultFolder& folder, bool local);
    bool deleteFolderRowsLocked(const std::string& folderId, bool local);
    bool runWriteLocked(const char* sql, bool forced,
                        const std::function<bool(SqliteStatement&)>& bind);
    bool commitOpenTransactionLocked();
    bool passesQuickCheckLocked();
    bool recreateLocked(const std::string& path, const std::string& reason);
    void moveAsideLocked(const std::string& path, const std::string& reason);
    void logLocked(std::string line);

    std::shared_ptr<bv::Clock> clock_;
    // Re-entrant: operations call each other. Guards everything below; Guard defers the
    // log lines of an operation until the outermost level lets the lock go.
    mutable std::recursive_mutex instanceLock_;
    mutable int lockDepth_ = 0;
    mutable std::vector<std::string> pendingLogs_;
    SqliteConnection connection_;
    std::string path_;
    int nmOfInsertions_ = 0;
};
