#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <regex>

#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"
#include "SqliteTestHelpers.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;
using khtest::column;
using khtest::countRows;
using khtest::execSql;
using Strings = std::vector<std::string>;

// The task table before the thread-count column, and the snapshot tables keyed by id.
constexpr const char* kOldSchema =
    "CREATE TABLE SyncBackup_Tasks (Taskname TEXT, FromFolder TEXT, ToFolder TEXT, TaskID "
    "INTEGER NOT NULL PRIMARY KEY, task_last_run NUMERIC, task_paused_flag NUMERIC, "
    "Task_details_json BLOB);"
    "CREATE TABLE Cloud_Files (FileName TEXT, FilePath TEXT, FileID TEXT NOT NULL PRIMARY KEY, "
    "FileSize NUMERIC, FileModif NUMERIC, ParentFolderID TEXT, AccessFolderID TEXT);"
    "CREATE TABLE Cloud_Folders (FolderName TEXT, FolderID TEXT NOT NULL PRIMARY KEY, FolderPath "
    "TEXT, ParentFolderID TEXT, AccessFolderID TEXT, LastUpdateTime NUMERIC);"
    "CREATE TABLE local_Files (FileName TEXT, FilePath TEXT, FileID TEXT NOT NULL PRIMARY KEY, "
    "FileSize NUMERIC, FileModif NUMERIC, ParentFolderID TEXT);"
    "CREATE TABLE local_Folders (FolderName TEXT, FolderID TEXT NOT NULL PRIMARY KEY, FolderPath "
    "TEXT, ParentFolderID TEXT);"
    "CREATE TABLE Database_Version (DBVersion TEXT);"
    "INSERT INTO Cloud_Files VALUES ('a', '/d/a', 'c1', 1, 2, 'r', '0');"
    "INSERT INTO Cloud_Files VALUES ('b', '/d/b', 'c2', 3, 4, 'r', '0');"
    "INSERT INTO local_Files VALUES ('a', '/l/a', 'l1', 1, 2, 'r');"
    "INSERT INTO Cloud_Folders VALUES ('r', 'r', '/d', '0', '0', 987);"
    "INSERT INTO SyncBackup_Tasks VALUES ('Save As', '/x', '/y', 1, 0, 0, x'');"
    "INSERT INTO SyncBackup_Tasks VALUES ('Docs', '/u', '/v', 2, 0, 0, x'');";

// Each migration step leaves its mark in an audit table that no step touches, so the order
// of the steps can be read back from the file.
constexpr const char* kAuditTriggers =
    "CREATE TABLE audit (step TEXT);"
    "CREATE TRIGGER reset AFTER UPDATE OF LastUpdateTime ON Cloud_Folders "
    "BEGIN INSERT INTO audit VALUES ('reset stamps'); END;"
    "CREATE TRIGGER threads AFTER UPDATE ON SyncBackup_Tasks "
    "BEGIN INSERT INTO audit VALUES ('thread count'); END;"
    "CREATE TRIGGER saveas AFTER DELETE ON SyncBackup_Tasks "
    "BEGIN INSERT INTO audit VALUES ('delete Save As ' || "
    "(SELECT count(*) FROM sqlite_master WHERE name = 'Cloud_Files' COLLATE NOCASE)); END;"
    "CREATE TRIGGER version AFTER UPDATE ON Database_Version "
    "BEGIN INSERT INTO audit VALUES ('version'); END;";

Strings auditSteps(const fs::path& file) {
    Strings steps;
    for (auto& step : column(file, "select step from audit order by rowid"))
        if (steps.empty() || steps.back() != step)
            steps.push_back(step);
    return steps;
}

class SyncBackupDatabaseMigrationTest : public ::testing::Test {
  protected:
    void makeFile(const std::string& version) {
        execSql(file, kOldSchema);
        execSql(file, kAuditTriggers);
        execSql(file, "INSERT INTO Database_Version VALUES ('" + version + "')");
    }

    bvtest::TempDir dir{"khmig"};
    fs::path file = dir / "SyncBackup.db";
};

