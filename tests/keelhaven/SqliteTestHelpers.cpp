#include "SqliteTestHelpers.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>
#include <stdexcept>

namespace khtest {
namespace {

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

std::unique_ptr<sqlite3, Closer> openFile(const std::filesystem::path& file) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open(file.c_str(), &raw);
    std::unique_ptr<sqlite3, Closer> db(raw);
    if (rc != SQLITE_OK)
        throw std::runtime_error("cannot open " + file.string());
    sqlite3_busy_timeout(db.get(), 5000);
    return db;
}

}  // namespace

void execSql(const std::filesystem::path& file, const std::string& sql) {
    auto db = openFile(file);
    char* message = nullptr;
    if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "?";
        sqlite3_free(message);
        throw std::runtime_error("sql failed: " + text + " in " + sql);
    }
}

std::vector<std::string> column(const std::filesystem::path& file, const std::string& query) {
    auto db = openFile(file);
    sqlite3_stmt* raw = nullptr;
    std::vector<std::string> values;
    if (sqlite3_prepare_v2(db.get(), query.c_str(), -1, &raw, nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot prepare " + query);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        auto* text = sqlite3_column_text(stmt.get(), 0);
        values.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
    }
    return values;
}

int64_t countRows(const std::filesystem::path& file, const std::string& table) {
    try {
        auto values = column(file, "select count(*) from " + table);
        return values.empty() ? -1 : std::stoll(values.front());
    } catch (const std::exception&) {
        return -1;
    }
}

bool hasTable(const std::filesystem::path& file, const std::string& table) {
    return !column(file, "select name from sqlite_master where type = 'table' and name = '" +
                             table + "' collate nocase")
                .empty();
}

unsigned modeOf(const std::filesystem::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

}  // namespace khtest
