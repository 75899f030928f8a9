#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "app/Logging/BVLogging.h"
#include "platform/Format.h"
#include "platform/KeyedArchive.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kCreateStatements[] = {
    "CREATE TABLE IF NOT EXISTS SyncBackup_Tasks (Taskname TEXT, FromFolder TEXT, ToFolder TEXT, "
    "TaskID INTEGER NOT NULL PRIMARY KEY, task_last_run NUMERIC, task_paused_flag NUMERIC, "
    "Task_details_json BLOB,ThreadCount INTEGER );",
    "CREATE TABLE IF NOT EXISTS Cloud_Files (FileName TEXT, FilePath TEXT NOT NULL PRIMARY KEY, "
    "FileID TEXT NOT NULL, FileSize NUMERIC, FileModif NUMERIC, ParentFolderID TEXT, "
    "AccessFolderID TEXT);",
    "CREATE TABLE IF NOT EXISTS Cloud_Folders (FolderName TEXT, FolderID TEXT NOT NULL PRIMARY "
    "KEY, FolderPath TEXT, ParentFolderID TEXT, AccessFolderID TEXT, LastUpdateTime NUMERIC);",
    "CREATE TABLE IF NOT EXISTS local_Files (FileName TEXT, FilePath TEXT NOT NULL PRIMARY KEY, "
    "FileID TEXT NOT NULL, FileSize NUMERIC, FileModif NUMERIC, ParentFolderID TEXT);",
    "CREATE TABLE IF NOT EXISTS local_Folders (FolderName TEXT, FolderID TEXT NOT NULL PRIMARY "
    "KEY, FolderPath TEXT, ParentFolderID TEXT);",
    "CREATE TABLE IF NOT EXISTS Database_Version (DBVersion TEXT);",
};

constexpr const char* kDictionaryClass = "NSMutableDictionary";

// Nested dictionaries are archive objects of their own; other values are stored as they are.
json toArchive(const json& value) {
    if (value.is_object()) {
        json object = bv::KeyedArchive::makeObject(kDictionaryClass);
        for (const auto& [key, item] : value.items())
            object[key] = toArchive(item);
        return object;
    }
    if (value.is_array()) {
        json array = json::array();
        for (const auto& item : value)
            array.push_back(toArchive(item));
        return array;
    }
    return value;
}

std::optional<json> fromArchive(const json& value) {
    if (value.is_object()) {
        const std::string* className = bv::KeyedArchive::className(value);
        if (className == nullptr ||
            (*className != kDictionaryClass && *className != "NSDictionary"))
            return std::nullopt;
        json object = json::object();
        for (const auto& [key, item] : value.items()) {
            if (key == bv::KeyedArchive::kClassKey)
                continue;
            auto decoded = fromArchive(item);
            if (!decoded)
                return std::nullopt;
            object[key] = std::move(*decoded);
        }
        return object;
    }
    if (value.is_array()) {
        json array = json::array();
        for (const auto& item : value) {
            auto decoded = fromArchive(item);
            if (!decoded)
                return std::nullopt;
            array.push_back(std::move(*decoded));
        }
        return array;
    }
    return value;
}

std::string timeStamp(double secondsSince1970) {
    std::time_t seconds = static_cast<std::time_t>(secondsSince1970);
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%d-%H%M%S", &local);
    return buffer;
}

bool hasContent(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && st.st_size > 0;
}

const char* filesTable(bool local) {
    return local ? "local_files" : "cloud_files";
}

std::shared_ptr<BrimvaultFile> fileFromRow(const SqliteStatement& row, bool local) {
    auto file = std::make_shared<BrimvaultFile>();
    file->m_filename = row.columnText(0);
    file->m_path = row.columnText(1);
    file->m_fileID = row.columnText(2);
    file->m_size = row.columnInt64(3);
    file->m_modifiedDate = row.columnInt64(4);
    file->m_parentFolderId = row.columnText(5);
    if (!local)
        file->m_accessDirId = row.columnText(6);
    file->m_localFile = local;
    return file;
}

std::shared_ptr<BrimvaultFolder> folderFromRow(const SqliteStatement& row, bool local) {
    auto folder = std::make_shared<BrimvaultFolder>();
    folder->m_folderName = row.columnText(0);
    folder->m_folderID = row.columnText(1);
    folder->m_path = row.columnText(2);
    folder->m_parentFolderId = row.columnText(3);
    if (!local) {
        folder->m_accessDirId = row.columnText(4);
        folder->m_lastupdate = row.columnInt64(5);
    }
    folder->m_isLocal = local;
    return folder;
}

}  // namespace

