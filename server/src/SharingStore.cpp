#include "SharingStore.h"

#include "ServiceError.h"

namespace bvserver {

namespace {
struct ShareRow {
    int64_t id, owner, folder, target, mode;
};

std::optional<ShareRow> shareRow(Database& db, const std::string& idText) {
    int64_t id = tree::parseId(idText);
    if (id <= 0)
        return std::nullopt;
    auto st =
        db.prepare("SELECT id, owner_id, folder_id, target_id, mode FROM shares WHERE id = ?");
    st.bind(1, id);
    if (!st.step())
        return std::nullopt;
    return ShareRow{st.integer(0), st.integer(1), st.integer(2), st.integer(3), st.integer(4)};
}
}  // namespace

Access SharingStore::access(int64_t actor, const std::string& sessionId,
                            const std::optional<std::string>& sharingId) {
    if (!sharingId)
        return Access{actor, actor, false, sessionId};
    return store_.locked([&](Database& db) {
        auto row = shareRow(db, *sharingId);
        if (!row || (row->target != actor && row->owner != actor)) {
            throw ServiceError(kNotFound, "Sharing not found");
        }
        if (row->owner == actor)
            return Access{actor, actor, false, sessionId};
        return Access{actor, row->owner, true, sessionId};
    });
}

int64_t SharingStore::share(const Access& owner, const std::string& folderId,
                            const std::string& name, int64_t mode) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        if (owner.shared)
            throw ServiceError(kForbidden, "Only the owner can share a folder");
        FolderRow folder = tree::resolveFolder(db, owner, folderId, FolderUse::Bare);
        if (folder.parent == 0 || tree::secureRootOf(db, folder.id)) {
            throw ServiceError(kForbidden, "This folder cannot be shared");
        }
        auto st = db.prepare("SELECT id FROM users WHERE username = ?");
        st.bind(1, name);
        if (!st.step())
            throw ServiceError(kNotFound, "User not found");
        int64_t target = st.integer(0);
        if (target == owner.actor)
            throw ServiceError(kBadRequest, "A folder cannot be shared with its owner");
        db.prepare(
              "INSERT INTO shares (owner_id, folder_id, target_id, mode, created) VALUES "
              "(?, ?, ?, ?, ?) ON CONFLICT(folder_id, target_id) DO UPDATE SET mode = "
              "excluded.mode")
            .bind(1, owner.actor)
            .bind(2, folder.id)
            .bind(3, target)
            .bind(4, mode)
            .bind(5, nowSeconds())
            .run();
        int64_t stamp = tree::bump(db, folder.id);
        tx.commit();
        return stamp;
    });
}

std::vector<ShareRecord> SharingStore::usersOf(const Access& owner, const std::string& folderId) {
    return store_.locked([&](Database& db) {
        FolderRow folder = tree::resolveFolder(db, owner, folderId, FolderUse::Bare);
        auto st = db.prepare(
            "SELECT s.id, u.username, s.mode FROM shares s JOIN users u ON u.id = s.target_id "
            "WHERE s.folder_id = ? ORDER BY s.id");
        st.bind(1, folder.id);
        std::vector<ShareRecord> out;
        while (st.step())
            out.push_back({st.integer(0), st.text(1), st.integer(2)});
        return out;
    });
}

int64_t SharingStore::remove(int64_t actor, const std::string& sharingId) {
    return store_.locked([&](Database& db) {
        Transaction tx(db);
        auto row = shareRow(db, sharingId);
        if (!row || (row->owner != actor && row->target != actor)) {
            throw ServiceError(kNotFound, "Sharing not found");
        }
        db.prepare("DELETE FROM shares WHERE id = ?").bind(1, row->id).run();
        int64_t stamp = tree::bump(db, row->folder);
        tx.commit();
        return stamp;
    });
}

void SharingStore::setMode(int64_t actor, const std::string& sharingId, int64_t mode) {
    store_.locked([&](Database& db) {
        auto row = shareRow(db, sharingId);
        if (!row || row->owner != actor)
            throw ServiceError(kNotFound, "Sharing not found");
        db.prepare("UPDATE shares SET mode = ? WHERE id = ?").bind(1, mode).bind(2, row->id).run();
    });
}

std::vector<ShareRecord> SharingStore::sharers(int64_t actor) {
    return store_.locked([&](Database& db) {
        auto st = db.prepare(
            "SELECT MIN(s.id), u.username FROM shares s JOIN users u ON u.id = s.owner_id "
            "WHERE s.target_id = ? GROUP BY s.owner_id ORDER BY u.username");
        st.bind(1, actor);
        std::vector<ShareRecord> out;
        while (st.step())
            out.push_back({st.integer(0), st.text(1), 0});
        return out;
    });
}

std::vector<SharedFolder> SharingStore::foldersSharedBy(int64_t actor,
                                                        const std::string& sharingId) {
    return store_.locked([&](Database& db) {
        auto row = shareRow(db, sharingId);
        if (!row || row->target != actor)
            throw ServiceError(kNotFound, "Sharing not found");
        auto st = db.prepare(
            "SELECT folder_id, mode FROM shares WHERE owner_id = ? AND target_id = ? ORDER BY id");
        st.bind(1, row->owner).bind(2, actor);
        std::vector<SharedFolder> out;
        while (st.step()) {
            auto folder = tree::folder(db, st.integer(0));
            if (!folder || !tree::folderLive(db, folder->id))
                continue;
            out.push_back({*folder, tree::secureRootOf(db, folder->id).has_value(), st.integer(1)});
        }
        return out;
    });
}

}  // namespace bvserver
