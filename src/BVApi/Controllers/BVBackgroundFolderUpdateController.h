#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/OperationQueue.h"

class BVCacheController;
class BVContentController;
class BVFolderListItem;
class BVTmpController;
class BVUserSessionItem;

// Keeps the cached listings of the folders someone looks at fresh without making anyone
// wait, and owns the per-folder locks that keep a refresh, a download, an upload and a
// purge from working on the same folder at once.
//
// Folders arrive with each directory read (updateFolderListing) and from the file-browser
// extension's clients (beginObserving), whose folders a thread of the controller revisits
// every 5 seconds. An update re-reads a folder on the controller's queue once its listing is
// older than 35 seconds (an incremental update), or 270 seconds for the root, the trash, the
// "Shared Folders" folder and each sharing user's folder (a full re-listing).
//
// The controller owns its revisit thread and its queue: the destructor stops the thread
// (flag, wake, join), drops waiting updates and waits for the running ones.
class BVBackgroundFolderUpdateController {
  public:
    static constexpr double kRevisitInterval = 5;
    static constexpr double kFullUpdateAge = 270;
    static constexpr double kIncrementalUpdateAge = 35;
    static constexpr double kLockWaitLimit = 10;
    static constexpr const char* kErrorTitle = "Error during background folder update";

    // Collaborators; each unset one is the process-wide one.
    struct Options {
        std::shared_ptr<bv::Clock> clock;
        BVContentController* content = nullptr;
        std::shared_ptr<BVCacheController> cache;  // looked up at every use when unset
        std::shared_ptr<BVTmpController> tmp;      // looked up at every use when unset
        // The diagnostics switches "bfu_enabled", "bfu_findersyncobserver", "bfu_folderenter".
        std::function<bool(const std::string&)> debugParam;
        std::function<std::shared_ptr<BVUserSessionItem>()> currentUserSession;
        // Tells the file browser that the folder at a volume path changed.
        std::function<void(const std::string&)> folderChanged;
        std::function<void(const bv::Error&, const std::string&)> presentError;
        // Concurrency of the update queue; below 1, the platform's default.
        int maxConcurrentUpdates = 0;
        // False leaves the revisit to explicit revisitObservedDirectories() calls.
        bool startRevisitThread = true;
    };

    // The process's controller, made (and its thread started) on first use.
    static BVBackgroundFolderUpdateController* sharedController();
    // The process's controller when one was made, else null (making none).
    static BVBackgroundFolderUpdateController* existingSharedController();

    BVBackgroundFolderUpdateController();
    explicit BVBackgroundFolderUpdateController(Options options);
    ~BVBackgroundFolderUpdateController();
    BVBackgroundFolderUpdateController(const BVBackgroundFolderUpdateController&) = delete;
    BVBackgroundFolderUpdateController& operator=(const BVBackgroundFolderUpdateController&) =
        delete;

    // ---- Observed folders (client key: the text form of the client's port) ----
    // Adds the path to the client's list, once.
    void beginObserving(const std::string& path, const std::string& port);
    void endObserving(const std::string& path, const std::string& port);
    // Forgets a client that died, with its list.
    void clientPortInvalidated(const std::string& port);
    // A copy of the lists.
    std::map<std::string, std::vector<std::string>> observedDirectories() const;
    // One pass of the revisit loop: queues an update of each observed folder (once per pass
    // however many clients show it) whose listing is cached and old enough; a folder with no
    // cached listing leaves the lists.
    void revisitObservedDirectories();

    // ---- Updates ----
    // Called with the listing after each directory read.
    void updateFolderListing(const std::shared_ptr<BVFolderListItem>& listing);
    // Decides whether the listing is due and queues its update.
    void queueUpdate(const std::shared_ptr<BVFolderListItem>& listing);
    // Stops starting updates and drops the waiting ones.
    void cancelOperations();
    // Waits until no update waits or runs.
    void waitUntilUpdatesFinish();
    // Ends the revisit thread, drops the waiting updates and waits for the running ones; no
    // update starts afterwards. The destructor does the same.
    void stop();
    bool isStopped() const;

    // ---- Folder locks: binary flags that any thread may release ----
    // Never waits.
    bool tryLockFor(const std::string& path);
    // Waits up to 10 seconds (by the controller's clock).
    bool waitForLockFor(const std::string& path);
    void unlockFor(const std::string& path);

  private:
    class FolderLock;

    void observedDirectoriesUpdateThread();
    // Sleeps kRevisitInterval by the clock; false once the controller stops.
    bool sleepUntilNextPass();
    std::shared_ptr<FolderLock> lockFor(const std::string& standardizedPath);
    void runUpdate(const std::string& path, const std::shared_ptr<BVFolderListItem>& listing,
                   double age, bool full);
    void runIncrementalUpdate(const std::string& path,
                              const std::shared_ptr<BVFolderListItem>& listing);
    // Tells the volume-change hook what differs between two listings of the folder.
    void reportChanges(const std::string& path, const BVFolderListItem* before,
                       const BVFolderListItem& after) const;
    void removeVanishedLocalFolders(const std::string& path, const BVFolderListItem& before);
    bool isAccountUserExcluded(const BVFolderListItem& listing) const;

    bool debugParam(const std::string& name) const;
    BVContentController& content() const;
    std::shared_ptr<BVCacheController> cache() const;
    std::shared_ptr<BVTmpController> tmp() const;
    void folderChanged(const std::string& path) const;
    void presentError(const bv::Error& error) const;

    const Options options_;
    const std::shared_ptr<bv::Clock> clock_;

    mutable std::mutex observedLock_;  // guards observed_
    std::map<std::string, std::vector<std::string>> observed_;

    std::mutex locksLock_;  // guards locks_ (the controller's own lock)
    std::map<std::string, std::shared_ptr<FolderLock>> locks_;

    mutable std::mutex stopLock_;  // guards stopping_, and queue_'s additions against stop()
    std::condition_variable stopChanged_;
    bool stopping_ = false;

    // Declared last: destroyed first, so no update outlives the members it uses.
    bv::OperationQueue queue_;
    std::mutex revisitThreadLock_;  // guards revisitThread_ (stop() and the destructor may race)
    std::thread revisitThread_;
};
