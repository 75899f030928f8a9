#include "MetadataStore.h"

#include <algorithm>
#include <chrono>

namespace bvserver {

MetadataStore::MetadataStore(const std::filesystem::path& file) : db_(file) {
    createSchema();
}

void MetadataStore::createSchema() {
    db_.exec(R"SQL(
CREATE TABLE IF NOT EXISTS users (
    id INTEGER PRIMARY KEY,
    username TEXT NOT NULL UNIQUE COLLATE NOCASE,
    pw_salt TEXT NOT NULL,
    pw_hash TEXT NOT NULL,
    first_name TEXT NOT NULL DEFAULT '',
    last_name TEXT NOT NULL DEFAULT '',
    drive_name TEXT NOT NULL DEFAULT 'Brimvault',
    plan TEXT NOT NULL DEFAULT 'Free',
    max_mib INTEGER NOT NULL DEFAULT 10240,
    bw_used INTEGER NOT NULL DEFAULT 0,
    bw_max INTEGER NOT NULL DEFAULT 0,
    speed_limit INTEGER NOT NULL DEFAULT 0,
    account_user INTEGER NOT NULL DEFAULT 0,
    two_factor INTEGER NOT NULL DEFAULT 0,
    notifications TEXT NOT NULL DEFAULT '[]',
    account_link TEXT NOT NULL DEFAULT '',
    billing_link TEXT NOT NULL DEFAULT '',
    root_id INTEGER,
    trash_stamp INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS sessions (
    id TEXT PRIMARY KEY,
    user_id INTEGER NOT NULL,
    verified INTEGER NOT NULL,
    token TEXT,
    created INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS folders (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    owner_id INTEGER NOT NULL,
    parent_id INTEGER,
    name TEXT NOT NULL,
    name_key TEXT NOT NULL,
    created INTEGER NOT NULL,
    modified INTEGER NOT NULL,
    stamp INTEGER NOT NULL,
    trashed INTEGER NOT NULL DEFAULT 0,
    secure_root INTEGER NOT NULL DEFAULT 0,
    verifier_data TEXT,
    verifier_hash TEXT,
    description TEXT NOT NULL DEFAULT ''
);
CREATE TABLE IF NOT EXISTS files (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    owner_id INTEGER NOT NULL,
    folder_id INTEGER NOT NULL,
    name TEXT NOT NULL,
    name_key TEXT NOT NULL,
    size INTEGER NOT NULL DEFAULT 0,
    created INTEGER NOT NULL,
    modified INTEGER NOT NULL,
    trashed INTEGER NOT NULL DEFAULT 0,
    rev INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS secure_auth (
    session_id TEXT NOT NULL,
    folder_id INTEGER NOT NULL,
    PRIMARY KEY (session_id, folder_id)
);
CREATE TABLE IF NOT EXISTS shares (
    id INTEGER PRIMARY KEY,
    owner_id INTEGER NOT NULL,
    folder_id INTEGER NOT NULL,
    target_id INTEGER NOT NULL,
    mode INTEGER NOT NULL,
    created INTEGER NOT NULL,
    UNIQUE (folder_id, target_id)
);
CREATE TABLE IF NOT EXISTS stats (
    id INTEGER PRIMARY KEY,
    user_id INTEGER NOT NULL,
    time INTEGER NOT NULL,
    body TEXT NOT NULL
);
)SQL");
    // Data folders made before sessions expired and before ids were kept unique.
    addColumn("sessions", "last_used", "INTEGER");
    addColumn("sessions", "token_expires", "INTEGER");
    addColumn("sessions", "token_attempts", "INTEGER NOT NULL DEFAULT 0");
    addColumn("sessions", "codes_issued", "INTEGER NOT NULL DEFAULT 0");
    neverReuseIds("folders");
    neverReuseIds("files");
    db_.exec(R"SQL(
CREATE INDEX IF NOT EXISTS folders_parent ON folders(parent_id, name_key);
CREATE INDEX IF NOT EXISTS files_folder ON files(folder_id, name_key);
CREATE INDEX IF NOT EXISTS files_owner ON files(owner_id);
DROP INDEX IF EXISTS files_owner_size;
)SQL");
    keepStorageTotals();
}

// The quota is checked at every create, chunk and close; summing an account's file sizes
// each time grew with the account. The total is kept in the account's row instead, by
// triggers, so it changes in the same transaction as the file rows and stays right across
// every path that writes them (uploads, overwrites, deletes, trash emptying, restarts).
void MetadataStore::keepStorageTotals() {
    addColumn("users", "storage_used", "INTEGER NOT NULL DEFAULT 0");
    db_.exec(R"SQL(
CREATE TRIGGER IF NOT EXISTS files_storage_insert AFTER INSERT ON files BEGIN
    UPDATE users SET storage_used = storage_used + NEW.size WHERE id = NEW.owner_id;
END;
CREATE TRIGGER IF NOT EXISTS files_storage_delete AFTER DELETE ON files BEGIN
    UPDATE users SET storage_used = storage_used - OLD.size WHERE id = OLD.owner_id;
END;
CREATE TRIGGER IF NOT EXISTS files_storage_update AFTER UPDATE OF size, owner_id ON files
WHEN OLD.size != NEW.size OR OLD.owner_id != NEW.owner_id BEGIN
    UPDATE users SET storage_used = storage_used - OLD.size WHERE id = OLD.owner_id;
    UPDATE users SET storage_used = storage_used + NEW.size WHERE id = NEW.owner_id;
END;
)SQL");
    // Data folders written before the triggers existed (or edited by hand) start right.
    db_.exec(
        "UPDATE users SET storage_used = "
        "(SELECT COALESCE(SUM(size), 0) FROM files WHERE files.owner_id = users.id)");
}

void MetadataStore::addColumn(const std::string& table, const std::string& column,
                              const std::string& declaration) {
    auto st =
        db_.prepare(("SELECT 1 FROM pragma_table_info('" + table + "') WHERE name = ?").c_str());
    st.bind(1, column);
    if (st.step())
        return;
    db_.exec(("ALTER TABLE " + table + " ADD COLUMN " + column + " " + declaration).c_str());
}

// A table whose id is a plain INTEGER PRIMARY KEY gives the id of its last row again once
// that row is deleted; clients keep items by id, so such a table is copied into one with
// AUTOINCREMENT, which never does.
void MetadataStore::neverReuseIds(const std::string& table) {
    std::string sql;
    {
        auto st = db_.prepare("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?");
        st.bind(1, table);
        if (!st.step())
            return;
        sql = st.text(0);
    }
    if (sql.find("AUTOINCREMENT") != std::string::npos)
        return;
    auto key = sql.find("id INTEGER PRIMARY KEY");
    if (key == std::string::npos)
        return;
    sql.insert(key + std::char_traits<char>::length("id INTEGER PRIMARY KEY"), " AUTOINCREMENT");
    auto name = sql.find(table);
    sql.replace(name, table.size(), table + "_ids");
    Transaction tx(db_);
    db_.exec(sql.c_str());
    db_.exec(("INSERT INTO " + table + "_ids SELECT * FROM " + table).c_str());
    db_.exec(("DROP TABLE " + table).c_str());
    db_.exec(("ALTER TABLE " + table + "_ids RENAME TO " + table).c_str());
    tx.commit();
}

int64_t nowSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

int64_t nextStamp(int64_t previous) {
    return std::max(nowSeconds(), previous + 1);
}

}  // namespace bvserver
