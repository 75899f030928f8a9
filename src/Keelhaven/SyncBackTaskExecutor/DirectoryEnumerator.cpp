#include "Keelhaven/SyncBackTaskExecutor/DirectoryEnumerator.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Keelhaven/BrimvaultAPIClient/BrimvaultApiClient.h"
#include "Keelhaven/SyncBackupDatabase/SyncBackupDatabase.h"
#include "app/Logging/BVLogging.h"

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string parentIdOf(const FileSystemObjects& folder) {
    if (auto record = folder.folder())
        return record->m_folderID;
    return folder.itemID;
}

}  // namespace

DirectoryEnumerator::DirectoryEnumerator(int directoryType, BrimvaultApiClient* api,
                                         std::string sessionID, std::shared_ptr<bv::Clock> clock)
    : m_directoryType(directoryType),
      api_(api),
      sessionID_(std::move(sessionID)),
      clock_(std::move(clock)) {}

FileSystemObjects DirectoryEnumerator::convertFileToFileSystemObject(
    std::shared_ptr<BrimvaultFile> file) {
    return FileSystemObjects::wrap(std::move(file));
}

FileSystemObjects DirectoryEnumerator::convertFolderToFileSystemObject(
    std::shared_ptr<BrimvaultFolder> folder, int64_t now) {
    return FileSystemObjects::wrap(std::move(folder), now);
}

bool DirectoryEnumerator::getDirectoryListing(FileSystemObjects& folder,
                                              std::vector<FileSystemObjects>* files,
                                              std::vector<FileSystemObjects>* folders,
                                              SyncBackupDatabase* db, std::string* error) {
    switch (m_directoryType) {
        case kCloud:
            return getDirectoryListingFromCloud(folder, files, folders, error);
        case kLocal:
            return getDirectoryListingFromLocal(folder, files, folders, error);
        default:
            break;
    }
    if (!db || !db->isOpen()) {
        if (error)
            *error = "The task database is not open.";
        return false;
    }
    bool local = m_directoryType != kCloudSnapshot;
    std::string id = parentIdOf(folder);
    if (files)
        *files = db->getFileObjectsForDirectory(id, local);
    if (folders)
        *folders = db->getFolderbjectsForDirectory(id, local);
    return true;
}

bool DirectoryEnumerator::getDirectoryListingFromLocal(const FileSystemObjects& folder,
                                                       std::vector<FileSystemObjects>* files,
                                                       std::vector<FileSystemObjects>* folders,
                                                       std::string* error) {
    const std::string& path = folder.itemPath;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        if (error)
            *error = std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != ".." && name.rfind(kPartPrefix, 0) != 0)
            names.push_back(std::move(name));
    }
    int dirFd = ::dirfd(dir);
    std::string parentId = parentIdOf(folder);
    int64_t now = static_cast<int64_t>(clock_->now());
    for (const auto& name : names) {
        std::string full = BrimvaultApiClient::childPath(path, name);
        if (endsWith(name, kSaveAsExtension)) {
            // A save of the drive's "Save As" flow: it takes the place of the original.
            std::string original = name.substr(0, name.size() - std::strlen(kSaveAsExtension));
            if (!original.empty()) {
                ::unlinkat(dirFd, original.c_str(), 0);
                ::renameat(dirFd, name.c_str(), dirFd, original.c_str());
            }
            continue;
        }
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            auto record = std::make_shared<BrimvaultFolder>();
            record->m_folderName = name;
            record->m_path = full;
            record->m_isLocal = true;
            record->m_parentFolderId = parentId;
            if (folders)
                folders->push_back(convertFolderToFileSystemObject(record, now));
            continue;
        }
        auto record = std::make_shared<BrimvaultFile>();
        record->m_filename = name;
        record->m_path = full;
        record->m_localFile = true;
        record->m_modifiedDate = st.st_mtim.tv_sec;
        record->m_parentFolderId = parentId;
        if (S_ISLNK(st.st_mode)) {
            BVLog("Symbolic link file %@ is not ignored", full);
            char target[4096];
            ssize_t length = ::readlinkat(dirFd, name.c_str(), target, sizeof target);
            if (length > 0) {
                record->m_symlinkTarget.assign(target, static_cast<size_t>(length));
                record->m_size = length;
            }
        } else {
            record->m_size = st.st_size;
        }
        if (files)
            files->push_back(convertFileToFileSystemObject(record));
    }
    ::closedir(dir);
    return true;
}

bool DirectoryEnumerator::getDirectoryListingFromCloud(FileSystemObjects& folder,
                                                       std::vector<FileSystemObjects>* files,
                                                       std::vector<FileSystemObjects>* folders,
                                                       std::string* error) {
    auto record = folder.folder();
    if (!api_ || !record) {
        if (error)
            *error = "No service folder to list.";
        return false;
    }
    int64_t stamp = record->m_lastupdate;
    std::vector<BrimvaultFile> fileRecords;
    std::vector<BrimvaultFolder> folderRecords;
    leftOut_ = {};
    if (!api_->doDirListing(record->m_folderID, folder.itemPath, &stamp, &fileRecords,
                            &folderRecords, sessionID_, record->m_accessDirId, error, &leftOut_))
        return false;
    if (stamp != record->m_lastupdate)
        record->m_lastupdate = stamp;
    for (auto& file : fileRecords) {
        file.m_localFile = false;
        file.m_accessDirId = record->m_accessDirId;
        if (files)
            files->push_back(convertFileToFileSystemObject(std::make_shared<BrimvaultFile>(file)));
    }
    for (auto& child : folderRecords) {
        child.m_isLocal = false;
        child.m_accessDirId = record->m_accessDirId;
        if (folders)
            folders->push_back(
                convertFolderToFileSystemObject(std::make_shared<BrimvaultFolder>(child), 0));
    }
    return true;
}
