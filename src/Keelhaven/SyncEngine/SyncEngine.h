#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Keelhaven/BrimvaultAPIClient/BrimvaultApiClient.h"
#include "Keelhaven/SyncBackTaskExecutor/SyncBackupFilter.h"
#include "Keelhaven/SyncBackTaskExecutor/SyncRunEnvironment.h"
#include "Keelhaven/SyncBackupTask/SyncBackupTaskParts.h"
#include "Keelhaven/SyncEngine/LocalTree.h"
#include "Keelhaven/SyncEngine/SyncBackupActionItem.h"
#include "platform/OperationQueue.h"

class SyncBackupDatabase;
class SyncBackupTask;

// One run over one pair of folders, one level at a time: both sides are listed and compared
// with the snapshot, the changes become actions performed on the task's workers, the
// snapshot is updated, then every subfolder pair gets an engine of its own. A level starts
// only once its parent level's actions are done (so its folders exist on both sides and are
// in the snapshot); sibling levels run side by side, and the top level's engine returns when
// every level below it has ended.
class SyncEngine : public SyncBackupEngine {
  public:
    static constexpr double kPausePollSeconds = 0.5;
    static constexpr int kDefaultWorkers = 4;
    static constexpr int kCreateBusyAttempts = 5;
    static constexpr double kBusyDelay = 10;
    static constexpr int kBusyInARow = 5;
    static constexpr double kRetryDelay = 900;
    static constexpr int kRetriesWithoutLimit = 6;
    static constexpr int kRetriesWithLimit = 4;
    static constexpr int64_t kChunkSize = 20 * 1024 * 1024;
    static constexpr int64_t kLimitedChunkSize = 5 * 1024 * 1024;
    static constexpr int kCloseBusyAttempts = 15;
    static constexpr double kCloseBusyDelay = 15;
    static constexpr const char* kSecureFolder = "/Secure Files";
    // The task record's switch that lets a downloaded link point outside the local root.
    static constexpr const char* kAllowOutsideLinksKey = "AllowLinksOutsideRoot";

    SyncEngine(SyncBackupTask& task, SyncRunEnvironment environment, std::string localRoot = "");
    // What the levels of one run share. The top level's engine makes it and owns both
    // queues; it stops them (levels first, then actions) only after every level has ended.
    struct RunShared {
        // The action workers: their threads keep their connections to the service from one
        // level to the next.
        std::shared_ptr<bv::OperationQueue> actions;
        // Subfolder levels waiting for or running on a worker.
        bv::OperationQueue* levels = nullptr;
        std::mutex pendingLock;  // guards pending and the making of actions
        std::condition_variable levelsDone;
        int pending = 0;
    };

    // A subfolder level's engine, run on the run's level workers.
    SyncEngine(SyncBackupTask& task, SyncRunEnvironment environment, std::string localRoot,
               std::shared_ptr<RunShared> run);

    bool startEngineWithFromFolder(const FileSystemObjects& fromFolder,
                                   const FileSystemObjects& toFolder, bool isCloudFolder,
                                   std::vector<FileSystemObjects>* taskFilesOut,
                                   double progressFactor) override;

    int32_t errorCount() const { return m_errorCount.load(); }

  private:
    struct Listing {
        std::vector<FileSystemObjects> files;
        std::vector<FileSystemObjects> folders;
        // Items of the side left out as unsafe or ambiguous. The level then keeps its old
        // change stamp, so that the next run looks at them again.
        size_t refused = 0;
    };

    bool getChanges(FileSystemObjects& folder, bool isCloud, Listing* live,
                    std::vector<FileSystemObjects>* changes, std::string* error);
    // Leaves out what cannot be written safely to the local disk, with a record and an error
    // each; leftOut: what the service's listing held that never became an item.
    void refuseHostileNames(Listing& listing, const BrimvaultApiClient::LeftOut& leftOut);
    void refuseCaseTwins(Listing& listing);
    void applyChanges(std::vector<SyncBackupActionItem>& actions);
    // Hands the subfolder pairs to the level workers; the top level also waits for them.
    void descend(std::vector<FileSystemObjects> fromSubfolders,
                 std::vector<FileSystemObjects> toSubfolders, bool isCloudFolder,
                 std::vector<FileSystemObjects>* taskFilesOut, double factor);
    void apply(SyncBackupActionItem& action);
    bool createDbRecord(const FileSystemObjects& item);
    bool deleteLocalItem(const FileSystemObjects& item);
    bool deleteCloudItem(const FileSystemObjects& item);
    bool createLocalItem(const SyncBackupActionItem& action);
    bool createCloudItem(const SyncBackupActionItem& action);
    bool createLocalFolder(const FileSystemObjects& item);
    bool createLocalFile(const SyncBackupActionItem& action);
    bool createCloudFolder(const FileSystemObjects& item);
    bool createCloudFile(const SyncBackupActionItem& action);
    bool uploadAFile(const FileSystemObjects& item, std::string* newID, std::string* error);
    bool sendChunks(const FileSystemObjects& item, const std::string& fileID,
                    const std::string& tempLocation, int64_t* sentBytes, uint64_t* streamBytes,
                    std::string* error);
    // Writes both snapshot rows of an item from one record.
    void recordFile(const FileSystemObjects& item, const std::string& id);
    void recordFolder(const FileSystemObjects& item, const std::string& id);
    void removeFromDBItem(const FileSystemObjects& item);
    // Drops the snapshot rows of this level's file of that name (as written: the case of a
    // name counts) and commits at once.
    bool forgetFile(const std::string& name);
    void countError();
    int workerCount() const;
    void log(const std::string& line) const;
    bool stopped() const;
    void waitWhilePaused() const;
    void sleepFor(double seconds) const;
    bool isSecure() const;
    std::string localChild(const std::string& name) const;
    std::string cloudChild(const std::string& name) const;
    std::string session() const;
    std::string cloudFolderID() const;

    SyncBackupTask& m_task;
    SyncRunEnvironment environment_;
    std::shared_ptr<SyncBackupDatabase> db_;
    SyncBackupFilter filter_;
    std::string localRoot_;
    std::unique_ptr<LocalTree> tree_;
    // Made by the top level and handed down (see RunShared).
    std::shared_ptr<RunShared> run_;

    FileSystemObjects _FromFolder;
    FileSystemObjects _ToFolder;
    std::string m_fromFolder;
    std::string m_toFolder;
    std::string localPath_;
    std::string cloudPath_;
    bool m_isFromCloudFolder = false;
    bool m_isSync = false;
    std::string m_accessDirID;
    // Ids of the files in this level's cloud listing, by name: a file that is already there
    // is opened by its id instead of listing the folder again to find it. Written before the
    // level's actions start and only read by them.
    std::map<std::string, std::string> cloudFileIDs_;
    double progressFactor = 100;
    double oneItemProgress = 0;
    std::atomic<int32_t> m_errorCount{0};
    std::mutex engineLock_;  // guards m_errorCount's updates together with the task's count
};

// The program's engines: a new one for every run.
std::unique_ptr<SyncBackupEngine> makeSyncEngine(SyncBackupTask& task,
                                                 const SyncRunEnvironment& environment);
