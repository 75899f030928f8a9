#include "DriveFS/BVFolderRequests.h"

BVFolderRequests::Request::Request(BVFolderRequests& requests, std::vector<std::string> folders)
    : requests_(requests), folders_(std::move(folders)) {
    requests_.begin(folders_);
}

BVFolderRequests::Request::~Request() {
    requests_.end(folders_);
}

void BVFolderRequests::begin(const std::vector<std::string>& folders) {
    std::lock_guard<std::mutex> guard(countsLock_);
    size_t counted = 0;
    try {
        for (; counted < folders.size(); ++counted)
            ++counts_[folders[counted]];
    } catch (...) {
        for (size_t i = 0; i < counted; ++i) {
            auto count = counts_.find(folders[i]);
            if (--count->second == 0)
                counts_.erase(count);
        }
        throw;
    }
}

void BVFolderRequests::end(const std::vector<std::string>& folders) noexcept {
    bool quieted = false;
    {
        std::lock_guard<std::mutex> guard(countsLock_);
        for (const auto& folder : folders) {
            auto count = counts_.find(folder);
            if (count == counts_.end())
                continue;
            if (--count->second == 0) {
                counts_.erase(count);
                quieted = true;
            }
        }
    }
    if (quieted)
        folderQuiet_.notify_all();
}

bool BVFolderRequests::isQuiet(const std::string& folder) const {
    std::lock_guard<std::mutex> guard(countsLock_);
    return counts_.find(folder) == counts_.end();
}

bool BVFolderRequests::waitUntilQuiet(const std::string& folder,
                                      std::chrono::steady_clock::time_point deadline,
                                      const std::function<bool()>& giveUp) {
    std::unique_lock<std::mutex> lock(countsLock_);
    folderQuiet_.wait_until(lock, deadline,
                            [&] { return counts_.find(folder) == counts_.end() || giveUp(); });
    return counts_.find(folder) == counts_.end();
}

void BVFolderRequests::wakeWaiters() {
    { std::lock_guard<std::mutex> guard(countsLock_); }
    folderQuiet_.notify_all();
}
