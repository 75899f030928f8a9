#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BVApi/Controllers/BVVolumeChangeHook.h"

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

    explicit BVKernelCacheInvalidator(Kernel kernel);
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

    const Kernel kernel_;
    std::mutex pendingLock_;  // guards the pending sets, busy_, stopping_ (a leaf)
    std::condition_variable pendingChanged_;
    std::set<std::string> pendingItems_;
    std::set<std::string> pendingFolders_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;  // last: started once the members it uses exist
};