TEST_F(SyncBackupDatabaseMigrationTest,
       Version13ResetsAddsThreadCountDropsSnapshotsDeletesSaveAsInOrder) {
    makeFile("1.3");
    SyncBackupDatabase db;
    ASSERT_TRUE(db.openSyncBackupDatabase(file.string()));

    // The snapshot tables were dropped (taking their trigger along) before "Save As" went,
    // and made again afterwards.
    EXPECT_EQ(auditSteps(file),
              (Strings{"reset stamps", "thread count", "delete Save As 0", "version"}));
    EXPECT_EQ(column(file, "select Taskname || ':' || ThreadCount from SyncBackup_Tasks"),
              Strings{"Docs:4"});
    EXPECT_EQ(countRows(file, "Cloud_Files"), 0);
    EXPECT_EQ(countRows(file, "Cloud_Folders"), 0);
    EXPECT_EQ(countRows(file, "local_Files"), 0);
    EXPECT_EQ(db.DbVersion(), "1.8");
    EXPECT_EQ(column(file, "select distinct DBVersion from Database_Version"), Strings{"1.8"});
    // The migration is on disk, not waiting for the next batch of snapshot rows.
    SyncBackupDatabase again;
    ASSERT_TRUE(again.openSyncBackupDatabase(file.string()));
    EXPECT_EQ(auditSteps(file).size(), 4u);
}

TEST_F(SyncBackupDatabaseMigrationTest, Version17OnlyRekeysTheFileTablesAndKeepsTheOldOnes) {
    makeFile("1.7");
    SyncBackupDatabase db;
    ASSERT_TRUE(db.openSyncBackupDatabase(file.string()));

    EXPECT_EQ(auditSteps(file), Strings{"version"});
    EXPECT_EQ(countRows(file, "SyncBackup_Tasks"), 2);
    EXPECT_EQ(column(file, "select LastUpdateTime from Cloud_Folders"), Strings{"987"});
    EXPECT_EQ(column(file, "select FileID from cloud_Files order by 1"), (Strings{"c1", "c2"}));
    EXPECT_EQ(column(file, "select FileID from local_Files"), Strings{"l1"});
    EXPECT_EQ(countRows(file, "cloud_Files_old"), 2);
    EXPECT_EQ(countRows(file, "local_Files_old"), 1);

    // The new tables are keyed by path: the same path with another id replaces the row.
    BrimvaultFile file2;
    file2.m_path = "/d/a";
    file2.m_fileID = "c9";
    file2.m_parentFolderId = "r";
    ASSERT_TRUE(db.insertCloudFile(file2));
    std::vector<std::string> ids;
    for (const auto& item : db.getFileObjectsForDirectory("r", false))
        ids.push_back(item.itemID);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (Strings{"c2", "c9"}));
    EXPECT_EQ(db.DbVersion(), "1.8");
}

TEST_F(SyncBackupDatabaseMigrationTest, Version15AddsTheThreadCountWithoutResettingStamps) {
    makeFile("1.5");
    SyncBackupDatabase db;
    ASSERT_TRUE(db.openSyncBackupDatabase(file.string()));
    EXPECT_EQ(auditSteps(file), (Strings{"thread count", "delete Save As 0", "version"}));
}

struct DamagedCase {
    const char* name;
    std::function<void(const fs::path&)> make;
};

class SyncBackupDatabaseDamagedFileTest : public ::testing::TestWithParam<DamagedCase> {};

// Whatever is wrong with the file, the old bytes stay beside the new file for recovery.
TEST_P(SyncBackupDatabaseDamagedFileTest, IsMovedAsideWithATimeStampAndRecreated) {
    bvtest::TempDir dir("khdamaged");
    const fs::path file = dir / "SyncBackup.db";
    GetParam().make(file);
    std::ifstream in(file, std::ios::binary);
    std::string original((std::istreambuf_iterator<char>(in)), {});

    SyncBackupDatabase db;
    ASSERT_TRUE(db.openSyncBackupDatabase(file.string()));
    EXPECT_EQ(db.DbVersion(), "1.8");
    EXPECT_EQ(countRows(file, "SyncBackup_Tasks"), 0);

    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (std::regex_match(entry.path().filename().string(),
                             std::regex(R"(SyncBackup\.db\.\d{8}-\d{6}\.damaged)")))
            aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 1u);
    std::ifstream kept(aside[0], std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), {}), original);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SyncBackupDatabaseDamagedFileTest,
    ::testing::Values(
        DamagedCase{"NotADatabase",
                    [](const fs::path& file) {
                        std::ofstream(file) << "this is not an SQLite file, just text\n";
                    }},
        DamagedCase{"NoVersionRow", [](const fs::path& file) { execSql(file, kOldSchema); }},
        DamagedCase{"TruncatedPages",
                    [](const fs::path& file) {
                        execSql(file, kOldSchema);
                        execSql(file, "INSERT INTO Database_Version VALUES ('1.8')");
                        execSql(file,
                                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                                "WHERE i < 200) INSERT INTO Cloud_Folders SELECT 'n', i, "
                                "hex(randomblob(200)), '0', '0', 0 FROM n");
                        fs::resize_file(file, fs::file_size(file) / 2);
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
