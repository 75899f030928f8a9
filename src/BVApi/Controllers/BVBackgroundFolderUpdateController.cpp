#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVVolumeChangeHook.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <set>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "app/Logging/BVDebugOptions.h"
#include "app/Logging/BVLogging.h"
#include "app/Utilities.h"
#include "platform/RunLoop.h"

// A binary semaphore: taken or free, released by whichever thread finishes the work (a
// download takes its folder's lock on a file-system thread and releases it from the network
// callback), so not a mutex.
class BVBackgroundFolderUpdateController::FolderLock {
  public:
    bool tryAcquire() {
        std::lock_guard lock(flagLock_);
        if (taken_)
            return false;
        taken_ = true;
        return true;
    }
    void release() {
        std::lock_guard lock(flagLock_);
        taken_ = false;
    }

  private:
    std::mutex flagLock_;  // guards taken_
    bool taken_ = false;
};

namespace {

// Releases a folder lock at the end of an update, however it ends.
class UnlockOnExit {
  public:
    UnlockOnExit(BVBackgroundFolderUpdateController& owner, std::string path)
        : owner_(owner), path_(std::move(path)) {}
    ~UnlockOnExit() { owner_.unlockFor(path_); }
    UnlockOnExit(const UnlockOnExit&) = delete;
    UnlockOnExit& operator=(const UnlockOnExit&) = delete;

  private:
    BVBackgroundFolderUpdateController& owner_;
    std::string path_;
};

bool isStub(const BVFolderListItem& listing) {
    return listing.isKindOf(BVStubFolderListItem::itemClass());
}

std::string printfSeconds(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", seconds);
    return text;
}

}  // namespace

namespace {
std::atomic<BVBackgroundFolderUpdateController*> sharedMade{nullptr};
}  // namespace

BVBackgroundFolderUpdateController* BVBackgroundFolderUpdateController::sharedController() {
    // Never destroyed: exit must not pull it from under a thread; BVSharedControllers stops it.
    static auto* controller = [] {
        auto* made = new BVBackgroundFolderUpdateController;
        sharedMade.store(made);
        return made;
    }();
    return controller;
}

BVBackgroundFolderUpdateController* BVBackgroundFolderUpdateController::existingSharedController() {
    return sharedMade.load();
}

BVBackgroundFolderUpdateController::BVBackgroundFolderUpdateController()
    : BVBackgroundFolderUpdateController(Options{}) {}

BVBackgroundFolderUpdateController::BVBackgroundFolderUpdateController(Options options)
    : options_(std::move(options)),
      clock_(options_.clock ? options_.clock : bv::Clock::system()),
      queue_("BVBackgroundFolderUpdateController", options_.maxConcurrentUpdates) {
    if (options_.startRevisitThread)
        revisitThread_ = std::thread([this] { observedDirectoriesUpdateThread(); });
}

BVBackgroundFolderUpdateController::~BVBackgroundFolderUpdateController() {
    stop();
}

void BVBackgroundFolderUpdateController::stop() {
    {
        std::lock_guard lock(stopLock_);
        stopping_ = true;
    }
    stopChanged_.notify_all();
    // Only the first caller joins; a second one (the destructor after an explicit stop)
    // finds the thread gone.
    std::thread revisit;
    {
        std::lock_guard lock(revisitThreadLock_);
        revisit = std::move(revisitThread_);
    }
    if (revisit.joinable())
        revisit.join();
    cancelOperations();
    waitUntilUpdatesFinish();
}

bool BVBackgroundFolderUpdateController::isStopped() const {
    std::lock_guard lock(stopLock_);
    return stopping_;
}

// MARK: collaborators

bool BVBackgroundFolderUpdateController::debugParam(const std::string& name) const {
    return options_.debugParam ? options_.debugParam(name) : BVDebugOptions::checkDebugParam(name);
}

BVContentController& BVBackgroundFolderUpdateController::content() const {
    return options_.content ? *options_.content : *BVContentController::sharedController();
}

std::shared_ptr<BVCacheController> BVBackgroundFolderUpdateController::cache() const {
    return options_.cache ? options_.cache : BVCacheController::sharedController();
}

std::shared_ptr<BVTmpController> BVBackgroundFolderUpdateController::tmp() const {
    return options_.tmp ? options_.tmp : BVTmpController::sharedController();
}

void BVBackgroundFolderUpdateController::folderChanged(const std::string& path) const {
    if (options_.folderChanged)
        options_.folderChanged(path);
    else
        Utilities::fireFinderSyncEventAtRelativePath(path);
}

void BVBackgroundFolderUpdateController::presentError(const bv::Error& error) const {
    // A password prompt the user cancelled fails without a reason; there is nothing to show.
    if (!error)
        return;
    if (options_.presentError)
        options_.presentError(error, kErrorTitle);
    else
        Utilities::presentError(error, kErrorTitle);
}

