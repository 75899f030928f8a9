#include "DriveFS/BVKernelCacheInvalidator.h"

#include <chrono>
#include <exception>

#include "BVApi/Content/BVVolumePath.h"
#include "app/Logging/BVLogging.h"

BVKernelCacheInvalidator::BVKernelCacheInvalidator(Kernel kernel)
    : kernel_(std::move(kernel)), thread_([this] { run(); }) {}

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
        // Items first: their attributes and pages are found by path only while the kernel
        // still holds their names.
        for (const auto& path : items) {
            try {
                kernel_.invalidateItem(path);
                kernel_.invalidateEntry(BVVolumePath::parent(path),
                                        BVVolumePath::lastComponent(path));
            } catch (const std::exception& e) {
                BVLog("Could not invalidate the kernel's copy of %@: %@", path, e.what());
            }
        }
        for (const auto& path : folders) {
            try {
                kernel_.invalidateItem(path);
            } catch (const std::exception& e) {
                BVLog("Could not invalidate the kernel's copy of %@: %@", path, e.what());
            }
        }
        lock.lock();
        busy_ = false;
        pendingChanged_.notify_all();
    }
}
