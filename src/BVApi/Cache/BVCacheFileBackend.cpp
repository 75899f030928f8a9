#include "BVApi/Cache/BVCacheFileBackend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "BVApi/Cache/BVCacheContentItem.h"
#include "BVApi/Cache/BVCacheException.h"
#include "BVApi/Cache/BVCacheIndex.h"
#include "BVApi/Content/BVTransferItems.h"
#include "app/Logging/BVLogging.h"
#include "platform/Digest.h"
#include "platform/UniqueFd.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kTemporaryPrefix = ".tmp-";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

bool endsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool writeAll(int fd, const uint8_t* bytes, size_t length, off_t at) {
    while (length > 0) {
        ssize_t n = ::pwrite(fd, bytes, length, at);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        length -= size_t(n);
        at += n;
    }
    return true;
}

// The whole file, or nothing when it is missing, unreadable or not a regular file.
std::optional<bv::Data> readFile(const std::string& path) {
    bv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    bv::Data data;
    data.resize(size_t(st.st_size));
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n = ::pread(fd.get(), data.mutableBytes() + got, data.size() - got, off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    data.resize(got);
    return data;
}

void touch(const std::string& path) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

bool createEmptyIfMissing(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    return errno == EEXIST;
}

std::string errnoText(int code) {
    return std::strerror(code);
}

}  // namespace

BVCacheFileBackend::BVCacheFileBackend(fs::path rootPath) : rootPath_(std::move(rootPath)) {
    struct stat st {};
    // The system calls would end the root at a NUL inside it and work on another folder.
    const bool holdsNul = rootPath_.native().find('\0') != std::string::npos;
    if (holdsNul || ::lstat(rootPath_.c_str(), &st) != 0) {
        if (holdsNul || ::mkdir(rootPath_.c_str(), kFolderMode) != 0)
            throw BVCacheException(
                "BVCacheFileBackend",
                bv::format("Failed to create cache directory at %@", rootPath_.string()));
    } else if (!S_ISDIR(st.st_mode)) {
        throw BVCacheException(
            "BVCacheFileBackend",
            bv::format("Failed to create cache directory at %@", rootPath_.string()));
    } else if (st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) {
        ::chmod(rootPath_.c_str(), st.st_mode & ~mode_t(077) & 07777);
    }
    removeTemporaryLeftovers();
    cacheSizeLimit_ = kCacheSizeLimit;
    cleanupCacheUpToSize(cacheSizeLimit_);
}

std::string BVCacheFileBackend::pathForIndexOfClass(const BVItemClass& cls) const {
    return (rootPath_ / bv::format("%@.%@", cls.name(), "index")).string();
}

std::string BVCacheFileBackend::pathForItemWithKey(const std::string& key,
                                                   const BVItemClass& cls) const {
    return (rootPath_ / bv::format("%@.%@.%@", cls.name(), bv::md5HexDigest(key), "cache"))
        .string();
}

std::string BVCacheFileBackend::pathForBinaryItemWithKey(const std::string& key) const {
    return (rootPath_ / bv::format("%@.%@", bv::md5HexDigest(key), "binary")).string();
}

void BVCacheFileBackend::setWriteFault(WriteFault fault) {
    std::lock_guard lock(writeFaultLock_);
    writeFault_ = std::move(fault);
}

bool BVCacheFileBackend::writeFileAtomically(const std::string& path, const bv::Data& bytes) {
    bool failPartWay;
    {
        std::lock_guard lock(writeFaultLock_);
        failPartWay = writeFault_ && writeFault_(path);
    }
    std::string temp =
        (rootPath_ / (kTemporaryPrefix + fs::path(path).filename().string() + "-XXXXXX")).string();
    bv::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd)
        return false;
    size_t length = failPartWay ? bytes.length() / 2 : bytes.length();
    bool ok = writeAll(fd.get(), bytes.bytes(), length, 0);
    if (ok && failPartWay) {
        errno = ENOSPC;
        ok = false;
    }
    ok = ok && ::fchmod(fd.get(), kFileMode) == 0 && ::fsync(fd.get()) == 0;
    int saved = errno;
    ok = fd.close() && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    if (ok)
        saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    return false;
}

void BVCacheFileBackend::removeTemporaryLeftovers() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(rootPath_, ec)) {
        if (entry.path().filename().string().rfind(kTemporaryPrefix, 0) == 0)
            ::unlink(entry.path().c_str());
    }
}

void BVCacheFileBackend::storeIndex(BVCacheIndex& index, const BVItemClass& cls) {
    bv::Data bytes = index.archivedData();
    if (!writeFileAtomically(pathForIndexOfClass(cls), bytes)) {
        throw BVCacheException(
            "BVCacheController",
            bv::format("Failed to save index for %@ of %@!",
                       bv::format("<BVCacheIndex: %@ entries>", index.count()), cls.name()));
    }
}

