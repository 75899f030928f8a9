#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace bvserver {

class Database;

// One prepared statement. Bind indexes start at 1, column indexes at 0. step() answers true
// while a row is available. On destruction a statement from its connection's cache is reset
// and handed back (which also ends the read it may hold open); any other is finalized.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql);
    Statement(Database& owner, sqlite3* db, sqlite3_stmt* cached);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, int64_t value);
    Statement& bind(int index, const std::string& value);
    Statement& bindNull(int index);
    Statement& bindBlob(int index, const char* data, size_t size);
    bool step();
    void run();  // steps to the end; throws on failure

    int64_t integer(int column) const;
    std::string text(int column) const;
    std::string blob(int column) const;
    bool isNull(int column) const;

  private:
    Database* owner_ = nullptr;  // set for a statement lent by the cache
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// An owned SQLite connection in WAL mode. Not locked: callers serialize access (the
// owning store holds the lock for every use). Statements are prepared once per connection
// and kept by their SQL text: a request runs a dozen of them, and compiling each anew cost
// more than running it.
class Database {
  public:
    explicit Database(const std::filesystem::path& file);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(const char* sql);
    // The cached statement for sql, or a fresh one while the cached one is still in use
    // (a nested query with the same text).
    Statement prepare(const char* sql);
    int64_t lastInsertId() const { return sqlite3_last_insert_rowid(db_); }
    int changes() const { return sqlite3_changes(db_); }

  private:
    friend class Statement;
    void giveBack(sqlite3_stmt* stmt);

    struct Cached {
        sqlite3_stmt* stmt = nullptr;
        bool lent = false;
    };
    // Text built from the stores' constants only, so the set is small; the cap keeps a
    // mistake from growing it without end.
    static constexpr size_t kMostCached = 256;

    sqlite3* db_ = nullptr;
    std::mutex cacheLock_;  // guards cache_ and byStatement_
    std::unordered_map<std::string, Cached> cache_;
    std::unordered_map<sqlite3_stmt*, Cached*> byStatement_;
};

// Begins a transaction and rolls it back unless commit() was called.
class Transaction {
  public:
    explicit Transaction(Database& db);
    ~Transaction();
    void commit();

  private:
    Database& db_;
    bool done_ = false;
};

}  // namespace bvserver
