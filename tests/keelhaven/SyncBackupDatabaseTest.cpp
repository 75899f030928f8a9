#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "SqliteTestHelpers.h"
#include "TempDir.h"
#include "platform/Format.h"
#include "platform/KeyedArchive.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using khtest::countRows;

BrimvaultFile makeFile(const std::string& path, const std::string& id, const std::string& parent,
                       int64_t size = 10) {
    BrimvaultFile file;
    file.m_filename = fs::path(path).filename().string();
    file.m_path = path;
    file.m_fileID = id;
    file.m_size = size;
    file.m_modifiedDate = 1'600'000'000;
    file.m_parentFolderId = parent;
    file.m_accessDirId = "acc-" + id;
    return file;
}

BrimvaultFolder makeFolder(const std::string& path, const std::string& id,
                           const std::string& parent) {
    BrimvaultFolder folder;
    folder.m_folderName = fs::path(path).filename().string();
    folder.m_path = path;
    folder.m_folderID = id;
    folder.m_parentFolderId = parent;
    folder.m_accessDirId = "acc-" + id;
    return folder;
}

class SyncBackupDatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db.openSyncBackupDatabase(file.string())); }

    bvtest::TempDir dir{"khdb"};
    fs::path file = dir / "task.1.db";
    std::shared_ptr<bv::ManualClock> clock = std::make_shared<bv::ManualClock>();
    SyncBackupDatabase db{clock};
};

TEST_F(SyncBackupDatabaseTest, NewFileHasTheSchemaAndVersionAndIsOwnerOnly) {
    EXPECT_EQ(db.DbVersion(), "1.8");
    for (const char* table : {"SyncBackup_Tasks", "Cloud_Files", "Cloud_Folders", "local_Files",
                              "local_Folders", "Database_Version"})
        EXPECT_TRUE(khtest::hasTable(file, table)) << table;
    EXPECT_EQ(khtest::column(file, "select sql from sqlite_master where name = 'Cloud_Files'"),
              std::vector<std::string>{
                  "CREATE TABLE Cloud_Files (FileName TEXT, FilePath TEXT NOT NULL PRIMARY KEY, "
                  "FileID TEXT NOT NULL, FileSize NUMERIC, FileModif NUMERIC, ParentFolderID "
                  "TEXT, AccessFolderID TEXT)"});
    EXPECT_EQ(khtest::modeOf(file), 0600u);
    ASSERT_TRUE(db.insertCloudFile(makeFile("/a", "1", "0")));
    // The long transaction is open now; its write-ahead log and its index must be as
    // private as the file.
    for (const char* companion : {"-wal", "-shm"}) {
        ASSERT_TRUE(fs::exists(file.string() + companion)) << companion;
        EXPECT_EQ(khtest::modeOf(file.string() + companion), 0600u) << companion;
    }

    fs::permissions(file, fs::perms(0644));
    SyncBackupDatabase reopened;
    ASSERT_TRUE(reopened.openSyncBackupDatabase(file.string()));
    EXPECT_EQ(khtest::modeOf(file), 0600u);
}

TEST_F(SyncBackupDatabaseTest, InsertingAnExistingKeyReplacesTheRow) {
    ASSERT_TRUE(db.insertCloudFile(makeFile("/d/x", "old", "p")));
    ASSERT_TRUE(db.insertCloudFile(makeFile("/d/x", "new", "p", 99)));
    ASSERT_TRUE(db.insertLocalFolder(makeFolder("/l/one", "f1", "0")));
    ASSERT_TRUE(db.insertLocalFolder(makeFolder("/l/two", "f1", "0")));
    ASSERT_TRUE(db.insertTask({"first", "/a", "/b", 77, 0, 0, json::object(), 4}));
    ASSERT_TRUE(db.insertTask({"second", "/c", "/d", 77, 0, 0, json::object(), 4}));

    auto files = db.getFileObjectsForDirectory("p", false);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].itemID, "new");
    EXPECT_EQ(files[0].file()->m_size, 99);
    auto folders = db.getFolderbjectsForDirectory("0", true);
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(folders[0].itemPath, "/l/two");
    auto tasks = db.getAllTasks();
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0].taskName, "second");
}

