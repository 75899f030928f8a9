#include "Keelhaven/SyncBackupDatabase/FileSystemObjects.h"

#include "platform/Format.h"

FileSystemObjects FileSystemObjects::wrap(std::shared_ptr<BrimvaultFile> file) {
    FileSystemObjects item;
    item.isFolder = false;
    item.itemPath = file->m_path;
    item.itemName = file->m_filename;
    item.modificationDate = file->m_modifiedDate;
    item.itemSize = file->m_size;
    item.itemID = file->m_fileID;
    item.symlinkTarget = file->m_symlinkTarget;
    item.object = std::move(file);
    return item;
}

FileSystemObjects FileSystemObjects::wrap(std::shared_ptr<BrimvaultFolder> folder, int64_t now) {
    FileSystemObjects item;
    item.isFolder = true;
    item.itemPath = folder->m_path;
    item.itemName = folder->m_folderName;
    item.modificationDate = now;
    item.itemID = folder->m_folderID;
    item.object = std::move(folder);
    return item;
}

FileSystemObjects FileSystemObjects::copy() const {
    FileSystemObjects other;
    other.itemPath = itemPath;
    other.itemName = itemName;
    other.itemSize = itemSize;
    other.modificationDate = modificationDate;
    other.isFolder = isFolder;
    other.changeType = changeType;
    other.symlinkTarget = symlinkTarget;
    return other;
}

std::shared_ptr<BrimvaultFile> FileSystemObjects::file() const {
    auto* file = std::get_if<std::shared_ptr<BrimvaultFile>>(&object);
    return file ? *file : nullptr;
}

std::shared_ptr<BrimvaultFolder> FileSystemObjects::folder() const {
    auto* folder = std::get_if<std::shared_ptr<BrimvaultFolder>>(&object);
    return folder ? *folder : nullptr;
}

std::string FileSystemObjects::description() const {
    return bv::format("FileSystemObjects (path=%@, size=%@, moddate=%@)", itemPath, itemSize,
                      modificationDate);
}