std::unique_ptr<BVCacheIndex> BVCacheFileBackend::restoreIndex(const BVItemClass& cls) {
    auto bytes = readFile(pathForIndexOfClass(cls));
    if (!bytes)
        return nullptr;
    return BVCacheIndex::unarchive(*bytes);
}

BVCacheFileBackend::MemcacheEntry* BVCacheFileBackend::findLocked(const BVItemClass& cls,
                                                                  const std::string& key) {
    auto ofClass = memcache_.find(&cls);
    if (ofClass == memcache_.end())
        return nullptr;
    auto it = ofClass->second.find(key);
    return it == ofClass->second.end() ? nullptr : &it->second;
}

void BVCacheFileBackend::rememberLocked(const BVItemClass& cls, const std::string& key,
                                        const std::string& path, BVItemRef item, bool moveToBack) {
    if (MemcacheEntry* entry = findLocked(cls, key)) {
        entry->item = std::move(item);
        if (moveToBack)
            memcacheKeys_.splice(memcacheKeys_.end(), memcacheKeys_, entry->position);
        return;
    }
    memcacheKeys_.push_back(MemcacheSlot{&cls, key, path});
    memcache_[&cls].emplace(key, MemcacheEntry{std::move(item), std::prev(memcacheKeys_.end())});
    ++memcacheCount_;
}

void BVCacheFileBackend::forgetLocked(const BVItemClass& cls, const std::string& key) {
    auto ofClass = memcache_.find(&cls);
    if (ofClass == memcache_.end())
        return;
    auto it = ofClass->second.find(key);
    if (it == ofClass->second.end())
        return;
    auto position = it->second.position;
    ofClass->second.erase(it);
    --memcacheCount_;
    memcacheKeys_.erase(position);
}

void BVCacheFileBackend::evictLocked(bool logged) {
    while (int64_t(memcacheCount_) > kMemcacheLimit && !memcacheKeys_.empty()) {
        if (logged)
            BVLog("BVCacheBackend.storeItem. Getting firstObject.");
        const MemcacheSlot& first = memcacheKeys_.front();
        if (logged)
            BVSuccinctLog("BVCacheBackend.storeItem. Removing from memcache.");
        if (auto ofClass = memcache_.find(first.cls); ofClass != memcache_.end())
            memcacheCount_ -= ofClass->second.erase(first.key);
        if (logged)
            BVSuccinctLog("BVCacheBackend.storeItem. Removing from memcacheKeys.");
        memcacheKeys_.pop_front();
        if (logged)
            BVSuccinctLog("BVCacheBackend.storeItem. Removed from memcacheKeys.");
    }
}

void BVCacheFileBackend::storeItem(const BVItemRef& item) {
    if (!item)
        return;
    const std::string key = BVCacheContentItem::cacheIndexKey(*item);
    const BVItemClass& cls = BVCacheContentItem::cacheIndexClass(*item);
    const std::string path = pathForItemWithKey(key, cls);
    {
        std::lock_guard lock(memcacheLock_);
        rememberLocked(cls, key, path, item, false);
        evictLocked(true);
    }
    BVLog("BVCacheBackend.storeItem. After a while.");
    if (item->isKindOf(BVBinaryDataDescriptorItem::itemClass()))
        createEmptyIfMissing(pathForBinaryItemWithKey(item->identifier));
    if (!writeFileAtomically(path, item->archivedData())) {
        BVLog("Failed to cache object %@ at %@!", item, path);
        // An older copy left on disk would be taken for this one after a restart.
        ::unlink(path.c_str());
    }
}

BVItemRef BVCacheFileBackend::restoreItem(const std::string& key, const BVItemClass& cls) {
    {
        std::lock_guard lock(memcacheLock_);
        if (MemcacheEntry* entry = findLocked(cls, key)) {
            memcacheKeys_.splice(memcacheKeys_.end(), memcacheKeys_, entry->position);
            return entry->item->isKindOf(cls) ? entry->item : nullptr;
        }
    }
    const std::string path = pathForItemWithKey(key, cls);
    auto bytes = readFile(path);
    if (!bytes)
        return nullptr;
    BVItemRef item = BVContentItem::unarchive(*bytes, &cls);
    touch(path);
    if (!item)
        return nullptr;
    std::lock_guard lock(memcacheLock_);
    rememberLocked(cls, key, path, item, true);
    // Reads alone must not grow the map without bound.
    evictLocked(false);
    return item;
}

void BVCacheFileBackend::purgeItemWithKey(const std::string& key, const BVItemClass& cls) {
    const std::string path = pathForItemWithKey(key, cls);
    {
        std::lock_guard lock(memcacheLock_);
        forgetLocked(cls, key);
    }
    if (::unlink(path.c_str()) != 0) {
        throw BVCacheException("BVCacheController", bv::format("Failed removing cache file %@: %@",
                                                               path, errnoText(errno)));
    }
}

