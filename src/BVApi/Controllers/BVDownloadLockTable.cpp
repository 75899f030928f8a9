#include "BVApi/Controllers/BVDownloadLockTable.h"

#include "BVApi/Cache/BVCacheContentStream.h"
#include "BVApi/Content/BVTransferItems.h"

BVDownloadLockTable& BVDownloadLockTable::shared() {
    static BVDownloadLockTable table;
    return table;
}

std::shared_ptr<BVBinaryDataDescriptorItem> BVDownloadLockTable::tryLock(
    const std::string& identifier) {
    std::lock_guard lock(entriesLock_);
    if (entries_.count(identifier))
        return nullptr;
    auto descriptor = std::make_shared<BVBinaryDataDescriptorItem>();
    descriptor->identifier = identifier;
    // Not complete before the download says so: 0 of 0 would read as a whole empty file.
    descriptor->totalBytes = -1;
    entries_[identifier] = Entry{descriptor, nullptr};
    return descriptor;
}

std::shared_ptr<BVBinaryDataDescriptorItem> BVDownloadLockTable::lockedItem(
    const std::string& identifier) const {
    std::lock_guard lock(entriesLock_);
    auto it = entries_.find(identifier);
    return it == entries_.end() ? nullptr : it->second.descriptor;
}

void BVDownloadLockTable::attach(const std::shared_ptr<BVBinaryDataDescriptorItem>& descriptor,
                                 std::shared_ptr<BVCacheContentStream> stream) {
    {
        std::lock_guard lock(entriesLock_);
        auto it = entries_.find(descriptor->identifier);
        if (it == entries_.end() || it->second.descriptor != descriptor)
            return;
        it->second.stream = std::move(stream);
    }
    changed_.notify_all();
}

void BVDownloadLockTable::unlock(const std::shared_ptr<BVBinaryDataDescriptorItem>& descriptor) {
    {
        std::lock_guard lock(entriesLock_);
        auto it = entries_.find(descriptor->identifier);
        if (it == entries_.end() || it->second.descriptor != descriptor)
            return;
        entries_.erase(it);
    }
    changed_.notify_all();
}

std::shared_ptr<BVCacheContentStream> BVDownloadLockTable::waitForStream(
    const std::shared_ptr<BVBinaryDataDescriptorItem>& descriptor) {
    std::unique_lock lock(entriesLock_);
    for (;;) {
        auto it = entries_.find(descriptor->identifier);
        if (it == entries_.end() || it->second.descriptor != descriptor)
            return nullptr;
        if (it->second.stream)
            return it->second.stream;
        changed_.wait(lock);
    }
}