// Holds the instance lock; log lines written under it go out once the outermost Guard has
// let the lock go, so the engine's workers never wait on the log file.
class SyncBackupDatabase::Guard {
  public:
    explicit Guard(const SyncBackupDatabase& db) : db_(db) {
        db_.instanceLock_.lock();
        ++db_.lockDepth_;
    }
    ~Guard() {
        std::vector<std::string> lines;
        if (--db_.lockDepth_ == 0)
            lines.swap(db_.pendingLogs_);
        db_.instanceLock_.unlock();
        for (const auto& line : lines)
            BVLog("%@", line);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    const SyncBackupDatabase& db_;
};

SyncBackupDatabase::SyncBackupDatabase(std::shared_ptr<bv::Clock> clock)
    : clock_(clock ? std::move(clock) : bv::Clock::system()) {}

SyncBackupDatabase::~SyncBackupDatabase() {
    Guard guard(*this);
    commitOpenTransactionLocked();
}

void SyncBackupDatabase::logLocked(std::string line) {
    pendingLogs_.push_back(std::move(line));
}

bool SyncBackupDatabase::isOpen() const {
    Guard guard(*this);
    return connection_.isOpen();
}

std::string SyncBackupDatabase::path() const {
    Guard guard(*this);
    return path_;
}

bool SyncBackupDatabase::openSyncBackupDatabase(const std::string& path) {
    Guard guard(*this);
    path_ = path;
    nmOfInsertions_ = 0;
    // A file that does not exist yet (or was never written) holds nothing to keep.
    if (!hasContent(path)) {
        connection_.close();
        return createDatabase(path);
    }
    if (int rc = connection_.open(path); rc != SQLITE_OK)
        return recreateLocked(path, bv::format("cannot be opened (%d)", rc));
    logLocked("Database Opened Successfully");
    if (!passesQuickCheckLocked())
        return recreateLocked(path, "is damaged");
    auto version = DbVersion();
    if (!version) {
        logLocked(bv::format("recreating database for dbversion expected = %@ - failed = %@",
                             kVersion, "(null)"));
        return recreateLocked(path, "has no version");
    }
    if (*version == kVersion) {
        connection_.useWriteAheadLog();
        return true;
    }
    double number = std::strtod(version->c_str(), nullptr);
    if (number <= 1.3)
        resetCloudFolders();
    if (number < 1.6)
        alterTable();
    if (number < 1.7 && !migration1_7(path))
        return isOpen();
    if (number < 1.8)
        migration1_8(path);
    updateDBVersion();
    // The migration's changes reach the disk now, not with the next batch of snapshot rows.
    bool committed = commitOpenTransactionLocked();
    connection_.useWriteAheadLog();
    return committed;
}

bool SyncBackupDatabase::passesQuickCheckLocked() {
    SqliteStatement check = connection_.prepare("PRAGMA quick_check;");
    return check.valid() && check.step() == SQLITE_ROW && check.columnText(0) == "ok";
}

bool SyncBackupDatabase::recreateLocked(const std::string& path, const std::string& reason) {
    connection_.close();
    moveAsideLocked(path, reason);
    return createDatabase(path);
}

void SyncBackupDatabase::moveAsideLocked(const std::string& path, const std::string& reason) {
    std::string aside = path + "." + timeStamp(clock_->now()) + ".damaged";
    std::error_code ec;
    for (int n = 2; fs::exists(aside, ec); ++n)
        aside = path + "." + timeStamp(clock_->now()) + "-" + std::to_string(n) + ".damaged";
    fs::rename(path, aside, ec);
    if (ec) {
        logLocked(bv::format("Database %@ %@ and could not be moved aside: %@", path, reason,
                             ec.message()));
        return;
    }
    // A journal or write-ahead log left beside the new file would be played back into it.
    for (const char* companion : {"-journal", "-wal", "-shm"}) {
        std::error_code journalError;
        if (fs::exists(path + companion, journalError))
            fs::rename(path + companion, aside + companion, journalError);
    }
    logLocked(bv::format("Database %@ %@; moved aside to %@", path, reason, aside));
}

bool SyncBackupDatabase::createDatabase(const std::string& path) {
    Guard guard(*this);
    if (!connection_.isOpen() || path_ != path) {
        path_ = path;
        if (int rc = connection_.open(path); rc != SQLITE_OK) {
            logLocked(bv::format("Unable to open database %@ (%d)", path, rc));
            return false;
        }
    }
    if (!commitOpenTransactionLocked())
        return false;
    bool created = connection_.exec("BEGIN TRANSACTION;");
    for (const char* statement : kCreateStatements)
        created = created && connection_.exec(statement);
    created = created && connection_.exec("COMMIT;");
    if (!created) {
        logLocked(
            bv::format("Unable to create tables in %@: %@", path, connection_.lastErrorMessage()));
        if (!connection_.inAutocommit())
            connection_.exec("ROLLBACK;");
        return false;
    }
    if (!insertDBVersion())
        return false;
    connection_.useWriteAheadLog();
    return true;
}

bool SyncBackupDatabase::commitOpenTransactionLocked() {
    if (connection_.inAutocommit())
        return true;
    nmOfInsertions_ = 0;
    return connection_.exec("COMMIT;");
}

std::optional<std::string> SyncBackupDatabase::DbVersion() {
    Guard guard(*this);
    SqliteStatement query = connection_.prepare("select * from Database_Version");
    if (!query.valid() || query.step() != SQLITE_ROW || query.columnIsNull(0))
        return std::nullopt;
    return query.columnText(0);
}

bool SyncBackupDatabase::insertDBVersion() {
    Guard guard(*this);
    SqliteStatement insert =
        connection_.prepare("insert or replace into Database_Version values(?);");
    return insert.bindText(1, kVersion) && insert.run();
}

bool SyncBackupDatabase::updateDBVersion() {
    Guard guard(*this);
    SqliteStatement update = connection_.prepare("update Database_Version set DBVersion = ?;");
    return update.bindText(1, kVersion) && update.run();
}

void SyncBackupDatabase::startTransaction() {
    Guard guard(*this);
    // The connection's own state, not a remembered flag: a statement such as the migration's
    // COMMIT may have ended the long transaction behind our back.
    if (connection_.inAutocommit())
        connection_.exec("BEGIN TRANSACTION;");
}

void SyncBackupDatabase::endTransaction(bool forced) {
    Guard guard(*this);
    if (forced) {
        logLocked("focibly commit");
    } else if (++nmOfInsertions_ > kCommitEvery - 1) {
        logLocked(bv::format("commit %d", nmOfInsertions_));
    } else {
        return;
    }
    // The next transaction begins with the next write (startTransaction), not here: an open
    // transaction would let the next read keep a lock on the file until the next commit,
    // blocking every other writer of the file for that long.
    connection_.exec("COMMIT;");
    nmOfInsertions_ = 0;
}

int SyncBackupDatabase::uncommittedWrites() const {
    Guard guard(*this);
    return nmOfInsertions_;
}

bool SyncBackupDatabase::runWriteLocked(const char* sql, bool forced,
                                        const std::function<bool(SqliteStatement&)>& bind) {
    startTransaction();
    SqliteStatement statement = connection_.prepare(sql);
    if (!statement.valid() || !bind(statement))
        return false;
    bool done = statement.run();
    endTransaction(forced);
    return done;
}

bool SyncBackupDatabase::insertFileLocked(const BrimvaultFile& file, bool local) {
    startTransaction();
    SqliteStatement& insert = connection_.cached(
        local ? "insert or replace into local_files (FileName, FilePath, FileID, FileSize, "
                "FileModif, ParentFolderID)  values(?,?,?,?,?,?);"
              : "insert or replace into cloud_files (FileName, FilePath, FileID, FileSize, "
                "FileModif, ParentFolderID, AccessFolderID)  values(?,?,?,?,?,?,?);");
    if (!insert.valid()) {
        logLocked(bv::format(local ? "insertFile_local failed with error = %d"
                                   : "insertFile_cloud failed with error = %d",
                             insert.prepareResult()));
        return false;
    }
    bool bound = insert.bindText(1, file.m_filename) && insert.bindText(2, file.m_path) &&
                 insert.bindText(3, file.m_fileID) && insert.bindInt64(4, file.m_size) &&
                 insert.bindInt64(5, file.m_modifiedDate) &&
                 insert.bindText(6, file.m_parentFolderId) &&
                 (local || insert.bindText(7, file.m_accessDirId));
    if (!bound)
        return false;
    bool done = insert.run();
    endTransaction(false);
    return done;
}

bool SyncBackupDatabase::insertCloudFile(const BrimvaultFile& file) {
    Guard guard(*this);
    return insertFileLocked(file, false);
}

bool SyncBackupDatabase::insertLocalFile(const BrimvaultFile& file) {
    Guard guard(*this);
    return insertFileLocked(file, true);
}

bool SyncBackupDatabase::insertFolderLocked(const BrimvaultFolder& folder, bool local) {
    startTransaction();
    SqliteStatement& insert = connection_.cached(
        local ? "insert or replace into local_Folders (FolderName, FolderID, FolderPath, "
                "ParentFolderID)  values(?,?,?,?);"
              : "insert or replace into Cloud_Folders (FolderName, FolderID, FolderPath, "
                "ParentFolderID, AccessFolderID, LastUpdateTime)  values(?,?, ?, ?, ?, 0);");
    if (!insert.valid()) {
        logLocked(bv::format(local ? "insertfolder_local failed with error = %d"
                                   : "insertfolder_cloud failed with error = %d",
                             insert.prepareResult()));
        return false;
    }
    bool bound = insert.bindText(1, folder.m_folderName) && insert.bindText(2, folder.m_folderID) &&
                 insert.bindText(3, folder.m_path) && insert.bindText(4, folder.m_parentFolderId) &&
                 (local || insert.bindText(5, folder.m_accessDirId));
    if (!bound)
        return false;
    bool done = insert.run();
    endTransaction(false);
    return done;
}

bool SyncBackupDatabase::insertCloudFolder(const BrimvaultFolder& folder) {
    Guard guard(*this);
    return insertFolderLocked(folder, false);
}

bool SyncBackupDatabase::insertLocalFolder(const BrimvaultFolder& folder) {
    Guard guard(*this);
    return insertFolderLocked(folder, true);
}

bool SyncBackupDatabase::updateLastUpdateTime(const std::string& folderId, int64_t stamp) {
    Guard guard(*this);
    return runWriteLocked(
        "update cloud_folders set LastUpdateTime=? where FolderID=?;", false,
        [&](SqliteStatement& s) { return s.bindInt64(1, stamp) && s.bindText(2, folderId); });
}

bool SyncBackupDatabase::updateFile(const BrimvaultFile& file, bool local) {
    Guard guard(*this);
    return runWriteLocked(
        local ? "update local_files set FileSize=?, FileModif=? where fileId = ?;"
              : "update cloud_files set FileSize=?, FileModif=? where fileId = ?;",
        false, [&](SqliteStatement& s) {
            return s.bindInt64(1, file.m_size) && s.bindInt64(2, file.m_modifiedDate) &&
                   s.bindText(3, file.m_fileID);
        });
}

bool SyncBackupDatabase::deleteFile(const std::string& fileId, bool local) {
    Guard guard(*this);
    return runWriteLocked(local ? "delete from local_files where FileID = ?;"
                                : "delete from cloud_files where FileID = ?;",
                          true, [&](SqliteStatement& s) { return s.bindText(1, fileId); });
}

bool SyncBackupDatabase::deleteFileAtPath(const std::string& path, bool local) {
    Guard guard(*this);
    return runWriteLocked(local ? "delete from local_files where FilePath = ?;"
                                : "delete from cloud_files where FilePath = ?;",
                          true, [&](SqliteStatement& s) { return s.bindText(1, path); });
}

bool SyncBackupDatabase::deleteFolderRowsLocked(const std::string& folderId, bool local) {
    SqliteStatement folderRow =
        connection_.prepare(local ? "delete from local_folders where FolderID = ?;"
                                  : "delete from cloud_folders where FolderID = ?;");
    SqliteStatement fileRows = connection_.prepare(
        bv::format("delete from %@ where parentFolderId = ?;", filesTable(local)));
    if (!folderRow.valid() || !fileRows.valid()) {
        logLocked("failed to remove folder.");
        return false;
    }
    return folderRow.bindText(1, folderId) && folderRow.run() && fileRows.bindText(1, folderId) &&
           fileRows.run();
}

bool SyncBackupDatabase::deleteFolder(const std::string& folderId, bool local) {
    Guard guard(*this);
    // Depth first, as a stack rather than recursion, so a deep tree cannot exhaust the stack.
    // A folder is read before its row goes, so rows whose parent chain loops still end.
    std::vector<std::string> pending;
    auto pushChildren = [&](const std::string& id) {
        auto children = getFolderbjectsForDirectory(id, local);
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            pending.push_back(it->itemID);
    };
    pushChildren(folderId);
    startTransaction();
    if (!deleteFolderRowsLocked(folderId, local))
        return false;
    while (!pending.empty()) {
        std::string id = std::move(pending.back());
        pending.pop_back();
        pushChildren(id);
        if (!deleteFolderRowsLocked(id, local))
            return false;
    }
    endTransaction(false);
    return true;
}

std::vector<FileSystemObjects> SyncBackupDatabase::getFileObjectsForDirectory(
    const std::string& folderId, bool local) {
    Guard guard(*this);
    std::vector<FileSystemObjects> items;
    SqliteStatement query = connection_.prepare(
        local ? "select FileName, FilePath, FileID, FileSize, FileModif, ParentFolderID from "
                "Local_Files where ParentFolderID = ?"
              : "select FileName, FilePath, FileID, FileSize, FileModif, ParentFolderID, "
                "AccessFolderID from Cloud_Files where ParentFolderID = ?");
    if (!query.bindText(1, folderId))
        return items;
    while (query.step() == SQLITE_ROW)
        items.push_back(FileSystemObjects::wrap(fileFromRow(query, local)));
    return items;
}

std::vector<FileSystemObjects> SyncBackupDatabase::getFolderbjectsForDirectory(
    const std::string& folderId, bool local) {
    Guard guard(*this);
    std::vector<FileSystemObjects> items;
    SqliteStatement query = connection_.prepare(
        local ? "select FolderName, FolderID, FolderPath, ParentFolderID from Local_Folders "
                "where ParentFolderID = ? order by FolderName"
              : "select FolderName, FolderID, FolderPath, ParentFolderID, AccessFolderID, "
                "LastUpdateTime from Cloud_Folders where ParentFolderID = ? order by FolderName");
    if (!query.bindText(1, folderId))
        return items;
    auto now = static_cast<int64_t>(clock_->now());
    while (query.step() == SQLITE_ROW)
        items.push_back(FileSystemObjects::wrap(folderFromRow(query, local), now));
    return items;
}

std::optional<FileSystemObjects> SyncBackupDatabase::getFolderUsingPath(const std::string& path,
                                                                        bool local) {
    Guard guard(*this);
    SqliteStatement query = connection_.prepare(
        local ? "select FolderName, FolderID, FolderPath, ParentFolderID from Local_Folders "
                "where FolderPath = ?"
              : "select FolderName, FolderID, FolderPath, ParentFolderID, AccessFolderID, "
                "LastUpdateTime from Cloud_Folders where FolderPath = ?");
    if (!query.bindText(1, path) || query.step() != SQLITE_ROW)
        return std::nullopt;
    return FileSystemObjects::wrap(folderFromRow(query, local),
                                   static_cast<int64_t>(clock_->now()));
}

bool SyncBackupDatabase::resetCloudFolders() {
    Guard guard(*this);
    return runWriteLocked("update cloud_folders set LastUpdateTime=0;", true,
                          [](SqliteStatement&) { return true; });
}

bool SyncBackupDatabase::truncateDatabase() {
    Guard guard(*this);
    // Inside the long transaction the BEGIN fails and the COMMIT ends it; the next write
    // begins a new one.
    connection_.exec("BEGIN TRANSACTION;");
    bool done = connection_.exec("delete from Cloud_Files;") &&
                connection_.exec("delete from Cloud_Folders;") &&
                connection_.exec("delete from local_Files;") &&
                connection_.exec("delete from local_Folders");
    done = connection_.exec("COMMIT;") && done;
    nmOfInsertions_ = 0;
    return done;
}

bool SyncBackupDatabase::insertTask(const SyncBackupTaskRow& task) {
    Guard guard(*this);
    startTransaction();
    SqliteStatement insert = connection_.prepare(
        "insert or replace into SyncBackup_Tasks (Taskname, FromFolder, ToFolder, TaskID, "
        "task_last_run, task_paused_flag, Task_details_json, ThreadCount)  "
        "values(?,?,?,?,0,0,?,4);");
    if (!insert.valid()) {
        logLocked(bv::format("inserTask failed with error = %d", insert.prepareResult()));
        return false;
    }
    bool bound = insert.bindText(1, task.taskName) && insert.bindText(2, task.fromPath) &&
                 insert.bindText(3, task.toPath) && insert.bindInt64(4, task.taskId) &&
                 insert.bindBlob(5, archiveRecord(task.record));
    if (!bound)
        return false;
    bool done = insert.run();
    endTransaction(true);
    return done;
}

bool SyncBackupDatabase::updateTask(int64_t taskId, const json& record) {
    Guard guard(*this);
    return runWriteLocked("update SyncBackup_Tasks set Task_details_json=? where TaskID=?;", true,
                          [&](SqliteStatement& s) {
                              return s.bindBlob(1, archiveRecord(record)) && s.bindInt64(2, taskId);
                          });
}

bool SyncBackupDatabase::updateTaskLastRun(int64_t taskId, int64_t lastRunTime, int64_t status) {
    Guard guard(*this);
    return runWriteLocked(
        "update SyncBackup_Tasks set task_last_run=?, task_paused_flag=? where TaskID=?;", true,
        [&](SqliteStatement& s) {
            return s.bindInt64(1, lastRunTime) && s.bindInt64(2, status) && s.bindInt64(3, taskId);
        });
}

bool SyncBackupDatabase::updateTaskThreadCount(int64_t taskId, int32_t threadCount) {
    Guard guard(*this);
    return runWriteLocked(
        "update SyncBackup_Tasks set threadCount=? where TaskID=?;", true,
        [&](SqliteStatement& s) { return s.bindInt64(1, threadCount) && s.bindInt64(2, taskId); });
}

bool SyncBackupDatabase::removeTaskByID(int64_t taskId) {
    Guard guard(*this);
    return runWriteLocked("delete from SyncBackup_Tasks where TaskID = ?;", true,
                          [&](SqliteStatement& s) { return s.bindInt64(1, taskId); });
}

std::vector<SyncBackupTaskRow> SyncBackupDatabase::getAllTasks() {
    Guard guard(*this);
    std::vector<SyncBackupTaskRow> tasks;
    SqliteStatement query = connection_.prepare(
        "select Taskname, TaskID, task_last_run, task_paused_flag, Task_details_json, "
        "ThreadCount from SyncBackup_Tasks");
    while (query.step() == SQLITE_ROW) {
        SyncBackupTaskRow row;
        row.taskName = query.columnText(0);
        row.taskId = query.columnInt64(1);
        row.lastRunTime = query.columnInt64(2);
        row.status = query.columnInt64(3);
        if (auto record = unarchiveRecord(query.columnBlob(4)); record && record->is_object())
            row.record = std::move(*record);
        else
            logLocked(bv::format("The record of task %lld cannot be read", row.taskId));
        row.threadCount = static_cast<int32_t>(query.columnInt64(5));
        row.fromPath = row.record.value("FromPath", std::string());
        row.toPath = row.record.value("ToPath", std::string());
        tasks.push_back(std::move(row));
    }
    return tasks;
}

bool SyncBackupDatabase::alterTable() {
    Guard guard(*this);
    // Inside the long transaction the BEGIN fails and the COMMIT ends it.
    connection_.exec("BEGIN TRANSACTION;");
    bool done = connection_.exec("ALTER TABLE SyncBackup_Tasks ADD COLUMN ThreadCount INTEGER;") &&
                connection_.exec("Update SyncBackup_Tasks set ThreadCount = 4;");
    done = connection_.exec("COMMIT;") && done;
    return done;
}

bool SyncBackupDatabase::migration1_7(const std::string& path) {
    Guard guard(*this);
    for (const char* table : {"cloud_Files", "cloud_Folders", "local_Files", "local_Folders"}) {
        if (!connection_.exec(bv::format("DROP TABLE %@;", table))) {
            recreateLocked(path, bv::format("cannot drop %@", table));
            return false;
        }
    }
    connection_.exec("DELETE FROM SyncBackup_Tasks WHERE Taskname = 'Save As'");
    return createDatabase(path);
}

bool SyncBackupDatabase::migration1_8(const std::string& path) {
    Guard guard(*this);
    static constexpr const char* kTables[] = {"cloud_Files", "local_Files"};
    for (const char* table : kTables)
        connection_.exec(bv::format("ALTER TABLE %@ RENAME TO %@_old", table, table));
    bool done = createDatabase(path);
    for (const char* table : kTables)
        done = connection_.exec(bv::format("INSERT INTO %@ SELECT * FROM %@_old", table, table)) &&
               done;
    return done;
}

bv::Data SyncBackupDatabase::archiveRecord(const json& record) {
    return bv::KeyedArchive::encode(toArchive(record.is_object() ? record : json::object()));
}

std::optional<json> SyncBackupDatabase::unarchiveRecord(const bv::Data& bytes) {
    auto archive = bv::KeyedArchive::decode(bytes);
    if (!archive)
        return std::nullopt;
    return fromArchive(*archive);
}