bool BVCacheFileBackend::validateBinaryDataOf(const BVContentItem& item) {
    struct stat st {};
    return ::lstat(pathForBinaryItemWithKey(item.identifier).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

bool BVCacheFileBackend::storeBinaryData(const bv::Data& data, const std::string& key,
                                         uint64_t offset) {
    if (key.empty()) {
        BVLog("BVCacheFileBackend.storeBinaryData error: identifier is nil");
        return false;
    }
    std::string path = pathForBinaryItemWithKey(key);
    bv::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!fd) {
        BVLog("Caught exception %@ in BVCacheFileBackend.storeBinaryData() with the reason %@",
              "BVCacheController", bv::format("Failed to open cache file %@ for writing.", path));
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        BVLog("Caught exception %@ in BVCacheFileBackend.storeBinaryData() with the reason %@",
              "BVCacheController", errnoText(errno));
        return false;
    }
    uint64_t end = uint64_t(st.st_size);
    if (offset != end) {
        BVLog(
            "BVCacheFileBackend.storeBinaryData error: Expected file offset %llu doesn't match "
            "real %llu.",
            offset, end);
        return false;
    }
    if (!writeAll(fd.get(), data.bytes(), data.length(), off_t(end))) {
        int saved = errno;
        // A torn append would put later pieces at the wrong offset.
        [[maybe_unused]] int truncated = ::ftruncate(fd.get(), off_t(end));
        BVLog("Caught exception %@ in BVCacheFileBackend.storeBinaryData() with the reason %@",
              "BVCacheController",
              bv::format("Failed to write cache file %@: %@", path, errnoText(saved)));
        return false;
    }
    return true;
}

bv::Data BVCacheFileBackend::restoreBinaryDataOf(const BVContentItem& descriptor, uint64_t offset,
                                                 uint64_t size) {
    std::string path = pathForBinaryItemWithKey(descriptor.identifier);
    bv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throw BVCacheException("BVCacheController",
                               bv::format("Failed to open file %@ for reading.", path));
    struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    ::futimens(fd.get(), times);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || offset >= uint64_t(st.st_size))
        return {};
    uint64_t length = std::min<uint64_t>(size, uint64_t(st.st_size) - offset);
    bv::Data data;
    data.resize(size_t(length));
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n =
            ::pread(fd.get(), data.mutableBytes() + got, data.size() - got, off_t(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    data.resize(got);
    return data;
}

void BVCacheFileBackend::purgeBinaryData(const std::string& key) {
    std::string path = pathForBinaryItemWithKey(key);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return;
    ::unlink(path.c_str());
    createEmptyIfMissing(path);
}

std::vector<std::string> BVCacheFileBackend::sortedFilesForCleanup() const {
    std::vector<std::pair<struct timespec, std::string>> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(rootPath_, ec)) {
        std::string name = entry.path().filename().string();
        if (!endsWith(name, ".cache") && !endsWith(name, ".binary"))
            continue;
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) != 0)
            continue;
        files.emplace_back(st.st_mtim, entry.path().string());
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        if (a.first.tv_sec != b.first.tv_sec)
            return a.first.tv_sec < b.first.tv_sec;
        return a.first.tv_nsec < b.first.tv_nsec;
    });
    std::vector<std::string> paths;
    paths.reserve(files.size());
    for (auto& f : files)
        paths.push_back(std::move(f.second));
    return paths;
}

uint64_t BVCacheFileBackend::combinedSize(const std::vector<std::string>& paths) {
    uint64_t total = 0;
    for (const auto& path : paths) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0)
            total += uint64_t(st.st_size);
    }
    return total;
}

uint64_t BVCacheFileBackend::totalCacheSize() const {
    return combinedSize(sortedFilesForCleanup());
}

void BVCacheFileBackend::cleanupCacheUpToSize(uint64_t limit) {
    std::vector<std::string> files = sortedFilesForCleanup();
    // Sizes are taken once: nothing else writes the folder while the trim runs.
    std::vector<uint64_t> sizes;
    sizes.reserve(files.size());
    uint64_t total = 0;
    for (const auto& path : files) {
        sizes.push_back(combinedSize({path}));
        total += sizes.back();
    }
    uint64_t deleted = 0;
    for (size_t i = 0; i < files.size() && total > limit; ++i) {
        ::unlink(files[i].c_str());
        total -= sizes[i];
        ++deleted;
    }
    BVLog("Cache backend cleanup: %llu files deleted.", deleted);
}

std::vector<std::string> BVCacheFileBackend::memcacheKeys() const {
    std::lock_guard lock(memcacheLock_);
    std::vector<std::string> paths;
    paths.reserve(memcacheKeys_.size());
    for (const auto& slot : memcacheKeys_)
        paths.push_back(slot.path);
    return paths;
}

void BVCacheFileBackend::clearMemcache() {
    std::lock_guard lock(memcacheLock_);
    memcache_.clear();
    memcacheCount_ = 0;
    memcacheKeys_.clear();
}
