#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Sqlite.h"
#include "UploadBytes.h"

namespace bvserver {

// One stored version, readable for as long as the object lives, also after the version was
// replaced or deleted meanwhile.
class StoredContent {
  public:
    explicit StoredContent(std::string bytes) : bytes_(std::move(bytes)) {}
    // Maps the whole file open at fd (which the caller keeps owning).
    static std::shared_ptr<const StoredContent> mapFile(int fd);
    ~StoredContent();
    StoredContent(const StoredContent&) = delete;
    StoredContent& operator=(const StoredContent&) = delete;

    const char* data() const { return mapped_ ? static_cast<const char*>(mapped_) : bytes_.data(); }
    size_t size() const { return mapped_ ? mappedSize_ : bytes_.size(); }

  private:
    StoredContent() = default;
    std::string bytes_;
    void* mapped_ = nullptr;
    size_t mappedSize_ = 0;
};

// File contents, by file id and revision. A version uploaded in memory (UploadBytes) is kept
// as a row of a database of its own, committed before the metadata points at it; a larger
// one is its own file, written under a temporary name, fsync'd and renamed into place. Either
// way a crash at any moment leaves the old or the new complete content visible, never a
// partial one.
class ContentStore {
  public:
    // Without sync, committed uploads are kept unflushed (benchmarks only: a crash of the
    // machine may lose them). Throws when the database of contents cannot be opened.
    explicit ContentStore(const std::filesystem::path& dataDir, bool sync = true);

    // A fresh revision number, unique within this data folder.
    int64_t newRevision();

    std::filesystem::path contentPath(int64_t fileId, int64_t rev) const;
    std::filesystem::path uploadPath(const std::string& tempLocation) const;
    std::filesystem::path databasePath() const { return databaseFile_; }

    // Stores the upload's bytes as the content of (fileId, rev): a row when they are in
    // memory, else the upload file flushed and renamed. Throws on failure (the bytes stay).
    void commit(const UploadBytes& bytes, int64_t fileId, int64_t rev);
    // The content of (fileId, rev), or null when there is none.
    std::shared_ptr<const StoredContent> open(int64_t fileId, int64_t rev);
    void remove(int64_t fileId, int64_t rev);

    // Removes leftover uploads and every stored content for which isCurrent(id, rev) is
    // false (versions orphaned by a crash between their commit and the metadata update).
    void cleanUp(const std::function<bool(int64_t, int64_t)>& isCurrent);

  private:
    std::filesystem::path contentDir_, uploadDir_, databaseFile_;
    const bool sync_;
    std::mutex databaseLock_;  // guards database_
    std::unique_ptr<Database> database_;
    std::atomic<int64_t> nextRev_;
};

}  // namespace bvserver
