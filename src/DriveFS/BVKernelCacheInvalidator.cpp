#include "DriveFS/BVKernelCacheInvalidator.h"

#include <chrono>
#include <exception>

#include "BVApi/Content/BVVolumePath.h"
#include "DriveFS/BVFolderRequests.h"
#include "app/Logging/BVLogging.h"

BVKernelCacheInvalidator::BVKernelCacheInvalidator(Kernel kernel, BVFolderRequests* requests,
                                                   std::chrono::milliseconds busyFolderWait)
    : kernel_(std::move(kernel)),
      requests_(requests),
      busyFolderWait_(busyFolderWait),
      thread_([this] { run(); }) {}

BVKernelCacheInvalidator::~BVKernelCacheInvalidator() {
    stop();
}

void BVKernelCacheInvalidator::itemsChanged(const std::vector<std::string>& paths) {
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        if (stopping_)
            return;
        for (const auto& path : paths) {
            if (path.empty() || path[0] != '/')
                continue;
            if (path == "/") {
                pendingFolders_.insert(path);
                continue;
            }
            pendingItems_.insert(path);
            pendingFolders_.insert(BVVolumePath::parent(path));
        }
    }
    pendingChanged_.notify_all();
}

bool BVKernelCacheInvalidator::idleLocked() const {
    return stopping_ || (pendingItems_.empty() && pendingFolders_.empty() && !busy_);
}

void BVKernelCacheInvalidator::waitUntilIdle() {
    std::unique_lock<std::mutex> lock(pendingLock_);
    pendingChanged_.wait(lock, [this] { return idleLocked(); });
}

void BVKernelCacheInvalidator::waitUntilApplied(double seconds) {
    std::unique_lock<std::mutex> lock(pendingLock_);
    pendingChanged_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [this] { return idleLocked(); });
}

void BVKernelCacheInvalidator::stop() {
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        stopping_ = true;
        pendingItems_.clear();
        pendingFolders_.clear();
    }
    pendingChanged_.notify_all();
    if (requests_)
        requests_->wakeWaiters();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void BVKernelCacheInvalidator::run() {
    std::unique_lock<std::mutex> lock(pendingLock_);
    while (true) {
        pendingChanged_.wait(lock, [this] {
            return stopping_ || !pendingItems_.empty() || !pendingFolders_.empty();
        });
        if (stopping_)
            return;
        std::set<std::string> items, folders;
        items.swap(pendingItems_);
        folders.swap(pendingFolders_);
        busy_ = true;
        lock.unlock();
        try {
            apply(items, folders);
        } catch (...) {
            // Only an allocation can fail here; the rest of the batch is lost, not the thread.
            BVLog("Could not invalidate the kernel's copies of %@ changed items", items.size());
        }
        lock.lock();
        busy_ = false;
        pendingChanged_.notify_all();
    }
}

void BVKernelCacheInvalidator::invalidateEntryOf(const std::string& path) {
    try {
        kernel_.invalidateEntry(BVVolumePath::parent(path), BVVolumePath::lastComponent(path));
    } catch (const std::exception& e) {
        BVLog("Could not invalidate the kernel's copy of %@: %@", path, e.what());
    }
}

void BVKernelCacheInvalidator::apply(const std::set<std::string>& items,
                                     const std::set<std::string>& folders) {
    // Attributes and pages first: they are found by path only while the kernel still
    // holds the items' names.
    for (const auto& path : items)
        invalidateItemOf(path);
    for (const auto& path : folders)
        invalidateItemOf(path);
    // Names in quiet folders at once, so that a busy folder holds up no other.
    std::vector<std::string> busy;
    for (const auto& path : items) {
        if (requests_ && !requests_->isQuiet(BVVolumePath::parent(path)))
            busy.push_back(path);
        else
            invalidateEntryOf(path);
    }
    const auto deadline = std::chrono::steady_clock::now() + busyFolderWait_;
    for (const auto& path : busy) {
        requests_->waitUntilQuiet(BVVolumePath::parent(path), deadline,
                                  [this] { return stopping_.load(); });
        if (stopping_)
            return;
        invalidateEntryOf(path);
    }
}

void BVKernelCacheInvalidator::invalidateItemOf(const std::string& path) {
    try {
        kernel_.invalidateItem(path);
    } catch (const std::exception& e) {
        BVLog("Could not invalidate the kernel's copy of %@: %@", path, e.what());
    }
}
