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
    id INTEGER PRIMARY KEY,
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
CREATE INDEX IF NOT EXISTS folders_parent ON folders(parent_id, name_key);
CREATE TABLE IF NOT EXISTS files (
    id INTEGER PRIMARY KEY,
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
CREATE INDEX IF NOT EXISTS files_folder ON files(folder_id, name_key);
CREATE INDEX IF NOT EXISTS files_owner ON files(owner_id);
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
}

int64_t nowSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

int64_t nextStamp(int64_t previous) {
    return std::max(nowSeconds(), previous + 1);
}

}  // namespace bvserver
