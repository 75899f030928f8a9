#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/Data.h"

class SqliteConnection;

// One prepared statement, finalized when the object goes. Binding indexes start at 1, as in
// SQLite; column indexes start at 0. A statement whose preparation failed is not valid() and
// every call on it fails.
class SqliteStatement {
  public:
    SqliteStatement() = default;
    SqliteStatement(SqliteStatement&&) noexcept = default;
    SqliteStatement& operator=(SqliteStatement&&) noexcept = default;

    bool valid() const { return stmt_ != nullptr; }
    // The SQLite result of preparing (SQLITE_OK when valid()).
    int prepareResult() const { return prepareResult_; }

    [[nodiscard]] bool bindText(int index, std::string_view text);
    [[nodiscard]] bool bindInt64(int index, int64_t value);
    [[nodiscard]] bool bindBlob(int index, const bv::Data& bytes);

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step();
    // Steps until done: true when the statement ran to its end.
    bool run();
    void reset();

    // A NULL text column reads as the empty string.
    std::string columnText(int index) const;
    int64_t columnInt64(int index) const;
    bv::Data columnBlob(int index) const;
    bool columnIsNull(int index) const;

  private:
    friend class SqliteConnection;
    struct Finalizer {
        void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
    };
    std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
    int prepareResult_ = SQLITE_MISUSE;
};

// An owning SQLite connection. Files it creates are owner-only (SQLite gives its journals
// the database file's mode). Not thread-safe by itself: the owner serialises its use.
class SqliteConnection {
  public:
    static constexpr int kBusyTimeoutMs = 10'000;

    SqliteConnection() = default;
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // Opens (creating when missing) the file at path with the busy timeout set. Answers the
    // SQLite result; on failure the connection stays closed.
    int open(const std::string& path);
    void close();
    bool isOpen() const { return db_ != nullptr; }

    // A statement for sql; check valid() before use. On a closed connection it is invalid.
    SqliteStatement prepare(std::string_view sql);
    // The same, kept by the connection for the next call with the same sql, reset and with
    // its bindings cleared. For the writes a run makes once per item: preparing costs more
    // than running them. Valid until the connection closes; one user at a time, as ever.
    SqliteStatement& cached(std::string_view sql);
    // Runs one statement without parameters to its end; false on any failure.
    bool exec(std::string_view sql);
    // True when no transaction is open (SQLite's autocommit mode).
    bool inAutocommit() const;
    // A commit then appends to the write-ahead log and flushes it once, instead of making,
    // flushing and removing a journal file (the sync engine commits once per folder level).
    // Where the log cannot be used (no shared memory), SQLite keeps its rollback journal.
    // Called only once the file is known sound, so that a damaged one is set aside as found.
    void useWriteAheadLog();
    // SQLite's extended message for the last failure, for logs.
    std::string lastErrorMessage() const;
    int lastErrorCode() const;

  private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    // Looks a statement up by the text it is given, without copying that text first: the
    // copy was a heap allocation for every row a run writes.
    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };
    std::unique_ptr<sqlite3, Closer> db_;
    // After db_, so that its statements are finalized before the connection closes.
    std::unordered_map<std::string, SqliteStatement, TextHash, std::equal_to<>> cached_;
    SqliteStatement unprepared_;  // what cached() answers when preparing failed
};
