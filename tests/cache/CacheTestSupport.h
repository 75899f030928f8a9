#pragma once

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"

namespace cachetest {

inline std::shared_ptr<BVFileInfoItem> fileInfo(const std::string& id,
                                                const std::string& name = "f",
                                                double modified = 0) {
    auto item = std::make_shared<BVFileInfoItem>();
    item->identifier = id;
    item->name = name;
    item->dateModified = modified;
    return item;
}

inline std::shared_ptr<BVFolderItem> folder(const std::string& id, const std::string& name) {
    auto item = std::make_shared<BVFolderItem>();
    item->identifier = id;
    item->name = name;
    return item;
}

template <class Listing = BVFolderListItem>
std::shared_ptr<Listing> listing(const std::string& id, const std::string& path,
                                 int64_t encrypted = 0) {
    auto item = std::make_shared<Listing>();
    item->identifier = id;
    item->path = path;
    item->encrypted = encrypted;
    return item;
}

inline std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeAll(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline mode_t modeOf(const std::filesystem::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

// Holds the threads that reach it until it is opened, as a disk that does not answer.
class Gate {
  public:
    void pass() {
        std::unique_lock lock(lock_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        --waiting_;
    }
    // Whether somebody is held within the limit; the limit only ends a test that would hang.
    bool awaitSomebodyHeld(std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, limit, [this] { return waiting_ > 0; });
    }
    int held() {
        std::lock_guard lock(lock_);
        return waiting_;
    }
    void open() {
        std::lock_guard lock(lock_);
        open_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    int waiting_ = 0;
    bool open_ = false;
};

}  // namespace cachetest
