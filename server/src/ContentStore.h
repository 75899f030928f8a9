#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace bvserver {

// File contents on disk. Each stored version of a file is its own file, named by file id and
// revision; a new version is written under a temporary name, fsync'd and renamed into place,
// and the metadata then points at it, so a crash at any moment leaves either the old or the
// new complete content visible, never a partial one.
class ContentStore {
  public:
    // Without sync, committed uploads are renamed into place unflushed (benchmarks only: a
    // crash of the machine may lose them).
    explicit ContentStore(const std::filesystem::path& dataDir, bool sync = true);

    // A fresh revision number, unique within this data folder.
    int64_t newRevision();

    std::filesystem::path contentPath(int64_t fileId, int64_t rev) const;
    std::filesystem::path uploadPath(const std::string& tempLocation) const;

    // Flushes the upload file and renames it to the content of (fileId, rev). Throws on
    // failure (the upload file is left in place).
    void commitUpload(const std::string& tempLocation, int64_t fileId, int64_t rev);
    void remove(int64_t fileId, int64_t rev);
    void removeUpload(const std::string& tempLocation);

    // Removes leftover uploads and every content file for which isCurrent(id, rev) is false
    // (versions orphaned by a crash between rename and metadata update).
    void cleanUp(const std::function<bool(int64_t, int64_t)>& isCurrent);

  private:
    std::filesystem::path contentDir_, uploadDir_;
    std::atomic<int64_t> nextRev_;
    const bool sync_;
};

}  // namespace bvserver
