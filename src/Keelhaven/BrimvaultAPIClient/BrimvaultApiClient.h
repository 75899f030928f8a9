#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "Keelhaven/SyncBackupDatabase/BrimvaultFile.h"
#include "Keelhaven/SyncBackupDatabase/BrimvaultFolder.h"
#include "platform/Clock.h"
#include "platform/Data.h"

// What a transfer tells its caller while it runs, and how the caller stops or holds it.
class BrimvaultTransferDelegate {
  public:
    virtual ~BrimvaultTransferDelegate() = default;
    virtual void downloaded(int64_t bytesRecv, int64_t totalSize) = 0;
    virtual void uploaded(int64_t bytesSent, int64_t totalSize) = 0;
    virtual bool isRequestCancelled() const = 0;
    virtual bool isRequestPaused() const = 0;
};

// Keelhaven's facade over the service client: every call reuses the drive application's
// session, answers Keelhaven's flat records and hands failures back as reason texts, which
// the engine compares with the fixed texts below. Calls are synchronous on the caller's
// thread and safe from several workers at once.
class BrimvaultApiClient {
  public:
    static constexpr const char* kNoSuchItem = "No such file/folder exists.";
    static constexpr const char* kFileIsSymlink = "File is a symlink";
    static constexpr const char* kSymlinkNotCreated = "Symlink has not been created.";
    static constexpr const char* kBytesWrittenMismatch = "Bytes written doesn't match expected";
    static constexpr const char* kRequestCancelled = "The request was cancelled";
    static constexpr const char* kFolderBusy = "Folder is busy";
    static constexpr const char* kFileExists = "File with such a name already exists.";
    static constexpr const char* kParentTrashed = "Parent folder is trashed";
    static constexpr const char* kItemExists = "File or folder with such name already exists";
    static constexpr const char* kIncorrectOffset = "Incorrect chunk offset";
    // A symbolic link stored as file content starts with these bytes, then its target.
    static constexpr const char* kSymlinkMarker = "HiKZ188KSR2E";
    static constexpr size_t kSymlinkMarkerLength = 12;
    static constexpr int kRetries = 10;
    // A failed close is checked against the parent's listing this many times, a second apart.
    static constexpr int kCloseChecks = 61;
    static constexpr double kCloseCheckDelay = 1;

    // What a listing of the service left out: entries whose names no local folder may hold
    // or whose identifiers no entry may carry, and entries that could not be read at all.
    struct LeftOut {
        size_t entries = 0;
        std::vector<std::string> names;  // as sent, of the entries that had one
    };

    struct CreatedFile {
        std::string tempLocation;
        std::string compression = "No";  // "Yes" when the service wants compressed chunks
        std::string versioning = "No";
        std::string fileID;
        std::string fileTime;  // "%f" of the service's modification time
    };

    // client: the shared service client when null. configuration: where requests of this
    // facade go (also set on the client); the default configuration when absent.
    explicit BrimvaultApiClient(BVApiClient* client = nullptr,
                                std::optional<BVApiRequestConfiguration> configuration = {},
                                std::shared_ptr<bv::Clock> clock = bv::Clock::system());

    static BrimvaultApiClient* getInstance();

