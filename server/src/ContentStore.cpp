#include "ContentStore.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

namespace bvserver {

namespace fs = std::filesystem;

namespace {
void syncPath(const fs::path& p, int flags) {
    int fd = ::open(p.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "open " + p.string());
    int rc = ::fsync(fd);
    int saved = errno;
    ::close(fd);
    if (rc != 0)
        throw std::system_error(saved, std::generic_category(), "fsync " + p.string());
}
}  // namespace

std::shared_ptr<const StoredContent> StoredContent::mapFile(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw std::system_error(errno, std::generic_category(), "stat content");
    std::shared_ptr<StoredContent> content(new StoredContent());
    if (st.st_size == 0)
        return content;  // nothing to map (an empty mapping is refused)
    const auto length = static_cast<size_t>(st.st_size);
    void* addr = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    if (addr == MAP_FAILED)
        throw std::system_error(errno, std::generic_category(), "map content");
    ::madvise(addr, length, MADV_SEQUENTIAL);
    content->mapped_ = addr;
    content->mappedSize_ = length;
    return content;
}

StoredContent::~StoredContent() {
    if (mapped_)
        ::munmap(mapped_, mappedSize_);
}

ContentStore::ContentStore(const fs::path& dataDir, bool sync)
    : contentDir_(dataDir / "content"),
      uploadDir_(dataDir / "uploads"),
      databaseFile_(dataDir / "contents.sqlite"),
      sync_(sync) {
    fs::create_directories(contentDir_);
    fs::create_directories(uploadDir_);
    int64_t lastStoredRev = 0;
    try {
        database_ = std::make_unique<Database>(databaseFile_);
        // A row is committed before the metadata points at it, so with sync it must be on
        // the disk by then, as a renamed file is.
        database_->exec(sync_ ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
        // The revision is unique within the data folder, so it alone is the key.
        database_->exec(
            "CREATE TABLE IF NOT EXISTS contents ("
            "rev INTEGER PRIMARY KEY, file_id INTEGER NOT NULL, bytes BLOB NOT NULL)");
        auto last = database_->prepare("SELECT COALESCE(MAX(rev), 0) FROM contents");
        if (last.step())
            lastStoredRev = last.integer(0);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot use the content database " + databaseFile_.string() +
                                 ": " + e.what());
    }
    using namespace std::chrono;
    // Microseconds since 1970 never repeat across restarts of the same data folder; the
    // stored rows keep that so even when the clock was set back.
    int64_t now = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    nextRev_ = std::max(now, lastStoredRev);
}

int64_t ContentStore::newRevision() {
    return ++nextRev_;
}

fs::path ContentStore::contentPath(int64_t fileId, int64_t rev) const {
    char shard[8];
    std::snprintf(shard, sizeof shard, "%02x", static_cast<unsigned>(fileId & 0xff));
    return contentDir_ / shard / (std::to_string(fileId) + "." + std::to_string(rev));
}

fs::path ContentStore::uploadPath(const std::string& tempLocation) const {
    return uploadDir_ / (tempLocation + ".part");
}

void ContentStore::commit(const UploadBytes& bytes, int64_t fileId, int64_t rev) {
    if (!bytes.inFile()) {
        const std::string& memory = bytes.memory();
        std::lock_guard<std::mutex> lock(databaseLock_);
        database_->prepare("INSERT INTO contents (rev, file_id, bytes) VALUES (?, ?, ?)")
            .bind(1, rev)
            .bind(2, fileId)
            .bindBlob(3, memory.data(), memory.size())
            .run();
        return;
    }
    const fs::path& from = bytes.file();
    fs::path to = contentPath(fileId, rev);
    fs::create_directories(to.parent_path());
    if (sync_)
        syncPath(from, O_RDONLY);
    fs::rename(from, to);
    if (sync_)
        syncPath(to.parent_path(), O_RDONLY | O_DIRECTORY);
}

std::shared_ptr<const StoredContent> ContentStore::open(int64_t fileId, int64_t rev) {
    {
        std::lock_guard<std::mutex> lock(databaseLock_);
        auto st = database_->prepare("SELECT bytes FROM contents WHERE rev = ? AND file_id = ?");
        st.bind(1, rev).bind(2, fileId);
        if (st.step())
            return std::make_shared<const StoredContent>(st.blob(0));
    }
    int fd = ::open(contentPath(fileId, rev).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    try {
        auto content = StoredContent::mapFile(fd);
        ::close(fd);
        return content;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

void ContentStore::remove(int64_t fileId, int64_t rev) {
    if (rev == 0)
        return;
    int removedRows = 0;
    {
        std::lock_guard<std::mutex> lock(databaseLock_);
        // A removal need not reach the disk at once: a row that comes back after a crash of
        // the machine is no current content, and the next start removes it.
        if (sync_)
            database_->exec("PRAGMA synchronous=NORMAL");
        try {
            database_->prepare("DELETE FROM contents WHERE rev = ? AND file_id = ?")
                .bind(1, rev)
                .bind(2, fileId)
                .run();
            removedRows = database_->changes();
        } catch (...) {
            if (sync_)
                database_->exec("PRAGMA synchronous=FULL");
            throw;
        }
        if (sync_)
            database_->exec("PRAGMA synchronous=FULL");
    }
    if (removedRows > 0)
        return;
    std::error_code ec;
    fs::remove(contentPath(fileId, rev), ec);
}

void ContentStore::cleanUp(const std::function<bool(int64_t, int64_t)>& isCurrent) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(uploadDir_, ec))
        fs::remove(entry.path(), ec);
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(contentDir_, ec)) {
        if (entry.is_regular_file())
            files.push_back(entry.path());
    }
    for (const auto& path : files) {
        std::string name = path.filename().string();
        auto dot = name.find('.');
        int64_t id = 0, rev = 0;
        try {
            id = std::stoll(name.substr(0, dot));
            rev = dot == std::string::npos ? 0 : std::stoll(name.substr(dot + 1));
        } catch (...) {
            id = 0;
        }
        if (id == 0 || rev == 0 || !isCurrent(id, rev))
            fs::remove(path, ec);
    }

    try {
        std::vector<std::pair<int64_t, int64_t>> rows;  // rev, file id
        {
            std::lock_guard<std::mutex> lock(databaseLock_);
            auto st = database_->prepare("SELECT rev, file_id FROM contents");
            while (st.step())
                rows.emplace_back(st.integer(0), st.integer(1));
        }
        std::vector<int64_t> orphans;
        for (const auto& [rev, id] : rows) {
            if (!isCurrent(id, rev))
                orphans.push_back(rev);
        }
        if (orphans.empty())
            return;
        std::lock_guard<std::mutex> lock(databaseLock_);
        Transaction tx(*database_);
        for (int64_t rev : orphans)
            database_->prepare("DELETE FROM contents WHERE rev = ?").bind(1, rev).run();
        tx.commit();
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot use the content database " + databaseFile_.string() +
                                 ": " + e.what());
    }
}

}  // namespace bvserver