TEST_F(SyncBackupDatabaseTest, TheTenThousandthCountedWriteCommitsAndTheOneBeforeDoesNot) {
    for (int i = 0; i < SyncBackupDatabase::kCommitEvery - 1; ++i)
        ASSERT_TRUE(db.insertLocalFile(makeFile("/f" + std::to_string(i), "i", "p")));
    EXPECT_EQ(db.uncommittedWrites(), 9999);
    EXPECT_EQ(countRows(file, "local_Files"), 0);

    ASSERT_TRUE(db.insertLocalFile(makeFile("/last", "i", "p")));
    EXPECT_EQ(db.uncommittedWrites(), 0);
    EXPECT_EQ(countRows(file, "local_Files"), 10000);

    // A forced write commits whatever is pending at once.
    ASSERT_TRUE(db.insertLocalFile(makeFile("/more", "i", "p")));
    EXPECT_EQ(countRows(file, "local_Files"), 10000);
    ASSERT_TRUE(db.deleteFile("nothing-has-this-id", true));
    EXPECT_EQ(countRows(file, "local_Files"), 10001);
}

TEST_F(SyncBackupDatabaseTest, TaskTableChangesAreCommittedAtOnce) {
    json record = {{"TaskType", "Backup"}, {"FromPath", "/src"}, {"ToPath", "/Drive/dst"}};
    ASSERT_TRUE(db.insertTask({"t", "/src", "/Drive/dst", 5, 0, 0, record, 4}));
    EXPECT_EQ(countRows(file, "SyncBackup_Tasks"), 1);
    ASSERT_TRUE(db.updateTaskLastRun(5, 1234, 4));
    ASSERT_TRUE(db.updateTaskThreadCount(5, 9));
    EXPECT_EQ(khtest::column(file,
                             "select task_last_run || ',' || task_paused_flag || ',' || "
                             "ThreadCount from SyncBackup_Tasks"),
              std::vector<std::string>{"1234,4,9"});
    ASSERT_TRUE(db.removeTaskByID(5));
    EXPECT_EQ(countRows(file, "SyncBackup_Tasks"), 0);
}

TEST_F(SyncBackupDatabaseTest, TheTaskRecordRoundTripsAndUpdateTouchesOnlyTheRecord) {
    json record = {
        {"TaskType", "Synchronization"},
        {"FromPath", "/Users/me/Docs"},
        {"ToPath", "/MyDrive/Docs"},
        {"failed", true},
        {"stopped", false},
        {"schedular",
         {{"SchedularType", "Daily"},
          {"Daily", {{"Monday", true}, {"Sunday", false}, {"StartsAt", 32400}}}}},
        {"filter", {{"filterType", "Exclude"}, {"Exclude", {{"Custom", ""}}}}},
    };
    ASSERT_TRUE(db.insertTask({"Docs", "/Users/me/Docs", "/MyDrive/Docs", 42, 0, 0, record, 4}));
    auto tasks = db.getAllTasks();
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0].record, record);
    EXPECT_EQ(tasks[0].taskId, 42);
    EXPECT_EQ(tasks[0].threadCount, 4);

    // The blob is a keyed archive: nested dictionaries are archive objects of their own.
    auto blob = khtest::column(file, "select hex(Task_details_json) from SyncBackup_Tasks");
    ASSERT_EQ(blob.size(), 1u);
    auto archived = bv::KeyedArchive::decode(SyncBackupDatabase::archiveRecord(record));
    ASSERT_TRUE(archived);
    EXPECT_NE(bv::KeyedArchive::className((*archived)["schedular"]), nullptr);

    json changed = record;
    changed["FromPath"] = "/elsewhere";
    ASSERT_TRUE(db.updateTask(42, changed));
    EXPECT_EQ(db.getAllTasks()[0].record, changed);
    EXPECT_EQ(khtest::column(file, "select FromFolder from SyncBackup_Tasks"),
              std::vector<std::string>{"/Users/me/Docs"});

    // A blob that is not an archive reads as an empty record, and the task still loads.
    khtest::execSql(file, "update SyncBackup_Tasks set Task_details_json = x'DEADBEEF'");
    SyncBackupDatabase reopened;
    ASSERT_TRUE(reopened.openSyncBackupDatabase(file.string()));
    tasks = reopened.getAllTasks();
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_TRUE(tasks[0].record.empty());
}

