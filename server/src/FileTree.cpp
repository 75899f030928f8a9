#include "FileTree.h"

#include <sstream>

#include "NameRules.h"
#include "ServiceError.h"

namespace bvserver {

using tree::Taken;

namespace {
void requireLive(Database& db, int64_t folderId, const char* message) {
    if (!tree::folderLive(db, folderId))
        throw ServiceError(kConflict, message);
}

void requireUntouchable(const FolderRow& row) {
    if (row.parent == 0 || row.secureRoot) {
        throw ServiceError(kForbidden, "This folder cannot be moved, renamed or removed");
    }
}

// A name for a restored item that does not clash with the live items of `parent`.
std::string freeName(Database& db, int64_t parent, const std::string& name, int64_t exceptFile,
                     int64_t exceptFolder) {
    if (tree::nameTaken(db, parent, NameRules::key(name), exceptFile, exceptFolder) ==
        Taken::None) {
        return name;
    }
    auto dot = name.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    std::string ext = stem.size() == name.size() ? "" : name.substr(dot);
    for (int n = 1;; ++n) {
        std::string candidate = stem + " (" + std::to_string(n) + ")" + ext;
        if (tree::nameTaken(db, parent, NameRules::key(candidate), exceptFile, exceptFolder) ==
            Taken::None) {
            return candidate;
        }
    }
}

int64_t restoreTarget(Database& db, int64_t ownerId, int64_t originalParent) {
    auto parent = tree::folder(db, originalParent);
    if (parent && tree::folderLive(db, parent->id))
        return parent->id;
    auto st = db.prepare("SELECT root_id FROM users WHERE id = ?");
    st.bind(1, ownerId);
    if (!st.step())
        throw ServiceError(kNotFound, "User not found");
    return st.integer(0);
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

int64_t rootOf(Database& db, int64_t ownerId) {
    auto st = db.prepare("SELECT root_id FROM users WHERE id = ?");
    st.bind(1, ownerId);
    if (!st.step())
        throw ServiceError(kNotFound, "User not found");
    return st.integer(0);
}

// Walks `parts` from the owner's root; answers the folder id reached, or 0.
int64_t walkFolders(Database& db, const Access& access, const std::vector<std::string>& parts,
                    size_t count) {
    int64_t current = rootOf(db, access.owner);
    for (size_t i = 0; i < count; ++i) {
        auto st = db.prepare(
            "SELECT id FROM folders WHERE parent_id = ? AND name_key = ? AND trashed = 0");
        st.bind(1, current).bind(2, NameRules::key(parts[i]));
        if (!st.step())
            return 0;
        current = st.integer(0);
    }
    if (!tree::reach(db, access, current).reachable)
        return 0;
    return current;
}
}  // namespace

bool FileTree::isEncrypted(const Access&, int64_t folderId) {
    return store_.locked(
        [&](Database& db) { return tree::secureRootOf(db, folderId).has_value(); });
}

FolderListing FileTree::list(const Access& access, const std::string& folderId,
                             int64_t lastRequestTime) {
    return store_.locked([&](Database& db) {
        FolderListing out;
        out.folder = tree::resolveFolder(db, access, folderId, FolderUse::Contents);
        if (!tree::folderLive(db, out.folder.id))
            throw ServiceError(kNotFound, "Folder not found");
        if (auto parent = tree::folder(db, out.folder.parent)) {
            out.parentId = tree::folderIdText(*parent);
        }
        out.encrypted = tree::secureRootOf(db, out.folder.id).has_value();
        if (lastRequestTime >= out.folder.stamp) {
            out.changed = false;
            return out;
        }
        out.folders = tree::childFolders(db, out.folder.id, false);
        out.files = tree::childFiles(db, out.folder.id, false);
        return out;
    });
}

FolderRow FileTree::folderInfo(const Access& access, const std::string& folderId, bool* encrypted) {
    return store_.locked([&](Database& db) {
        FolderRow row = tree::resolveFolder(db, access, folderId, FolderUse::Entry);
        *encrypted = tree::secureRootOf(db, row.id).has_value();
        return row;
    });
}

FileRow FileTree::fileInfo(const Access& access, const std::string& fileId) {
    return store_.locked([&](Database& db) {
        FileRow row = tree::resolveFile(db, access, fileId, false);
        if (row.trashed || !tree::folderLive(db, row.folder)) {
            throw ServiceError(kNotFound, "File not found");
        }
        return row;
    });
}

std::string FileTree::folderPath(const Access& access, const std::string& folderId) {
    return store_.locked([&](Database& db) {
        FolderRow row = tree::resolveFolder(db, access, folderId, FolderUse::Entry);
        std::string path;
        while (row.parent != 0) {
            path = path.empty() ? row.name : row.name + "/" + path;
            auto up = tree::folder(db, row.parent);
            if (!up)
                break;
            row = *up;
        }
        return path;
    });
}

std::string FileTree::filePath(const Access& access, const std::string& fileId) {
    FileRow row =
        store_.locked([&](Database& db) { return tree::resolveFile(db, access, fileId, false); });
    std::string folder = folderPath(Access{access.owner, access.owner, false, access.sessionId},
                                    std::to_string(row.folder));
    return folder.empty() ? row.name : folder + "/" + row.name;
}

std::string FileTree::folderIdAt(const Access& access, const std::string& path) {
    return store_.locked([&](Database& db) {
        auto parts = splitPath(path);
        int64_t id = walkFolders(db, access, parts, parts.size());
        if (id == 0)
            throw ServiceError(kNotFound, "Folder not found");
        auto row = tree::folder(db, id);
        tree::requireSecureAdmission(db, access, row->parent);
        return tree::folderIdText(*row);
    });
}

std::string FileTree::fileIdAt(const Access& access, const std::string& path) {
    return store_.locked([&](Database& db) {
        auto parts = splitPath(path);
        if (parts.empty())
            throw ServiceError(kNotFound, "File not found");
        int64_t folder = walkFolders(db, access, parts, parts.size() - 1);
        if (folder == 0)
            throw ServiceError(kNotFound, "File not found");
        tree::requireSecureAdmission(db, access, folder);
        auto st =
            db.prepare("SELECT id FROM files WHERE folder_id = ? AND name_key = ? AND trashed = 0");
        st.bind(1, folder).bind(2, NameRules::key(parts.back()));
        if (!st.step())
            throw ServiceError(kNotFound, "File not found");
        return std::to_string(st.integer(0));
    });
}

FolderRow FileTree::createFolder(const Access& access, const std::string& parentId,
                                 const std::string& name, bool* encrypted) {
    NameRules::validate(name);
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        FolderRow parent = tree::resolveFolder(db, access, parentId, FolderUse::ChangeContents);
        requireLive(db, parent.id, msg::kParentTrashed);
        if (tree::nameTaken(db, parent.id, NameRules::key(name)) != Taken::None) {
            throw ServiceError(kConflict, msg::kNameTaken);
        }
        int64_t now = nowSeconds();
        db.prepare(
              "INSERT INTO folders (owner_id, parent_id, name, name_key, created, modified, "
              "stamp) VALUES (?, ?, ?, ?, ?, ?, ?)")
            .bind(1, parent.owner)
            .bind(2, parent.id)
            .bind(3, name)
            .bind(4, NameRules::key(name))
            .bind(5, now)
            .bind(6, now)
            .bind(7, now)
            .run();
        int64_t id = db.lastInsertId();
        tree::bump(db, parent.id);
        *encrypted = tree::secureRootOf(db, parent.id).has_value();
        auto row = tree::folder(db, id);
        tx.commit();
        return *row;
    });
}