// MARK: observed folders

void BVBackgroundFolderUpdateController::beginObserving(const std::string& path,
                                                        const std::string& port) {
    std::lock_guard lock(observedLock_);
    auto& paths = observed_[port];
    if (std::find(paths.begin(), paths.end(), path) == paths.end())
        paths.push_back(path);
}

void BVBackgroundFolderUpdateController::endObserving(const std::string& path,
                                                      const std::string& port) {
    std::lock_guard lock(observedLock_);
    auto it = observed_.find(port);
    if (it == observed_.end())
        return;
    std::erase(it->second, path);
}

void BVBackgroundFolderUpdateController::clientPortInvalidated(const std::string& port) {
    std::lock_guard lock(observedLock_);
    observed_.erase(port);
}

std::map<std::string, std::vector<std::string>>
BVBackgroundFolderUpdateController::observedDirectories() const {
    std::lock_guard lock(observedLock_);
    return observed_;
}

void BVBackgroundFolderUpdateController::revisitObservedDirectories() {
    auto cache = this->cache();
    std::set<std::string> visited;
    for (const auto& [port, paths] : observedDirectories()) {
        for (const auto& path : paths) {
            if (!visited.insert(path).second)
                continue;
            auto listing = cache ? cache->fetchFolderListAt(path) : nullptr;
            if (listing) {
                if (!isStub(*listing))
                    queueUpdate(listing);
                continue;
            }
            std::lock_guard lock(observedLock_);
            if (auto it = observed_.find(port); it != observed_.end())
                std::erase(it->second, path);
        }
    }
}

void BVBackgroundFolderUpdateController::observedDirectoriesUpdateThread() {
    while (!queue_.isSuspended()) {
        try {
            if (debugParam("bfu_findersyncobserver"))
                revisitObservedDirectories();
        } catch (const std::exception& e) {
            BVLog("Background folder revisit failed: %@", e.what());
        } catch (...) {
            BVLog("Background folder revisit failed.");
        }
        if (!sleepUntilNextPass())
            return;
    }
}

bool BVBackgroundFolderUpdateController::sleepUntilNextPass() {
    // The interval is measured on the controller's clock, so a test's manual clock decides
    // when the next pass comes; the short real waits only let the clock be read again and a
    // stop be noticed at once.
    const double deadline = clock_->monotonic() + kRevisitInterval;
    std::unique_lock lock(stopLock_);
    while (!stopping_) {
        const double left = deadline - clock_->monotonic();
        if (left <= 0)
            return true;
        stopChanged_.wait_for(lock, std::chrono::duration<double>(std::min(left, 0.05)));
    }
    return false;
}

// MARK: updates

void BVBackgroundFolderUpdateController::updateFolderListing(
    const std::shared_ptr<BVFolderListItem>& listing) {
    if (debugParam("bfu_folderenter"))
        queueUpdate(listing);
}

bool BVBackgroundFolderUpdateController::isAccountUserExcluded(
    const BVFolderListItem& listing) const {
    auto session = options_.currentUserSession ? options_.currentUserSession()
                                               : Utilities::currentUserSession();
    if (!session) {
        BVLog("[457]:currentUserSession==nil");
        return false;
    }
    if (!session->isAccountUser)
        return false;
    return listing.identifier == BVContentController::kSharedFoldersId ||
           listing.identifier == BVContentController::kTrashId ||
           BVContentController::isSharedFolder(listing.path) ||
           BVContentController::isTrashFolder(listing.path);
}

void BVBackgroundFolderUpdateController::queueUpdate(
    const std::shared_ptr<BVFolderListItem>& listing) {
    if (!debugParam("bfu_enabled") || !listing || isStub(*listing))
        return;
    if (isAccountUserExcluded(*listing))
        return;

    const std::string path = listing->path;
    const std::string& id = listing->identifier;
    const bool full =
        id == BVContentController::kRootId || id == BVContentController::kTrashId ||
        id == BVContentController::kSharedFoldersId || BVContentController::isTrashFolder(path) ||
        (BVContentController::isSharedFolder(path) && BVVolumePath::componentCount(path) == 3);

    double age = 0;
    if (auto cache = this->cache()) {
        std::optional<nlohmann::json> meta;
        try {
            meta = cache->fetchMetaOfItem(listing);
        } catch (const std::exception& e) {
            BVLog("No cache entry for listing of %@: %@", path, e.what());
        }
        if (meta) {
            auto it = meta->find("lastindex");
            const double stored = it != meta->end() && it->is_number() ? it->get<double>() : 0;
            age = clock_->now() - stored;
            if ((full ? kFullUpdateAge : kIncrementalUpdateAge) > age)
                return;
        }
    }
    // Added under the stop lock, so stop() never waits for an update queued after it began.
    std::lock_guard hold(stopLock_);
    if (stopping_)
        return;
    queue_.addOperation([this, path, listing, age, full] { runUpdate(path, listing, age, full); });
}

