#include "Sqlite.h"

#include <stdexcept>

namespace bvserver {

namespace {
[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw std::runtime_error(what + ": " + sqlite3_errmsg(db));
}
}  // namespace

Statement::Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
        fail(db, "prepare");
}

Statement::Statement(Database& owner, sqlite3* db, sqlite3_stmt* cached)
    : owner_(&owner), db_(db), stmt_(cached) {}

Statement::~Statement() {
    if (owner_)
        owner_->giveBack(stmt_);
    else
        sqlite3_finalize(stmt_);
}

Statement& Statement::bind(int index, int64_t value) {
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK)
        fail(db_, "bind");
    return *this;
}

Statement& Statement::bind(int index, const std::string& value) {
    if (sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        fail(db_, "bind");
    }
    return *this;
}

Statement& Statement::bindNull(int index) {
    if (sqlite3_bind_null(stmt_, index) != SQLITE_OK)
        fail(db_, "bind");
    return *this;
}

Statement& Statement::bindBlob(int index, const char* data, size_t size) {
    // A null pointer would bind NULL, not an empty blob.
    static const char kEmpty = 0;
    if (sqlite3_bind_blob64(stmt_, index, size > 0 ? data : &kEmpty, size, SQLITE_TRANSIENT) !=
        SQLITE_OK) {
        fail(db_, "bind");
    }
    return *this;
}

bool Statement::step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    fail(db_, "step");
}

void Statement::run() {
    while (step()) {
    }
}

int64_t Statement::integer(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

std::string Statement::text(int column) const {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    if (!p)
        return {};
    return std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

std::string Statement::blob(int column) const {
    auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
    if (!p)
        return {};
    return std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Database::Database(const std::filesystem::path& file) {
    if (sqlite3_open_v2(file.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open database " + file.string() + ": " + why);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
        // One process owns a data folder: holding the file locks for the connection's life
        // spares the lock and unlock calls of every transaction (dozens a request) and keeps a
        // second server off the same folder. Set before WAL is entered, so its index lives in
        // memory.
        exec("PRAGMA locking_mode=EXCLUSIVE");
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec("PRAGMA foreign_keys=ON");
    } catch (...) {
        // A damaged file gets this far; the destructor does not run for a failed constructor.
        sqlite3_close(db_);
        throw;
    }
}

Database::~Database() {
    for (auto& [sql, cached] : cache_)
        sqlite3_finalize(cached.stmt);
    sqlite3_close(db_);
}

Statement Database::prepare(const char* sql) {
    {
        std::lock_guard<std::mutex> lock(cacheLock_);
        auto found = cache_.find(sql);
        if (found != cache_.end()) {
            if (!found->second.lent) {
                found->second.lent = true;
                return Statement(*this, db_, found->second.stmt);
            }
        } else if (cache_.size() < kMostCached) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
                SQLITE_OK) {
                sqlite3_finalize(stmt);
                fail(db_, "prepare");
            }
            auto& entry = cache_[sql];
            entry.stmt = stmt;
            entry.lent = true;
            byStatement_[stmt] = &entry;
            return Statement(*this, db_, stmt);
        }
    }
    return Statement(db_, sql);
}

void Database::giveBack(sqlite3_stmt* stmt) {
    // Bound texts are copies (SQLITE_TRANSIENT); clearing them frees them now.
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    std::lock_guard<std::mutex> lock(cacheLock_);
    auto found = byStatement_.find(stmt);
    if (found != byStatement_.end())
        found->second->lent = false;
}

void Database::exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string why = err ? err : "unknown";
        sqlite3_free(err);
        throw std::runtime_error(std::string("sql failed: ") + why);
    }
}

Transaction::Transaction(Database& db) : db_(db) {
    db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!done_) {
        try {
            db_.exec("ROLLBACK");
        } catch (...) {
        }
    }
}

void Transaction::commit() {
    db_.exec("COMMIT");
    done_ = true;
}

}  // namespace bvserver