// Identifiers come from the service and from local files: any text must be stored and found
// exactly, never read as part of a statement.
TEST_F(SyncBackupDatabaseTest, IdentifiersWithQuotesAndSemicolonsRoundTripExactly) {
    const std::vector<std::string> ids = {
        "plain",
        "with\"quote",
        "x\"); DROP TABLE Cloud_Files; --",
        "'; delete from "
        "local_Files; --",
        "FileID",
        "semi;colon",
        "",
    };
    for (bool local : {false, true}) {
        SCOPED_TRACE(local ? "local" : "cloud");
        for (size_t i = 0; i < ids.size(); ++i) {
            const std::string& id = ids[i];
            auto file = makeFile("/p" + std::to_string(i) + "/" + id + "file", id, id + "parent");
            auto folder = makeFolder("/p" + std::to_string(i) + "/" + id, id, id + "parent");
            ASSERT_TRUE(local ? db.insertLocalFile(file) : db.insertCloudFile(file));
            ASSERT_TRUE(local ? db.insertLocalFolder(folder) : db.insertCloudFolder(folder));
        }
        for (size_t i = 0; i < ids.size(); ++i) {
            const std::string& id = ids[i];
            auto files = db.getFileObjectsForDirectory(id + "parent", local);
            ASSERT_EQ(files.size(), 1u) << id;
            EXPECT_EQ(files[0].itemID, id);
            EXPECT_EQ(files[0].file()->m_parentFolderId, id + "parent");
            EXPECT_EQ(files[0].file()->m_accessDirId, local ? "" : "acc-" + id);
            auto folder = db.getFolderUsingPath("/p" + std::to_string(i) + "/" + id, local);
            ASSERT_TRUE(folder) << id;
            EXPECT_EQ(folder->itemID, id);

            BrimvaultFile changed = *files[0].file();
            changed.m_size = 4242;
            ASSERT_TRUE(db.updateFile(changed, local));
            EXPECT_EQ(db.getFileObjectsForDirectory(id + "parent", local)[0].file()->m_size, 4242);
        }
        ASSERT_TRUE(db.updateLastUpdateTime(ids[2], 77));
        ASSERT_TRUE(db.deleteFile(ids[1], local));
        EXPECT_TRUE(db.getFileObjectsForDirectory(ids[1] + "parent", local).empty());
        EXPECT_EQ(db.getFileObjectsForDirectory(ids[2] + "parent", local).size(), 1u);
        if (!local) {
            EXPECT_EQ(db.getFolderUsingPath("/p2/" + ids[2], false)->folder()->m_lastupdate, 77);
        }
    }
    EXPECT_EQ(countRows(file, "Cloud_Files"), static_cast<int64_t>(ids.size() - 1));
    EXPECT_EQ(countRows(file, "local_Files"), static_cast<int64_t>(ids.size() - 1));
}

TEST_F(SyncBackupDatabaseTest, UnknownPathGivesNothing) {
    ASSERT_TRUE(db.insertCloudFolder(makeFolder("/known", "k", "0")));
    EXPECT_FALSE(db.getFolderUsingPath("/unknown", false));
    EXPECT_FALSE(db.getFolderUsingPath("/known", true));  // the other side's table
    auto found = db.getFolderUsingPath("/known", false);
    ASSERT_TRUE(found);
    EXPECT_TRUE(found->isFolder);
    EXPECT_EQ(found->modificationDate, static_cast<int64_t>(clock->now()));
    EXPECT_EQ(found->folder()->m_lastupdate, 0);
}

TEST_F(SyncBackupDatabaseTest, SubfoldersComeInNameOrderAndResetClearsStamps) {
    for (const char* name : {"b", "c", "a"})
        ASSERT_TRUE(db.insertCloudFolder(makeFolder(std::string("/r/") + name, name, "r")));
    ASSERT_TRUE(db.updateLastUpdateTime("a", 5));
    std::vector<std::string> names;
    for (const auto& item : db.getFolderbjectsForDirectory("r", false))
        names.push_back(item.itemName);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_TRUE(db.resetCloudFolders());
    EXPECT_EQ(khtest::column(file, "select max(LastUpdateTime) from Cloud_Folders"),
              std::vector<std::string>{"0"});
}

