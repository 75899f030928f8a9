#include "TreeQueries.h"

#include <charconv>

#include "MetadataStore.h"
#include "ServiceError.h"

namespace bvserver::tree {

namespace {
constexpr const char* kFolderColumns =
    "id, owner_id, parent_id, name, created, modified, stamp, trashed, secure_root, "
    "verifier_data, verifier_hash, description";
constexpr const char* kFileColumns =
    "id, owner_id, folder_id, name, size, created, modified, trashed, rev";

FolderRow readFolder(Statement& st) {
    FolderRow r;
    r.id = st.integer(0);
    r.owner = st.integer(1);
    r.parent = st.isNull(2) ? 0 : st.integer(2);
    r.name = st.text(3);
    r.created = st.integer(4);
    r.modified = st.integer(5);
    r.stamp = st.integer(6);
    r.trashed = st.integer(7) != 0;
    r.secureRoot = st.integer(8) != 0;
    if (!st.isNull(9))
        r.verifierData = st.text(9);
    if (!st.isNull(10))
        r.verifierHash = st.text(10);
    r.description = st.text(11);
    return r;
}

FileRow readFile(Statement& st) {
    FileRow r;
    r.id = st.integer(0);
    r.owner = st.integer(1);
    r.folder = st.integer(2);
    r.name = st.text(3);
    r.size = st.integer(4);
    r.created = st.integer(5);
    r.modified = st.integer(6);
    r.trashed = st.integer(7) != 0;
    r.rev = st.integer(8);
    return r;
}

// Ancestors are walked one row at a time; trees are shallow and rows are indexed by id.
constexpr int kMaxDepth = 4096;
}  // namespace

int64_t parseId(const std::string& text) {
    int64_t v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || v <= 0)
        return -1;
    return v;
}

std::optional<FolderRow> folder(Database& db, int64_t id) {
    std::string sql = std::string("SELECT ") + kFolderColumns + " FROM folders WHERE id = ?";
    auto st = db.prepare(sql.c_str());
    st.bind(1, id);
    if (!st.step())
        return std::nullopt;
    return readFolder(st);
}

std::optional<FileRow> file(Database& db, int64_t id) {
    std::string sql = std::string("SELECT ") + kFileColumns + " FROM files WHERE id = ?";
    auto st = db.prepare(sql.c_str());
    st.bind(1, id);
    if (!st.step())
        return std::nullopt;
    return readFile(st);
}

std::vector<FolderRow> childFolders(Database& db, int64_t parent, bool trashed) {
    std::string sql = std::string("SELECT ") + kFolderColumns +
                      " FROM folders WHERE parent_id = ? AND trashed = ? ORDER BY name_key";
    auto st = db.prepare(sql.c_str());
    st.bind(1, parent).bind(2, trashed ? 1 : 0);
    std::vector<FolderRow> out;
    while (st.step())
        out.push_back(readFolder(st));
    return out;
}

std::vector<FileRow> childFiles(Database& db, int64_t parent, bool trashed) {
    std::string sql = std::string("SELECT ") + kFileColumns +
                      " FROM files WHERE folder_id = ? AND trashed = ? ORDER BY name_key";
    auto st = db.prepare(sql.c_str());
    st.bind(1, parent).bind(2, trashed ? 1 : 0);
    std::vector<FileRow> out;
    while (st.step())
        out.push_back(readFile(st));
    return out;
}

bool folderLive(Database& db, int64_t id) {
    for (int depth = 0; depth < kMaxDepth; ++depth) {
        auto st = db.prepare("SELECT parent_id, trashed FROM folders WHERE id = ?");
        st.bind(1, id);
        if (!st.step())
            return false;
        if (st.integer(1) != 0)
            return false;
        if (st.isNull(0))
            return true;
        id = st.integer(0);
    }
    return false;
}

std::optional<int64_t> secureRootOf(Database& db, int64_t id) {
    for (int depth = 0; depth < kMaxDepth; ++depth) {
        auto st = db.prepare("SELECT parent_id, secure_root FROM folders WHERE id = ?");
        st.bind(1, id);
        if (!st.step())
            return std::nullopt;
        if (st.integer(1) != 0)
            return id;
        if (st.isNull(0))
            return std::nullopt;
        id = st.integer(0);
    }
    return std::nullopt;
}

Reach reach(Database& db, const Access& access, int64_t folderId) {
    if (!access.shared)
        return Reach{true, true};
    Reach out;
    // Shares may nest; any share above the folder reaches it and the widest mode counts.
    for (int depth = 0; depth < kMaxDepth && !out.writable; ++depth) {
        auto st = db.prepare(
            "SELECT mode FROM shares WHERE folder_id = ? AND owner_id = ? AND target_id = ?");
        st.bind(1, folderId).bind(2, access.owner).bind(3, access.actor);
        if (st.step()) {
            out.reachable = true;
            out.writable = st.integer(0) != 0;
        }
        auto up = db.prepare("SELECT parent_id FROM folders WHERE id = ?");
        up.bind(1, folderId);
        if (!up.step() || up.isNull(0))
            break;
        folderId = up.integer(0);
    }
    return out;
}

void requireSecureAdmission(Database& db, const Access& access, int64_t folderId) {
    auto root = secureRootOf(db, folderId);
    if (!root)
        return;
    auto row = folder(db, *root);
    if (!row || !row->verifierHash)
        throw ServiceError(kForbidden, msg::kKeyNotSet);
    auto st = db.prepare("SELECT 1 FROM secure_auth WHERE session_id = ? AND folder_id = ?");
    st.bind(1, access.sessionId).bind(2, *root);
    if (!st.step())
        throw ServiceError(kForbidden, msg::kNeedsAuth);
}

