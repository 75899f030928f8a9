#include "Keelhaven/SyncBackupDatabase/SqliteConnection.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/UniqueFd.h"

bool SqliteStatement::bindText(int index, std::string_view text) {
    return stmt_ && sqlite3_bind_text(stmt_.get(), index, text.data(),
                                      static_cast<int>(text.size()), SQLITE_TRANSIENT) == SQLITE_OK;
}

bool SqliteStatement::bindInt64(int index, int64_t value) {
    return stmt_ && sqlite3_bind_int64(stmt_.get(), index, value) == SQLITE_OK;
}

bool SqliteStatement::bindBlob(int index, const bv::Data& bytes) {
    // An empty buffer still binds as an empty blob, not as NULL.
    static const uint8_t kEmpty = 0;
    const void* data = bytes.length() == 0 ? &kEmpty : static_cast<const void*>(bytes.bytes());
    return stmt_ && sqlite3_bind_blob(stmt_.get(), index, data, static_cast<int>(bytes.length()),
                                      SQLITE_TRANSIENT) == SQLITE_OK;
}

int SqliteStatement::step() {
    return stmt_ ? sqlite3_step(stmt_.get()) : SQLITE_MISUSE;
}

bool SqliteStatement::run() {
    int rc;
    while ((rc = step()) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE;
}

void SqliteStatement::reset() {
    if (stmt_) {
        sqlite3_reset(stmt_.get());
        sqlite3_clear_bindings(stmt_.get());
    }
}

std::string SqliteStatement::columnText(int index) const {
    const unsigned char* text = sqlite3_column_text(stmt_.get(), index);
    if (text == nullptr)
        return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), index)));
}

int64_t SqliteStatement::columnInt64(int index) const {
    return sqlite3_column_int64(stmt_.get(), index);
}

bv::Data SqliteStatement::columnBlob(int index) const {
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_.get(), index));
    int length = sqlite3_column_bytes(stmt_.get(), index);
    if (bytes == nullptr || length <= 0)
        return bv::Data();
    return bv::Data(std::vector<uint8_t>(bytes, bytes + length));
}

bool SqliteStatement::columnIsNull(int index) const {
    return sqlite3_column_type(stmt_.get(), index) == SQLITE_NULL;
}

int SqliteConnection::open(const std::string& path) {
    close();
    // Create the file ourselves so that it is owner-only from its first byte; SQLite then
    // gives its journal the same mode. An existing file is left as it is.
    {
        bv::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd)
            return SQLITE_CANTOPEN;
        // A file left readable by others (an older build, a copy) is made private too.
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0 && (st.st_mode & 077) != 0)
            ::fchmod(fd.get(), st.st_mode & 0700);
    }
    sqlite3* raw = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
    std::unique_ptr<sqlite3, Closer> db(raw);
    if (rc != SQLITE_OK)
        return rc;
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    sqlite3_extended_result_codes(db.get(), 0);
    db_ = std::move(db);
    return SQLITE_OK;
}

void SqliteConnection::useWriteAheadLog() {
    // Changing the mode rewrites the file's header, and it cannot change inside a transaction.
    if (inAutocommit())
        exec("PRAGMA journal_mode=WAL;");
}

void SqliteConnection::close() {
    cached_.clear();
    db_.reset();
}

SqliteStatement& SqliteConnection::cached(std::string_view sql) {
    if (auto kept = cached_.find(sql); kept != cached_.end()) {
        kept->second.reset();
        return kept->second;
    }
    SqliteStatement statement = prepare(sql);
    if (!statement.valid()) {
        unprepared_ = std::move(statement);
        return unprepared_;
    }
    return cached_.emplace(std::string(sql), std::move(statement)).first->second;
}

SqliteStatement SqliteConnection::prepare(std::string_view sql) {
    SqliteStatement statement;
    if (!db_) {
        statement.prepareResult_ = SQLITE_MISUSE;
        return statement;
    }
    sqlite3_stmt* raw = nullptr;
    statement.prepareResult_ =
        sqlite3_prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
    statement.stmt_.reset(raw);
    if (statement.prepareResult_ == SQLITE_OK && raw == nullptr)
        statement.prepareResult_ = SQLITE_MISUSE;  // only white space or a comment
    if (statement.prepareResult_ != SQLITE_OK)
        statement.stmt_.reset();
    return statement;
}

bool SqliteConnection::exec(std::string_view sql) {
    SqliteStatement statement = prepare(sql);
    return statement.valid() && statement.run();
}

bool SqliteConnection::inAutocommit() const {
    return !db_ || sqlite3_get_autocommit(db_.get()) != 0;
}

std::string SqliteConnection::lastErrorMessage() const {
    return db_ ? sqlite3_errmsg(db_.get()) : "no connection";
}

int SqliteConnection::lastErrorCode() const {
    return db_ ? sqlite3_errcode(db_.get()) : SQLITE_MISUSE;
}