class SyncBackupDatabaseFolderDeleteTest : public SyncBackupDatabaseTest,
                                           public ::testing::WithParamInterface<bool> {};

// root R holds A (which holds B) and C; X lies beside R. Both sides hold the same tree.
TEST_P(SyncBackupDatabaseFolderDeleteTest, DeletesTheSubtreeAndDirectFilesInTheChosenTableOnly) {
    const bool local = GetParam();
    const std::vector<std::tuple<std::string, std::string, std::string>> folders = {
        {"/R", "R", "0"},
        {"/R/A", "A", "R"},
        {"/R/A/B", "B", "A"},
        {"/R/C", "C", "R"},
        {"/X", "X", "0"}};
    for (bool side : {false, true}) {
        for (const auto& [path, id, parent] : folders) {
            auto folder = makeFolder(path, id, parent);
            auto file = makeFile(path + "/file", id + "-file", id);
            ASSERT_TRUE(side ? db.insertLocalFolder(folder) : db.insertCloudFolder(folder));
            ASSERT_TRUE(side ? db.insertLocalFile(file) : db.insertCloudFile(file));
        }
    }
    ASSERT_TRUE(db.deleteFolder("A", local));

    auto ids = [&](bool side, const char* what) {
        return khtest::column(
            file, std::string("select ") + (std::string(what) == "Files" ? "FileID" : "FolderID") +
                      " from " + (side ? "local_" : "Cloud_") + what + " order by 1");
    };
    ASSERT_TRUE(db.deleteFile("flush", local));  // a forced commit makes the result visible
    EXPECT_EQ(ids(local, "Folders"), (std::vector<std::string>{"C", "R", "X"}));
    EXPECT_EQ(ids(local, "Files"), (std::vector<std::string>{"C-file", "R-file", "X-file"}));
    EXPECT_EQ(ids(!local, "Folders").size(), 5u);
    EXPECT_EQ(ids(!local, "Files").size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(BothSides, SyncBackupDatabaseFolderDeleteTest,
                         ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Local" : "Cloud"; });

TEST_F(SyncBackupDatabaseTest, ParallelWritersAreSerialisedByTheInstance) {
    constexpr int kThreads = 4, kRows = 3000;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < kRows; ++i)
                db.insertCloudFile(makeFile(bv::format("/t%d/%d", t, i), "id", "p"));
        });
    for (auto& writer : writers)
        writer.join();
    ASSERT_TRUE(db.deleteFile("flush", false));
    EXPECT_EQ(countRows(file, "Cloud_Files"), kThreads * kRows);
}

// A writer that dies between counted commits loses the rows since the last commit, nothing
// more, and the file opens cleanly afterwards.
TEST(SyncBackupDatabaseCrashTest, AKilledWriterLosesOnlyRowsSinceTheLastCommit) {
    bvtest::TempDir dir("khcrash");
    const fs::path file = dir / "task.db";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        SyncBackupDatabase writer;
        if (!writer.openSyncBackupDatabase(file.string()))
            ::_exit(2);
        for (int i = 0; i < SyncBackupDatabase::kCommitEvery + 500; ++i)
            if (!writer.insertCloudFile(makeFile("/f" + std::to_string(i), "id", "p")))
                ::_exit(3);
        char byte = 'r';
        if (::write(ready[1], &byte, 1) != 1)
            ::_exit(4);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    ssize_t got = ::read(ready[0], &byte, 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(got, 1) << "writer failed, status " << status;
    ASSERT_TRUE(WIFSIGNALED(status));

    SyncBackupDatabase reopened;
    ASSERT_TRUE(reopened.openSyncBackupDatabase(file.string()));
    EXPECT_EQ(reopened.getFileObjectsForDirectory("p", false).size(), 10000u);
    EXPECT_EQ(reopened.DbVersion(), "1.8");
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().string().find(".damaged"), std::string::npos) << entry.path();
}

}  // namespace
