#include "SecureFolderStore.h"

#include <openssl/crypto.h>

#include "ServiceError.h"

namespace bvserver {

namespace {
FolderRow secureRoot(Database& db, const Access& access, const std::string& folderId) {
    FolderRow row = tree::resolveFolder(db, access, folderId, FolderUse::Bare);
    auto root = tree::secureRootOf(db, row.id);
    if (!root)
        throw ServiceError(kBadRequest, "Folder is not a secure folder");
    return *tree::folder(db, *root);
}

void admit(Database& db, const Access& access, int64_t rootId) {
    db.prepare("INSERT OR IGNORE INTO secure_auth (session_id, folder_id) VALUES (?, ?)")
        .bind(1, access.sessionId)
        .bind(2, rootId)
        .run();
}
}  // namespace

void SecureFolderStore::init(const Access& access, const std::string& folderId,
                             const std::string& data, const std::string& hash) {
    if (data.empty() || hash.empty())
        throw ServiceError(kBadRequest, "Missing data or hash");
    store_.locked([&](Database& db) {
        Transaction tx(db);
        FolderRow root = secureRoot(db, access, folderId);
        if (root.verifierHash)
            throw ServiceError(kConflict, "Encryption key is already set");
        db.prepare("UPDATE folders SET verifier_data = ?, verifier_hash = ? WHERE id = ?")
            .bind(1, data)
            .bind(2, hash)
            .bind(3, root.id)
            .run();
        admit(db, access, root.id);
        tx.commit();
    });
}

std::string SecureFolderStore::data(const Access& access, const std::string& folderId) {
    return store_.locked([&](Database& db) {
        FolderRow root = secureRoot(db, access, folderId);
        if (!root.verifierData)
            throw ServiceError(kForbidden, msg::kKeyNotSet);
        return *root.verifierData;
    });
}

void SecureFolderStore::authenticate(const Access& access, const std::string& folderId,
                                     const std::string& hash) {
    store_.locked([&](Database& db) {
        FolderRow root = secureRoot(db, access, folderId);
        if (!root.verifierHash)
            throw ServiceError(kForbidden, msg::kKeyNotSet);
        const std::string& expected = *root.verifierHash;
        if (hash.size() != expected.size() ||
            CRYPTO_memcmp(hash.data(), expected.data(), hash.size()) != 0) {
            throw ServiceError(kForbidden, "Incorrect secure folder password");
        }
        admit(db, access, root.id);
    });
}

}  // namespace bvserver