    // "Files" and "Dirs" of a folder; lastUpdateTime receives the listing's change stamp and
    // leftOut what the listing does not hold of the service's answer.
    bool doDirListing(const std::string& folderID, const std::string& folderPath,
                      int64_t* lastUpdateTime, std::vector<BrimvaultFile>* files,
                      std::vector<BrimvaultFolder>* folders, const std::string& sessionID,
                      const std::string& accessDirID, std::string* reason,
                      LeftOut* leftOut = nullptr);
    // The first folder, else the first file, of that name (trimmed) under parentDirID.
    bool doGetItemByName(const std::string& name, std::string* itemID, const std::string& sessionID,
                         const std::string& parentDirID, bool* isFolder,
                         const std::string& accessDirID, std::string* reason);
    std::optional<BrimvaultFile> doGetFileByName(const std::string& name,
                                                 const std::string& sessionID,
                                                 const std::string& parentDirID,
                                                 const std::string& accessDirID,
                                                 std::string* reason);
    std::optional<BrimvaultFolder> doCreateDirectory(
        const std::string& parentID, const std::string& parentPath, const std::string& name,
        const std::string& sessionID, const std::string& accessDirID, std::string* reason);
    // The folder goes to the service's trash, so that a run never destroys what it removes.
    bool doDeleteAFolder(const std::string& folderID, const std::string& path,
                         const std::string& sessionID, const std::string& accessDirID,
                         std::string* reason);
    // The file goes to the service's trash.
    bool doDeleteAFile(const std::string& fileID, const std::string& path,
                       const std::string& sessionID, const std::string& accessDirID,
                       std::string* reason);
    std::optional<CreatedFile> doCreateFile(const std::string& parentID, const std::string& name,
                                            int64_t size, const std::string& sessionID,
                                            const std::string& accessDirID, std::string* reason);
    // A new upload of an existing file; answers the temporary location.
    std::optional<std::string> doOpenFileForUpload(const std::string& fileID,
                                                   const std::string& sessionID,
                                                   const std::string& accessDirID,
                                                   std::string* reason);
    // The chunk's bytes are lent to the request, not copied, and are back in chunk when the
    // call returns (so a caller can send them again).
    bool doFileUpload(bv::Data& chunk, const std::string& fileID, uint64_t chunkOffset,
                      const std::string& tempLocation, const std::string& sessionID,
                      const std::string& accessDirID, bool incorrectRequest,
                      BrimvaultTransferDelegate* delegate, std::string* reason);
    bool doFileUpload(bv::Data&& chunk, const std::string& fileID, uint64_t chunkOffset,
                      const std::string& tempLocation, const std::string& sessionID,
                      const std::string& accessDirID, bool incorrectRequest,
                      BrimvaultTransferDelegate* delegate, std::string* reason) {
        return doFileUpload(chunk, fileID, chunkOffset, tempLocation, sessionID, accessDirID,
                            incorrectRequest, delegate, reason);
    }
    // On a failed close, waits for the parent to list the file with that size and time.
    std::optional<BrimvaultFile> doCloseFileForUpload(
        const std::string& fileID, const std::string& name, int64_t fileSize,
        const std::string& tempLocation, const std::string& sessionID, int64_t fileModDate,
        const std::string& parentFolderID, bool compression, const std::string& accessDirID,
        std::string* reason);
    // Writes the file to localPath and gives it the service's modification time. With
    // isSymbolicLink, makes localPath a link to *linkTarget instead. Content that begins
    // with the link marker ends the call with kFileIsSymlink and the target in *linkTarget.
    bool doDownloadFile(const std::string& localPath, const std::string& fileID,
                        bool isSymbolicLink, std::string* linkTarget, const std::string& sessionID,
                        int64_t fileModified, const std::string& accessDirID,
                        BrimvaultTransferDelegate* delegate, std::string* reason);
    std::optional<std::string> getEncryptedDirectoryPassword(const std::string& folderID,
                                                             const std::string& sessionID,
                                                             std::string* reason);
    bool openEncryptedDirectory(const std::string& folderID, const std::string& encodedHash,
                                const std::string& sessionID, std::string* reason);
    // status: 0 succeeded, 1 failed, 2 stopped.
    bool sendSyncStatistics(int status, const std::string& taskName, int64_t completedItems,
                            int64_t failedItems, const std::string& taskSource,
                            const std::string& taskDestination, const std::string& emails,
                            const std::string& sessionID, std::string* reason);

    // The reason text of an error: its failure reason, else its description.
    static std::string reasonOf(const bv::Error& error);
    // text without leading and trailing blanks and line ends, as names are looked up.
    static std::string trimmed(const std::string& text);
    // folderPath + "/" + name, without doubling a trailing "/".
    static std::string childPath(const std::string& folderPath, const std::string& name);

  private:
    std::shared_ptr<BVApiClientAuthContext> contextWith(const std::string& sessionID) const;
    BVApiClient::RequestRef makeRequest(const std::string& method, const std::string& endpoint,
                                        const BVApiRequest::Arguments& arguments,
                                        const nlohmann::json& parameters) const;
    bool waitFileUploaded(const std::string& name, const std::string& parentFolderID,
                          const std::string& sessionID, const std::string& accessDirID,
                          int64_t fileSize, int64_t modificationDate);

    BVApiClient* client_;
    BVApiRequestConfiguration configuration_;
    std::shared_ptr<bv::Clock> clock_;
};