FolderRow FileTree::moveFolder(const Access& src, const std::string& folderId, const Access& dst,
                               const std::string& dstFolderId,
                               const std::optional<std::string>& name, bool* encrypted) {
    if (name)
        NameRules::validate(*name);
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        FolderRow row = tree::resolveFolder(db, src, folderId, FolderUse::ChangeEntry);
        FolderRow target = tree::resolveFolder(db, dst, dstFolderId, FolderUse::ChangeContents);
        requireUntouchable(row);
        if (row.owner != target.owner) {
            throw ServiceError(kBadRequest, "Items cannot be moved between accounts");
        }
        if (row.trashed || !tree::folderLive(db, row.id)) {
            throw ServiceError(kNotFound, "Folder not found");
        }
        requireLive(db, target.id, msg::kParentTrashed);
        for (int64_t up = target.id; up != 0;) {
            if (up == row.id)
                throw ServiceError(kBadRequest, "A folder cannot be moved into itself");
            auto r = tree::folder(db, up);
            up = r ? r->parent : 0;
        }
        std::string newName = name.value_or(row.name);
        if (tree::nameTaken(db, target.id, NameRules::key(newName), 0, row.id) != Taken::None) {
            throw ServiceError(kConflict, msg::kNameTaken);
        }
        db.prepare("UPDATE folders SET parent_id = ?, name = ?, name_key = ? WHERE id = ?")
            .bind(1, target.id)
            .bind(2, newName)
            .bind(3, NameRules::key(newName))
            .bind(4, row.id)
            .run();
        tree::bump(db, row.parent);
        if (target.id != row.parent)
            tree::bump(db, target.id);
        *encrypted = tree::secureRootOf(db, row.id).has_value();
        auto moved = tree::folder(db, row.id);
        tx.commit();
        return *moved;
    });
}