bool secureAdmitted(Database& db, const Access& access, int64_t folderId) {
    try {
        requireSecureAdmission(db, access, folderId);
        return true;
    } catch (const ServiceError&) {
        return false;
    }
}

std::string folderIdText(const FolderRow& row) {
    return row.parent == 0 ? "0" : std::to_string(row.id);
}

namespace {
[[noreturn]] void refuseReadOnly() {
    throw ServiceError(kForbidden, "The folder is shared read-only");
}
}  // namespace

FolderRow resolveFolder(Database& db, const Access& access, const std::string& idText,
                        FolderUse use) {
    std::optional<FolderRow> row;
    if (idText == "0" && !access.shared) {
        auto st = db.prepare("SELECT root_id FROM users WHERE id = ?");
        st.bind(1, access.owner);
        if (st.step())
            row = folder(db, st.integer(0));
    } else if (int64_t id = parseId(idText); id > 0) {
        row = folder(db, id);
    }
    Reach here = row && row->owner == access.owner ? reach(db, access, row->id) : Reach{};
    if (!here.reachable)
        throw ServiceError(kNotFound, "Folder not found");
    switch (use) {
        case FolderUse::Bare:
            break;
        case FolderUse::Entry:
            requireSecureAdmission(db, access, row->parent);
            break;
        case FolderUse::ChangeEntry:
            if (!reach(db, access, row->parent).writable)
                refuseReadOnly();
            requireSecureAdmission(db, access, row->parent);
            break;
        case FolderUse::Contents:
            requireSecureAdmission(db, access, row->id);
            break;
        case FolderUse::ChangeContents:
            if (!here.writable)
                refuseReadOnly();
            requireSecureAdmission(db, access, row->id);
            break;
    }
    return *row;
}

FileRow resolveFile(Database& db, const Access& access, const std::string& idText, bool forWrite) {
    std::optional<FileRow> row;
    if (int64_t id = parseId(idText); id > 0)
        row = file(db, id);
    Reach here = row && row->owner == access.owner ? reach(db, access, row->folder) : Reach{};
    if (!here.reachable)
        throw ServiceError(kNotFound, "File not found");
    if (forWrite && !here.writable)
        refuseReadOnly();
    requireSecureAdmission(db, access, row->folder);
    return *row;
}

Taken nameTaken(Database& db, int64_t parent, const std::string& key, int64_t exceptFile,
                int64_t exceptFolder) {
    auto f = db.prepare(
        "SELECT 1 FROM files WHERE folder_id = ? AND name_key = ? AND trashed = 0 AND id != ?");
    f.bind(1, parent).bind(2, key).bind(3, exceptFile);
    if (f.step())
        return Taken::File;
    auto d = db.prepare(
        "SELECT 1 FROM folders WHERE parent_id = ? AND name_key = ? AND trashed = 0 AND id != ?");
    d.bind(1, parent).bind(2, key).bind(3, exceptFolder);
    if (d.step())
        return Taken::Folder;
    return Taken::None;
}

int64_t bump(Database& db, int64_t folderId) {
    auto st = db.prepare("SELECT stamp FROM folders WHERE id = ?");
    st.bind(1, folderId);
    if (!st.step())
        return nowSeconds();
    int64_t stamp = nextStamp(st.integer(0));
    db.prepare("UPDATE folders SET stamp = ?, modified = ? WHERE id = ?")
        .bind(1, stamp)
        .bind(2, nowSeconds())
        .bind(3, folderId)
        .run();
    return stamp;
}

int64_t bumpTrash(Database& db, int64_t ownerId) {
    auto st = db.prepare("SELECT trash_stamp FROM users WHERE id = ?");
    st.bind(1, ownerId);
    int64_t stamp = nextStamp(st.step() ? st.integer(0) : 0);
    db.prepare("UPDATE users SET trash_stamp = ? WHERE id = ?")
        .bind(1, stamp)
        .bind(2, ownerId)
        .run();
    return stamp;
}

int64_t storageUsed(Database& db, int64_t ownerId) {
    auto st = db.prepare("SELECT storage_used FROM users WHERE id = ?");
    st.bind(1, ownerId);
    return st.step() ? st.integer(0) : 0;
}

std::vector<std::pair<int64_t, int64_t>> deleteFolderTree(Database& db, int64_t folderId) {
    std::vector<std::pair<int64_t, int64_t>> contents;
    std::vector<int64_t> pending{folderId};
    std::vector<int64_t> all;
    while (!pending.empty()) {
        int64_t id = pending.back();
        pending.pop_back();
        all.push_back(id);
        // Items trashed on their own stay in the trash; a restore puts them in the root.
        auto st = db.prepare("SELECT id FROM folders WHERE parent_id = ? AND trashed = 0");
        st.bind(1, id);
        while (st.step())
            pending.push_back(st.integer(0));
    }
    for (int64_t id : all) {
        auto st = db.prepare("SELECT id, rev FROM files WHERE folder_id = ? AND trashed = 0");
        st.bind(1, id);
        while (st.step())
            contents.emplace_back(st.integer(0), st.integer(1));
        db.prepare("DELETE FROM files WHERE folder_id = ? AND trashed = 0").bind(1, id).run();
        db.prepare("DELETE FROM shares WHERE folder_id = ?").bind(1, id).run();
        db.prepare("DELETE FROM secure_auth WHERE folder_id = ?").bind(1, id).run();
        db.prepare("DELETE FROM folders WHERE id = ?").bind(1, id).run();
    }
    return contents;
}

}  // namespace bvserver::tree