void BVBackgroundFolderUpdateController::runUpdate(const std::string& path,
                                                   const std::shared_ptr<BVFolderListItem>& listing,
                                                   double age, bool full) {
    if (!tryLockFor(path)) {
        BVLog("Folder %@ is locked.", path);
        return;
    }
    UnlockOnExit unlock(*this, path);
    BVLog("Background update of %@ (%@ past last update)", path, printfSeconds(age));
    if (!full) {
        runIncrementalUpdate(path, listing);
        return;
    }
    bv::Error error;
    auto fresh = content().listFolderAt(path, true, &error);
    if (fresh && !isStub(*fresh)) {
        reportChanges(path, listing.get(), *fresh);
        folderChanged(path);
    } else
        presentError(error);
}

void BVBackgroundFolderUpdateController::runIncrementalUpdate(
    const std::string& path, const std::shared_ptr<BVFolderListItem>& listing) {
    bv::Error error;
    switch (content().updateFolderListItem(listing, &error)) {
        case -1:
            presentError(error);
            break;
        case 0:
            if (auto cache = this->cache())
                if (auto after = cache->fetchFolderListAt(path))
                    reportChanges(path, listing.get(), *after);
            removeVanishedLocalFolders(path, *listing);
            folderChanged(path);
            break;
        default:
            // Kept as it was, which includes a secure folder whose password was refused.
            presentError(error);
            break;
    }
}

void BVBackgroundFolderUpdateController::reportChanges(const std::string& path,
                                                       const BVFolderListItem* before,
                                                       const BVFolderListItem& after) const {
    auto cache = this->cache();
    BVVolumeChangeHook::notify(
        BVVolumeChangeHook::changedPaths(path, before, after, [&cache](const std::string& folder) {
            return cache ? cache->fetchFolderListAt(folder) : nullptr;
        }));
}

// Local stand-ins of folders that left the service go with them, unless they hold files.
void BVBackgroundFolderUpdateController::removeVanishedLocalFolders(
    const std::string& path, const BVFolderListItem& before) {
    auto cache = this->cache();
    auto store = tmp();
    if (!cache || !store)
        return;
    auto after = cache->fetchFolderListAt(path);
    if (!after)
        return;
    for (const auto& name : before.itemNames()) {
        if (after->containsItemNamed(name))
            continue;
        const std::string local = BVVolumePath::appending(path, name);
        bv::Error error;
        auto attributes = store->attributesOfItemAt(local, &error);
        if (!attributes || attributes->type != BVTmpController::Attributes::Type::Directory ||
            !store->isEmptyDirectory(local))
            continue;
        if (!store->removeItemAt(local, &error))
            BVLog("Could not remove the local folder %@: %@", local, error.description());
    }
}

void BVBackgroundFolderUpdateController::cancelOperations() {
    queue_.setSuspended(true);
    queue_.cancelAllOperations();
}

void BVBackgroundFolderUpdateController::waitUntilUpdatesFinish() {
    queue_.waitUntilAllOperationsAreFinished();
}

// MARK: folder locks

std::shared_ptr<BVBackgroundFolderUpdateController::FolderLock>
BVBackgroundFolderUpdateController::lockFor(const std::string& standardizedPath) {
    std::lock_guard lock(locksLock_);
    auto& folderLock = locks_[standardizedPath];
    if (!folderLock)
        folderLock = std::make_shared<FolderLock>();
    return folderLock;
}

bool BVBackgroundFolderUpdateController::tryLockFor(const std::string& path) {
    const std::string key = BVVolumePath::standardized(path);
    BVLog("[Apr] Trying to aquire lock for path: %@", key);
    const bool locked = lockFor(key)->tryAcquire();
    BVLog("[Apr] Aquired lock for path: %@, locked = %d", key, locked);
    return locked;
}

bool BVBackgroundFolderUpdateController::waitForLockFor(const std::string& path) {
    const std::string key = BVVolumePath::standardized(path);
    BVLog("[Apr] Wait to acquire lock for path: %@", key);
    auto folderLock = lockFor(key);
    const double start = clock_->monotonic();
    while (!folderLock->tryAcquire()) {
        BVLog("[Apr] Failed to aquire lock for path: %@", key);
        if (clock_->monotonic() - start > kLockWaitLimit) {
            BVLog("[Apr] Lock timeout for path: %@", key);
            return false;
        }
        clock_->sleepFor(1);
        // A caller on the main thread keeps its loop serving while it waits.
        bv::RunLoop::current().runFor(0.1);
    }
    return true;
}

void BVBackgroundFolderUpdateController::unlockFor(const std::string& path) {
    const std::string key = BVVolumePath::standardized(path);
    BVLog("[Apr] Released lock for path: %@", key);
    lockFor(key)->release();
}