FileRow FileTree::moveFile(const Access& src, const std::string& fileId, const Access& dst,
                           const std::string& dstFolderId, const std::optional<std::string>& name,
                           bool overwrite, ContentList* removed) {
    if (name)
        NameRules::validate(*name);
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        FileRow row = tree::resolveFile(db, src, fileId, true);
        FolderRow target = tree::resolveFolder(db, dst, dstFolderId, FolderUse::ChangeContents);
        if (row.owner != target.owner) {
            throw ServiceError(kBadRequest, "Items cannot be moved between accounts");
        }
        if (row.trashed || !tree::folderLive(db, row.folder)) {
            throw ServiceError(kNotFound, "File not found");
        }
        requireLive(db, target.id, msg::kParentTrashed);
        std::string newName = name.value_or(row.name);
        std::string key = NameRules::key(newName);
        switch (tree::nameTaken(db, target.id, key, row.id, 0)) {
            case Taken::Folder:
                throw ServiceError(kConflict, msg::kNameTaken);
            case Taken::File: {
                if (!overwrite)
                    throw ServiceError(kConflict, msg::kFileExists);
                auto st = db.prepare(
                    "SELECT id, rev FROM files WHERE folder_id = ? AND name_key = ? AND "
                    "trashed = 0 AND id != ?");
                st.bind(1, target.id).bind(2, key).bind(3, row.id);
                while (st.step())
                    removed->emplace_back(st.integer(0), st.integer(1));
                for (auto& [id, rev] : *removed) {
                    db.prepare("DELETE FROM files WHERE id = ?").bind(1, id).run();
                }
                break;
            }
            case Taken::None:
                break;
        }
        db.prepare("UPDATE files SET folder_id = ?, name = ?, name_key = ? WHERE id = ?")
            .bind(1, target.id)
            .bind(2, newName)
            .bind(3, key)
            .bind(4, row.id)
            .run();
        tree::bump(db, row.folder);
        if (target.id != row.folder)
            tree::bump(db, target.id);
        auto moved = tree::file(db, row.id);
        tx.commit();
        return *moved;
    });
}

int64_t FileTree::trashFolder(const Access& access, const std::string& folderId) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        FolderRow row = tree::resolveFolder(db, access, folderId, FolderUse::ChangeEntry);
        requireUntouchable(row);
        if (row.trashed)
            throw ServiceError(kConflict, "Folder is already in the trash");
        db.prepare("UPDATE folders SET trashed = 1 WHERE id = ?").bind(1, row.id).run();
        tree::bumpTrash(db, row.owner);
        int64_t stamp = tree::bump(db, row.parent);
        tx.commit();
        return stamp;
    });
}

int64_t FileTree::trashFile(const Access& access, const std::string& fileId) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        FileRow row = tree::resolveFile(db, access, fileId, true);
        if (row.trashed)
            throw ServiceError(kConflict, "File is already in the trash");
        db.prepare("UPDATE files SET trashed = 1 WHERE id = ?").bind(1, row.id).run();
        tree::bumpTrash(db, row.owner);
        int64_t stamp = tree::bump(db, row.folder);
        tx.commit();
        return stamp;
    });
}

