#include "ContentStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <system_error>
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

ContentStore::ContentStore(const fs::path& dataDir, bool sync)
    : contentDir_(dataDir / "content"), uploadDir_(dataDir / "uploads"), sync_(sync) {
    fs::create_directories(contentDir_);
    fs::create_directories(uploadDir_);
    using namespace std::chrono;
    // Microseconds since 1970 never repeat across restarts of the same data folder.
    nextRev_ = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
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

void ContentStore::commitUpload(const std::string& tempLocation, int64_t fileId, int64_t rev) {
    fs::path from = uploadPath(tempLocation);
    fs::path to = contentPath(fileId, rev);
    fs::create_directories(to.parent_path());
    if (sync_)
        syncPath(from, O_RDONLY);
    fs::rename(from, to);
    if (sync_)
        syncPath(to.parent_path(), O_RDONLY | O_DIRECTORY);
}

void ContentStore::remove(int64_t fileId, int64_t rev) {
    if (rev == 0)
        return;
    std::error_code ec;
    fs::remove(contentPath(fileId, rev), ec);
}

void ContentStore::removeUpload(const std::string& tempLocation) {
    std::error_code ec;
    fs::remove(uploadPath(tempLocation), ec);
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
}

}  // namespace bvserver
