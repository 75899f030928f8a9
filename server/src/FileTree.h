#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "MetadataStore.h"
#include "TreeQueries.h"

namespace bvserver {

// Content to remove from the content store after a metadata change: (file id, revision).
using ContentList = std::vector<std::pair<int64_t, int64_t>>;

struct FolderListing {
    FolderRow folder;
    std::string parentId;    // as clients know it ("0" for the root, "" above the root)
    bool encrypted = false;  // the listed folder lies in "Secure Files"
    bool changed = true;     // false: the caller's stamp is current, no entries given
    std::vector<FolderRow> folders;
    std::vector<FileRow> files;
};

struct TrashListing {
    int64_t stamp = 0;
    std::vector<FolderRow> folders;
    std::vector<FileRow> files;
};

// The folder tree of every account: folders and files, names, trash, moves, change stamps
// and the storage figures. Every operation is one transaction; failures throw ServiceError
// and change nothing.
class FileTree {
  public:
    explicit FileTree(MetadataStore& store) : store_(store) {}

    // Lists a live folder. A folder in "Secure Files" needs a verifier and a session that
    // passed its check. lastRequestTime >= the folder's stamp answers changed == false.
    FolderListing list(const Access& access, const std::string& folderId, int64_t lastRequestTime);
    FolderRow folderInfo(const Access& access, const std::string& folderId, bool* encrypted);
    FileRow fileInfo(const Access& access, const std::string& fileId);
    bool isEncrypted(const Access& access, int64_t folderId);

    // Paths relative to the owner's root, without a leading "/".
    std::string folderPath(const Access& access, const std::string& folderId);
    std::string filePath(const Access& access, const std::string& fileId);
    // Live item at a "/"-separated path; throws 404 when there is none.
    std::string folderIdAt(const Access& access, const std::string& path);
    std::string fileIdAt(const Access& access, const std::string& path);

    FolderRow createFolder(const Access& access, const std::string& parentId,
                           const std::string& name, bool* encrypted);
    FolderRow moveFolder(const Access& src, const std::string& folderId, const Access& dst,
                         const std::string& dstFolderId, const std::optional<std::string>& name,
                         bool* encrypted);
    FileRow moveFile(const Access& src, const std::string& fileId, const Access& dst,
                     const std::string& dstFolderId, const std::optional<std::string>& name,
                     bool overwrite, ContentList* removed);

    // Trash, restore and permanent deletion answer the new stamp of the folder concerned.
    int64_t trashFolder(const Access& access, const std::string& folderId);
    int64_t trashFile(const Access& access, const std::string& fileId);
    int64_t restoreFolder(const Access& access, const std::string& folderId);
    FileRow restoreFile(const Access& access, const std::string& fileId);
    int64_t deleteFolder(const Access& access, const std::string& folderId, ContentList* removed);
    int64_t deleteFile(const Access& access, const std::string& fileId, ContentList* removed);
    // The caller's trash, without the items of a secure folder the session did not pass.
    TrashListing listTrash(const Access& access);
    int64_t emptyTrash(int64_t userId, ContentList* removed);

    // Creates an empty file for a new upload (refused when the name is taken or the
    // declared size would exceed the account's storage).
    FileRow createFile(const Access& access, const std::string& folderId, const std::string& name,
                       int64_t size);
    FileRow fileForUpload(const Access& access, const std::string& fileId);
    // Points the file at its new content. Answers the updated row; *oldRev is the
    // revision to remove. Throws when the file is gone or the account would be over its
    // storage maximum.
    FileRow commitContent(int64_t fileId, int64_t size, int64_t modified, int64_t rev,
                          int64_t* oldRev);
    bool isCurrentContent(int64_t fileId, int64_t rev);

    int64_t storageUsed(int64_t userId);
    // The account's storage maximum less what its files hold (negative when over it).
    int64_t storageFree(int64_t userId);

  private:
    MetadataStore& store_;
};

}  // namespace bvserver