int64_t FileTree::restoreFolder(const Access& access, const std::string& folderId) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        FolderRow row = tree::resolveFolder(db, access, folderId, FolderUse::ChangeEntry);
        if (!row.trashed)
            throw ServiceError(kConflict, "Folder is not in the trash");
        int64_t target = restoreTarget(db, row.owner, row.parent);
        std::string name = freeName(db, target, row.name, 0, row.id);
        db.prepare(
              "UPDATE folders SET trashed = 0, parent_id = ?, name = ?, name_key = ? WHERE id = ?")
            .bind(1, target)
            .bind(2, name)
            .bind(3, NameRules::key(name))
            .bind(4, row.id)
            .run();
        tree::bumpTrash(db, row.owner);
        if (target != row.parent)
            tree::bump(db, row.parent);
        int64_t stamp = tree::bump(db, target);
        tx.commit();
        return stamp;
    });
}

FileRow FileTree::restoreFile(const Access& access, const std::string& fileId) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        FileRow row = tree::resolveFile(db, access, fileId, true);
        if (!row.trashed)
            throw ServiceError(kConflict, "File is not in the trash");
        int64_t target = restoreTarget(db, row.owner, row.folder);
        std::string name = freeName(db, target, row.name, row.id, 0);
        db.prepare(
              "UPDATE files SET trashed = 0, folder_id = ?, name = ?, name_key = ? WHERE id = ?")
            .bind(1, target)
            .bind(2, name)
            .bind(3, NameRules::key(name))
            .bind(4, row.id)
            .run();
        tree::bumpTrash(db, row.owner);
        if (target != row.folder)
            tree::bump(db, row.folder);
        tree::bump(db, target);
        auto restored = tree::file(db, row.id);
        tx.commit();
        return *restored;
    });
}

int64_t FileTree::deleteFolder(const Access& access, const std::string& folderId,
                               ContentList* removed) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        FolderRow row = tree::resolveFolder(db, access, folderId, FolderUse::ChangeEntry);
        requireUntouchable(row);
        *removed = tree::deleteFolderTree(db, row.id);
        if (row.trashed)
            tree::bumpTrash(db, row.owner);
        int64_t stamp = tree::bump(db, row.parent);
        tx.commit();
        return stamp;
    });
}

int64_t FileTree::deleteFile(const Access& access, const std::string& fileId,
                             ContentList* removed) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        FileRow row = tree::resolveFile(db, access, fileId, true);
        db.prepare("DELETE FROM files WHERE id = ?").bind(1, row.id).run();
        removed->emplace_back(row.id, row.rev);
        if (row.trashed)
            tree::bumpTrash(db, row.owner);
        int64_t stamp = tree::bump(db, row.folder);
        tx.commit();
        return stamp;
    });
}

TrashListing FileTree::listTrash(const Access& access) {
    return store_.locked([&](Database& db) {
        TrashListing out;
        auto st = db.prepare("SELECT trash_stamp FROM users WHERE id = ?");
        st.bind(1, access.owner);
        out.stamp = st.step() ? st.integer(0) : 0;
        auto folders = db.prepare("SELECT id FROM folders WHERE owner_id = ? AND trashed = 1");
        folders.bind(1, access.owner);
        while (folders.step()) {
            FolderRow row = *tree::folder(db, folders.integer(0));
            if (tree::secureAdmitted(db, access, row.parent))
                out.folders.push_back(std::move(row));
        }
        auto files = db.prepare("SELECT id FROM files WHERE owner_id = ? AND trashed = 1");
        files.bind(1, access.owner);
        while (files.step()) {
            FileRow row = *tree::file(db, files.integer(0));
            if (tree::secureAdmitted(db, access, row.folder))
                out.files.push_back(std::move(row));
        }
        return out;
    });
}

int64_t FileTree::emptyTrash(int64_t userId, ContentList* removed) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        std::vector<int64_t> folders;
        auto st = db.prepare("SELECT id FROM folders WHERE owner_id = ? AND trashed = 1");
        st.bind(1, userId);
        while (st.step())
            folders.push_back(st.integer(0));
        for (int64_t id : folders) {
            if (!tree::folder(db, id))
                continue;  // already gone below a trashed ancestor
            auto gone = tree::deleteFolderTree(db, id);
            removed->insert(removed->end(), gone.begin(), gone.end());
        }
        auto files = db.prepare("SELECT id, rev FROM files WHERE owner_id = ? AND trashed = 1");
        files.bind(1, userId);
        while (files.step())
            removed->emplace_back(files.integer(0), files.integer(1));
        db.prepare("DELETE FROM files WHERE owner_id = ? AND trashed = 1").bind(1, userId).run();
        int64_t stamp = tree::bumpTrash(db, userId);
        tx.commit();
        return stamp;
    });
}

