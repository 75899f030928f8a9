#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

class BVBinaryDataDescriptorItem;
class BVCacheContentStream;

// The files being downloaded, by identifier: at most one download per file. The entry's
// descriptor is the one object the download advances and every reader of the file waits on;
// its content stream is attached once the download has created the content, and readers that
// came earlier wait for that.
class BVDownloadLockTable {
  public:
    static BVDownloadLockTable& shared();

    // A new descriptor for the identifier (totalBytes -1: nothing known yet), entered in the
    // table; nothing when the identifier is in the table already.
    std::shared_ptr<BVBinaryDataDescriptorItem> tryLock(const std::string& identifier);
    std::shared_ptr<BVBinaryDataDescriptorItem> lockedItem(const std::string& identifier) const;
    // The download's content stream for the descriptor's waiters.
    void attach(const std::shared_ptr<BVBinaryDataDescriptorItem>& descriptor,
                std::shared_ptr<BVCacheContentStream> stream);
    // Removes the entry when it is this descriptor's (a stale unlock leaves a newer download
    // alone) and wakes the waiters.
    void unlock(const std::shared_ptr<BVBinaryDataDescriptorItem>& descriptor);
    // Blocks until the descriptor's stream is attached (answered) or its entry is gone (null).
    std::shared_ptr<BVCacheContentStream> waitForStream(
        const std::shared_ptr<BVBinaryDataDescriptorItem>& descriptor);

  private:
    struct Entry {
        std::shared_ptr<BVBinaryDataDescriptorItem> descriptor;
        std::shared_ptr<BVCacheContentStream> stream;
    };

    mutable std::mutex entriesLock_;  // guards entries_
    std::condition_variable changed_;
    std::unordered_map<std::string, Entry> entries_;
};
