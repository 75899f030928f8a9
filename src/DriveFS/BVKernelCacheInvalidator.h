#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BVApi/Controllers/BVVolumeChangeHook.h"

class BVFolderRequests;

// Drops the kernel's cached attributes, names and page cache of changed items, so that the
// kernel caches the mount options turn on never answer beyond the daemon's own cache rules.
//
// A changed item loses its cached attributes and pages and its name in its folder (with every
// name below it, so a folder that went takes its cached contents along); its folder loses its
// cached attributes only, so the folder's other names stay cached.
//
// Reports are queued and worked off by a thread of its own: the kernel's invalidation may
// wait for pages that a file-system call in progress holds, and that call may wait for a lock
// the reporter holds (a folder lock during a refresh), so no reporter ever waits for it.
//
// A name is dropped from its folder only while no request of that folder is under way
// (BVFolderRequests): the kernel takes the folder's lock for it, and a request that holds the
// lock waiting for this daemon's answer would keep the sending thread in the kernel for good
// if the daemon were killed meanwhile. Past kBusyFolderWait the name is dropped anyway: the
// kernel keeps names until told, so a name never dropped would stay stale for good.
//
// The owner stops it (flag, wake, join) before the mount's session is destroyed; reports
// after stop() are dropped.
class BVKernelCacheInvalidator : public BVVolumeChangeHook {
  public:
    // What the kernel is told, by volume path; called on the invalidator's thread only.
    struct Kernel {
        // Drops the cached attributes and pages of the item.
        std::function<void(const std::string& path)> invalidateItem;
        // Drops the cached name (and everything below it) from the folder.
        std::function<void(const std::string& folder, const std::string& name)> invalidateEntry;
    };

    static constexpr std::chrono::milliseconds kBusyFolderWait{2000};

    // requests (when given) outlives the invalidator's thread, that is until stop().
    explicit BVKernelCacheInvalidator(Kernel kernel, BVFolderRequests* requests = nullptr,
                                      std::chrono::milliseconds busyFolderWait = kBusyFolderWait);
    ~BVKernelCacheInvalidator() override;
    BVKernelCacheInvalidator(const BVKernelCacheInvalidator&) = delete;
    BVKernelCacheInvalidator& operator=(const BVKernelCacheInvalidator&) = delete;

    void itemsChanged(const std::vector<std::string>& paths) override;
    void waitUntilApplied(double seconds) override;
    // Waits until every path reported before the call is invalidated (or stop()).
    void waitUntilIdle();
    void stop();

  private:
    void run();
    bool idleLocked() const;
    // Off the lock; only an allocation throws.
    void apply(const std::set<std::string>& items, const std::set<std::string>& folders);
    void invalidateItemOf(const std::string& path);
    void invalidateEntryOf(const std::string& path);

    const Kernel kernel_;
    BVFolderRequests* const requests_;
    const std::chrono::milliseconds busyFolderWait_;
    // guards the pending sets, busy_ and changes of stopping_ (a leaf; stopping_ is also read
    // under the folder requests' lock, hence atomic)
    std::mutex pendingLock_;
    std::condition_variable pendingChanged_;
    std::set<std::string> pendingItems_;
    std::set<std::string> pendingFolders_;
    bool busy_ = false;
    std::atomic<bool> stopping_{false};
    std::thread thread_;  // last: started once the members it uses exist
};
