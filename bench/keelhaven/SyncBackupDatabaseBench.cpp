#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"

// The snapshot database against the same statements issued through the bare SQLite C
// interface: the first run of a large task (100,000 cloud file rows, committed every 10,000)
// and the listing of one folder of 10,000 files out of 100,000.
namespace {

namespace fs = std::filesystem;

constexpr int kRows = 100'000;
constexpr int kFolders = 10;

constexpr const char* kInsert =
    "insert or replace into cloud_files (FileName, FilePath, FileID, FileSize, FileModif, "
    "ParentFolderID, AccessFolderID)  values(?,?,?,?,?,?,?);";
constexpr const char* kList =
    "select FileName, FilePath, FileID, FileSize, FileModif, ParentFolderID, AccessFolderID "
    "from Cloud_Files where ParentFolderID = ?";

class BenchDir {
  public:
    BenchDir() {
        char pattern[] = "/tmp/khbench-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~BenchDir() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

BrimvaultFile rowFile(int i) {
    BrimvaultFile file;
    file.m_filename = "file" + std::to_string(i) + ".jpg";
    file.m_parentFolderId = "folder" + std::to_string(i % kFolders);
    file.m_path = "/Photos/" + file.m_parentFolderId + "/" + file.m_filename;
    file.m_fileID = std::to_string(9'000'000 + i);
    file.m_size = 1000 + i;
    file.m_modifiedDate = 1'700'000'000 + i;
    file.m_accessDirId.assign(1, '0');  // GCC 12 warns falsely on = "0" here
    return file;
}

std::vector<BrimvaultFile> allRows() {
    std::vector<BrimvaultFile> rows;
    rows.reserve(kRows);
    for (int i = 0; i < kRows; ++i)
        rows.push_back(rowFile(i));
    return rows;
}

void fillThroughDatabase(const std::string& path, const std::vector<BrimvaultFile>& rows) {
    SyncBackupDatabase db;
    db.openSyncBackupDatabase(path);
    for (const auto& row : rows)
        db.insertCloudFile(row);
    db.endTransaction(/*forced=*/true);
}

struct BareDb {
    explicit BareDb(const std::string& path) {
        sqlite3_open(path.c_str(), &db);
        sqlite3_busy_timeout(db, 10'000);
    }
    ~BareDb() { sqlite3_close_v2(db); }
    void exec(const char* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
    sqlite3* db = nullptr;
};

void fillBare(const std::string& path, const std::vector<BrimvaultFile>& rows) {
    BareDb bare(path);
    bare.exec("BEGIN TRANSACTION;");
    int pending = 0;
    for (const auto& row : rows) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(bare.db, kInsert, -1, &stmt, nullptr);
        sqlite3_bind_text(stmt, 1, row.m_filename.data(), static_cast<int>(row.m_filename.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, row.m_path.data(), static_cast<int>(row.m_path.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 3, row.m_fileID.data(), static_cast<int>(row.m_fileID.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, 4, row.m_size);
        sqlite3_bind_int64(stmt, 5, row.m_modifiedDate);
        sqlite3_bind_text(stmt, 6, row.m_parentFolderId.data(),
                          static_cast<int>(row.m_parentFolderId.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 7, row.m_accessDirId.data(),
                          static_cast<int>(row.m_accessDirId.size()), SQLITE_TRANSIENT);
        sqlite3_step(stmt);
        sqlite3_finalize(stmt);
        if (++pending == 10'000) {
            bare.exec("COMMIT;");
            bare.exec("BEGIN TRANSACTION;");
            pending = 0;
        }
    }
    bare.exec("COMMIT;");
}

// Both sides start from a file that has the schema and nothing else.
std::string freshFile(const BenchDir& dir, int run) {
    std::string path = dir.file("snap" + std::to_string(run) + ".db");
    SyncBackupDatabase db;
    db.openSyncBackupDatabase(path);
    return path;
}

template <void (*Fill)(const std::string&, const std::vector<BrimvaultFile>&)>
void BM_Insert100kRows(benchmark::State& state) {
    BenchDir dir;
    auto rows = allRows();
    int run = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string path = freshFile(dir, run++);
        state.ResumeTiming();
        Fill(path, rows);
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

// One listed file kept the way a caller would keep it.
struct ListedFile {
    std::string name, path, id, parent, access;
    int64_t size, modified;
};

std::string listingFile(const BenchDir& dir) {
    std::string path = dir.file("listing.db");
    fillThroughDatabase(path, allRows());
    return path;
}

void BM_ListFolderOf10k_Database(benchmark::State& state) {
    BenchDir dir;
    std::string path = listingFile(dir);
    SyncBackupDatabase db;
    db.openSyncBackupDatabase(path);
    size_t listed = 0;
    for (auto _ : state) {
        auto items = db.getFileObjectsForDirectory("folder3", false);
        listed = items.size();
        benchmark::DoNotOptimize(items.data());
    }
    state.counters["rows"] = static_cast<double>(listed);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(listed));
}

std::string text(sqlite3_stmt* stmt, int column) {
    auto* value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    return value ? std::string(value, static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
                 : std::string();
}

void BM_ListFolderOf10k_Bare(benchmark::State& state) {
    BenchDir dir;
    std::string path = listingFile(dir);
    BareDb bare(path);
    size_t listed = 0;
    for (auto _ : state) {
        std::vector<ListedFile> items;
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(bare.db, kList, -1, &stmt, nullptr);
        sqlite3_bind_text(stmt, 1, "folder3", -1, SQLITE_STATIC);
        while (sqlite3_step(stmt) == SQLITE_ROW)
            items.push_back({text(stmt, 0), text(stmt, 1), text(stmt, 2), text(stmt, 5),
                             text(stmt, 6), sqlite3_column_int64(stmt, 3),
                             sqlite3_column_int64(stmt, 4)});
        sqlite3_finalize(stmt);
        listed = items.size();
        benchmark::DoNotOptimize(items.data());
    }
    state.counters["rows"] = static_cast<double>(listed);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(listed));
}

BENCHMARK_TEMPLATE(BM_Insert100kRows, fillThroughDatabase)
    ->Name("BM_Insert100kRows_Database")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_Insert100kRows, fillBare)
    ->Name("BM_Insert100kRows_Bare")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ListFolderOf10k_Database)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListFolderOf10k_Bare)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
