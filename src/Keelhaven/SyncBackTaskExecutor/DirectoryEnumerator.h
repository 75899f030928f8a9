#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Keelhaven/BrimvaultAPIClient/BrimvaultApiClient.h"
#include "Keelhaven/SyncBackupDatabase/FileSystemObjects.h"
#include "platform/Clock.h"

class SyncBackupDatabase;

// Lists one folder level from the service, the local disk or either side's snapshot.
class DirectoryEnumerator {
  public:
    static constexpr int kCloud = 0;
    static constexpr int kLocal = 1;
    static constexpr int kCloudSnapshot = 2;
    static constexpr int kLocalSnapshot = 3;  // and any other type
    // A name ending in this replaces the item of the same name without it.
    static constexpr const char* kSaveAsExtension = ".bvsaveas";
    // Hidden part files of downloads in progress beside their destination; never listed.
    static constexpr const char* kPartPrefix = ".bvkh-part-";

    // api and sessionID serve the service listing only.
    DirectoryEnumerator(int directoryType, BrimvaultApiClient* api = nullptr,
                        std::string sessionID = "",
                        std::shared_ptr<bv::Clock> clock = bv::Clock::system());

    // folder: the wrapper of the folder to list; a service listing refreshes its stamp.
    bool getDirectoryListing(FileSystemObjects& folder, std::vector<FileSystemObjects>* files,
                             std::vector<FileSystemObjects>* folders, SyncBackupDatabase* db,
                             std::string* error);
    bool getDirectoryListingFromLocal(const FileSystemObjects& folder,
                                      std::vector<FileSystemObjects>* files,
                                      std::vector<FileSystemObjects>* folders, std::string* error);
    bool getDirectoryListingFromCloud(FileSystemObjects& folder,
                                      std::vector<FileSystemObjects>* files,
                                      std::vector<FileSystemObjects>* folders, std::string* error);

    static FileSystemObjects convertFileToFileSystemObject(std::shared_ptr<BrimvaultFile> file);
    static FileSystemObjects convertFolderToFileSystemObject(
        std::shared_ptr<BrimvaultFolder> folder, int64_t now = 0);

    // What the last service listing left out of the service's answer.
    const BrimvaultApiClient::LeftOut& leftOut() const { return leftOut_; }

    int m_directoryType;

  private:
    BrimvaultApiClient::LeftOut leftOut_;
    BrimvaultApiClient* api_;
    std::string sessionID_;
    std::shared_ptr<bv::Clock> clock_;
};
