#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Sqlite.h"

namespace bvserver {

struct FolderRow {
    int64_t id = 0;
    int64_t owner = 0;
    int64_t parent = 0;  // 0 for an account's root
    std::string name;
    int64_t created = 0, modified = 0, stamp = 0;
    bool trashed = false;
    bool secureRoot = false;
    std::optional<std::string> verifierData, verifierHash;
    std::string description;
};

struct FileRow {
    int64_t id = 0;
    int64_t owner = 0;
    int64_t folder = 0;
    std::string name;
    int64_t size = 0, created = 0, modified = 0;
    bool trashed = false;
    int64_t rev = 0;  // 0: no content stored (empty file)
};

// Who acts and on whose tree: the signed-in user on their own drive, or on the folders that
// another user shares with them (then every item must lie inside one of those folders, and
// the shares that cover the folder acted on decide whether it may be changed).
struct Access {
    int64_t actor = 0;
    int64_t owner = 0;
    bool shared = false;
    std::string sessionId;
};

// What `Access` may do in one folder.
struct Reach {
    bool reachable = false;
    bool writable = false;
};

// How an operation uses a folder. It decides which folder must be writable and must have
// passed the secure-folder check: the folder itself when the operation works inside it,
// its parent when it changes the folder as an entry of that parent.
enum class FolderUse {
    Bare,            // the folder as such: its secure-folder verifier, its shares
    Entry,           // information on the folder: info, path
    ChangeEntry,     // move, rename, trash, restore or delete the folder
    Contents,        // list the folder
    ChangeContents,  // create in the folder or move into it
};

// Row-level queries shared by the tree, sharing and secure-folder stores. Every function
// expects the metadata lock held by the caller.
namespace tree {

std::optional<FolderRow> folder(Database& db, int64_t id);
std::optional<FileRow> file(Database& db, int64_t id);
std::vector<FolderRow> childFolders(Database& db, int64_t parent, bool trashed);
std::vector<FileRow> childFiles(Database& db, int64_t parent, bool trashed);

// False when the folder or one of its ancestors is in the trash.
bool folderLive(Database& db, int64_t id);
// The "Secure Files" folder at or above `id`, when there is one.
std::optional<int64_t> secureRootOf(Database& db, int64_t id);
// Whether `access` may reach and change the folder: always on one's own drive; in a sharing
// context only inside a folder that the owner shares with the actor, writable when one of
// the shares that cover it is.
Reach reach(Database& db, const Access& access, int64_t folderId);
// Throws the secure-folder refusals unless the folder lies outside "Secure Files" or the
// session passed that secure folder's check.
void requireSecureAdmission(Database& db, const Access& access, int64_t folderId);
// The same as an answer: whether the session may see what the folder holds.
bool secureAdmitted(Database& db, const Access& access, int64_t folderId);

// The identifier given to clients: "0" for the root, else the row id.
std::string folderIdText(const FolderRow& row);

// Resolves a folder identifier given by a client for `use` (throws ServiceError: 404 unknown
// or out of reach, 403 a change through a read-only share or a secure-folder refusal).
FolderRow resolveFolder(Database& db, const Access& access, const std::string& idText,
                        FolderUse use);
// The same for a file, whose folder is the one that must be writable (forWrite) and
// admitted.
FileRow resolveFile(Database& db, const Access& access, const std::string& idText, bool forWrite);

enum class Taken { None, File, Folder };
// Whether a live item with the same name key sits in `parent` (ignoring the two given ids).
Taken nameTaken(Database& db, int64_t parent, const std::string& key, int64_t exceptFile = 0,
                int64_t exceptFolder = 0);

// Raises the folder's change stamp (and modification date); answers the new stamp.
int64_t bump(Database& db, int64_t folderId);
int64_t bumpTrash(Database& db, int64_t ownerId);
// The bytes of every file the owner holds, trashed ones included (a running total).
int64_t storageUsed(Database& db, int64_t ownerId);

// Deletes the folder, everything below it that is not in the trash on its own, and the
// shares on them. Answers the files
// whose stored content (id, rev) must be removed once the transaction is committed.
std::vector<std::pair<int64_t, int64_t>> deleteFolderTree(Database& db, int64_t folderId);

int64_t parseId(const std::string& text);  // -1 when not a positive decimal id

}  // namespace tree
}  // namespace bvserver
