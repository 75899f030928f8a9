#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace bvserver {

// One prepared statement, finalized on destruction. Bind indexes start at 1, column
// indexes at 0. step() answers true while a row is available.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, int64_t value);
    Statement& bind(int index, const std::string& value);
    Statement& bindNull(int index);
    bool step();
    void run();  // steps to the end; throws on failure

    int64_t integer(int column) const;
    std::string text(int column) const;
    bool isNull(int column) const;

  private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// An owned SQLite connection in WAL mode. Not locked: callers serialize access (the
// owning store holds the lock for every use).
class Database {
  public:
    explicit Database(const std::filesystem::path& file);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(const char* sql);
    Statement prepare(const char* sql) { return Statement(db_, sql); }
    int64_t lastInsertId() const { return sqlite3_last_insert_rowid(db_); }
    int changes() const { return sqlite3_changes(db_); }

  private:
    sqlite3* db_ = nullptr;
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