FileRow FileTree::createFile(const Access& access, const std::string& folderId,
                             const std::string& name, int64_t size) {
    NameRules::validate(name);
    if (size < 0)
        throw ServiceError(kBadRequest, "Invalid file size");
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        FolderRow parent = tree::resolveFolder(db, access, folderId, FolderUse::ChangeContents);
        requireLive(db, parent.id, msg::kParentTrashed);
        switch (tree::nameTaken(db, parent.id, NameRules::key(name))) {
            case Taken::File:
                throw ServiceError(kConflict, msg::kFileExists);
            case Taken::Folder:
                throw ServiceError(kConflict, msg::kNameTaken);
            case Taken::None:
                break;
        }
        auto max = db.prepare("SELECT max_mib FROM users WHERE id = ?");
        max.bind(1, parent.owner);
        if (max.step() && tree::storageUsed(db, parent.owner) + size > max.integer(0) * 1048576) {
            throw ServiceError(kStorageFull, msg::kStorageFull);
        }
        int64_t now = nowSeconds();
        db.prepare(
              "INSERT INTO files (owner_id, folder_id, name, name_key, created, modified) "
              "VALUES (?, ?, ?, ?, ?, ?)")
            .bind(1, parent.owner)
            .bind(2, parent.id)
            .bind(3, name)
            .bind(4, NameRules::key(name))
            .bind(5, now)
            .bind(6, now)
            .run();
        int64_t id = db.lastInsertId();
        tree::bump(db, parent.id);
        auto row = tree::file(db, id);
        tx.commit();
        return *row;
    });
}

FileRow FileTree::fileForUpload(const Access& access, const std::string& fileId) {
    return store_.locked([&](Database& db) {
        FileRow row = tree::resolveFile(db, access, fileId, true);
        if (row.trashed || !tree::folderLive(db, row.folder)) {
            throw ServiceError(kConflict, msg::kParentTrashed);
        }
        return row;
    });
}

FileRow FileTree::commitContent(int64_t fileId, int64_t size, int64_t modified, int64_t rev,
                                int64_t* oldRev) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        auto row = tree::file(db, fileId);
        if (!row)
            throw ServiceError(kNotFound, "File not found");
        auto max = db.prepare("SELECT max_mib FROM users WHERE id = ?");
        max.bind(1, row->owner);
        if (max.step() &&
            tree::storageUsed(db, row->owner) - row->size + size > max.integer(0) * 1048576) {
            throw ServiceError(kStorageFull, msg::kStorageFull);
        }
        db.prepare("UPDATE files SET size = ?, modified = ?, rev = ? WHERE id = ?")
            .bind(1, size)
            .bind(2, modified)
            .bind(3, rev)
            .bind(4, fileId)
            .run();
        tree::bump(db, row->folder);
        *oldRev = row->rev;
        auto updated = tree::file(db, fileId);
        tx.commit();
        return *updated;
    });
}

bool FileTree::isCurrentContent(int64_t fileId, int64_t rev) {
    return store_.locked([&](Database& db) {
        auto st = db.prepare("SELECT 1 FROM files WHERE id = ? AND rev = ?");
        st.bind(1, fileId).bind(2, rev);
        return st.step();
    });
}

int64_t FileTree::storageUsed(int64_t userId) {
    return store_.locked([&](Database& db) { return tree::storageUsed(db, userId); });
}

int64_t FileTree::storageFree(int64_t userId) {
    return store_.locked([&](Database& db) {
        auto max = db.prepare("SELECT max_mib FROM users WHERE id = ?");
        max.bind(1, userId);
        int64_t limit = max.step() ? max.integer(0) * 1048576 : 0;
        return limit - tree::storageUsed(db, userId);
    });
}

}  // namespace bvserver
