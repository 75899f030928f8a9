#include "BVApi/Cache/BVCacheFileBackend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "BVApi/Cache/BVCacheChecksums.h"
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

// Reads length bytes at offset; answers the count read (short only at the end of the file)
// or -1 with errno set.
ssize_t readAll(int fd, uint8_t* bytes, size_t length, off_t at) {
    size_t got = 0;
    while (got < length) {
        ssize_t n = ::pread(fd, bytes + got, length - got, at + off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += size_t(n);
    }
    return ssize_t(got);
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

std::string BVCacheFileBackend::pathForChecksumsWithKey(const std::string& key) const {
    return (rootPath_ / bv::format("%@.%@", bv::md5HexDigest(key), "crc")).string();
}

namespace {

// The checksum file beside a content file.
std::string checksumsBeside(const std::string& contentPath) {
    return contentPath.substr(0, contentPath.size() - std::string_view(".binary").size()) + ".crc";
}

}  // namespace

void BVCacheFileBackend::setWriteFault(WriteFault fault) {
    if (!fault) {
        setIoFault(nullptr);
        return;
    }
    setIoFault([fault = std::move(fault)](Io io, const std::string& path) {
        return io == Io::Write && fault(path) ? ENOSPC : 0;
    });
}

void BVCacheFileBackend::setIoFault(IoFault fault) {
    std::lock_guard lock(ioFaultLock_);
    ioFault_ = std::move(fault);
}

int BVCacheFileBackend::faultFor(Io io, const std::string& path) {
    IoFault fault;
    {
        std::lock_guard lock(ioFaultLock_);
        fault = ioFault_;
    }
    return fault ? fault(io, path) : 0;
}

bool BVCacheFileBackend::fsyncCounted(int fd) {
    ++fsyncCount_;
    return ::fsync(fd) == 0;
}

BVCacheFileBackend::FileRead BVCacheFileBackend::readFile(const std::string& path) {
    FileRead result;
    bv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        result.error = errno;
        return result;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        result.error = errno;
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.error = EINVAL;
        return result;
    }
    const int fault = faultFor(Io::Read, path);
    result.data.resize(size_t(st.st_size));
    size_t wanted = fault ? result.data.length() / 2 : result.data.length();
    ssize_t got = readAll(fd.get(), result.data.mutableBytes(), wanted, 0);
    if (got < 0) {
        result.error = errno;
    } else if (fault) {
        result.error = fault;
    } else if (size_t(got) != wanted) {
        // Files are replaced by rename, never cut short in place: a file that ends early was
        // damaged underneath us, and what was read is not the whole.
        result.error = EIO;
    }
    if (result.error)
        result.data = bv::Data();
    return result;
}

bool BVCacheFileBackend::writeFileAtomically(const std::string& path, const bv::Data& bytes,
                                             bool durable) {
    const int fault = faultFor(Io::Write, path);
    const bool failPartWay = fault != 0;
    std::string temp =
        (rootPath_ / (kTemporaryPrefix + fs::path(path).filename().string() + "-XXXXXX")).string();
    bv::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd)
        return false;
    size_t length = failPartWay ? bytes.length() / 2 : bytes.length();
    bool ok = writeAll(fd.get(), bytes.bytes(), length, 0);
    if (ok && failPartWay) {
        errno = fault;
        ok = false;
    }
    ok = ok && ::fchmod(fd.get(), kFileMode) == 0 && (!durable || fsyncCounted(fd.get()));
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
    storeIndexData(index.archivedData(), index.count(), cls);
}

void BVCacheFileBackend::storeIndexData(const bv::Data& archive, size_t entries,
                                        const BVItemClass& cls) {
    if (!writeFileAtomically(pathForIndexOfClass(cls), archive, true)) {
        throw BVCacheException(
            "BVCacheController",
            bv::format("Failed to save index for %@ of %@!",
                       bv::format("<BVCacheIndex: %@ entries>", entries), cls.name()));
    }
}

std::unique_ptr<BVCacheIndex> BVCacheFileBackend::restoreIndex(const BVItemClass& cls) {
    return restoreIndexKeepingUnreadable(cls).index;
}

BVCacheFileBackend::RestoredIndex BVCacheFileBackend::restoreIndexKeepingUnreadable(
    const BVItemClass& cls) {
    RestoredIndex restored;
    const std::string path = pathForIndexOfClass(cls);
    FileRead read = readFile(path);
    if (read.error == ENOENT)
        return restored;
    std::string problem;
    if (read.error) {
        problem = errnoText(read.error);
    } else if ((restored.index = BVCacheIndex::unarchive(read.data))) {
        return restored;
    } else {
        problem = "it does not decode";
    }
    // The file may hold every entry of the class; a new index written over it would lose
    // them for good, so it is kept under another name for whoever looks into it. A few such
    // copies are kept at most; past them the folder has a problem that renaming won't solve.
    std::string aside = path + kUnreadableSuffix;
    for (int n = 2; ::access(aside.c_str(), F_OK) == 0 && n <= kUnreadableCopies; ++n)
        aside = path + kUnreadableSuffix + "-" + std::to_string(n);
    if (::access(aside.c_str(), F_OK) != 0 && ::rename(path.c_str(), aside.c_str()) == 0) {
        BVLog("Cache index %@ could not be read (%@); moved aside to %@", path, problem, aside);
        return restored;
    }
    int saved = errno;
    restored.writable = false;
    BVLog("Cache index %@ could not be read (%@) nor moved aside (%@); it is left as it is", path,
          problem, errnoText(saved));
    return restored;
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

size_t BVCacheFileBackend::evictLocked() {
    size_t evicted = 0;
    while (int64_t(memcacheCount_) > kMemcacheLimit && !memcacheKeys_.empty()) {
        const MemcacheSlot& first = memcacheKeys_.front();
        if (auto ofClass = memcache_.find(first.cls); ofClass != memcache_.end())
            memcacheCount_ -= ofClass->second.erase(first.key);
        memcacheKeys_.pop_front();
        ++evicted;
    }
    return evicted;
}

void BVCacheFileBackend::logStoredItem(size_t evicted) const {
    for (size_t i = 0; i < evicted; ++i) {
        BVLog("BVCacheBackend.storeItem. Getting firstObject.");
        BVSuccinctLog("BVCacheBackend.storeItem. Removing from memcache.");
        BVSuccinctLog("BVCacheBackend.storeItem. Removing from memcacheKeys.");
        BVSuccinctLog("BVCacheBackend.storeItem. Removed from memcacheKeys.");
    }
    BVLog("BVCacheBackend.storeItem. After a while.");
}

size_t BVCacheFileBackend::stripeOf(const std::string& path) {
    return std::hash<std::string>()(path) % kStripes;
}

void BVCacheFileBackend::storeItem(const BVItemRef& item) {
    if (!item)
        return;
    const std::string key = BVCacheContentItem::cacheIndexKey(*item);
    const BVItemClass& cls = BVCacheContentItem::cacheIndexClass(*item);
    const std::string path = pathForItemWithKey(key, cls);
    size_t evicted;
    {
        std::lock_guard lock(memcacheLock_);
        rememberLocked(cls, key, path, item, false);
        evicted = evictLocked();
        // This write supersedes one still waiting.
        deferred_.erase(path);
        ++generations_[stripeOf(path)];
    }
    logStoredItem(evicted);
    if (item->isKindOf(BVBinaryDataDescriptorItem::itemClass()))
        createContentFileIfMissing(item->identifier);
    if (!writeFileAtomically(path, item->archivedData(), false)) {
        BVLog("Failed to cache object %@ at %@!", item, path);
        // An older copy left on disk would be taken for this one after a restart.
        ::unlink(path.c_str());
    }
}

size_t BVCacheFileBackend::storeItemDeferred(const BVItemRef& item,
                                             std::optional<bv::Data> archive) {
    if (!item)
        return 0;
    const std::string key = BVCacheContentItem::cacheIndexKey(*item);
    const BVItemClass& cls = BVCacheContentItem::cacheIndexClass(*item);
    const std::string path = pathForItemWithKey(key, cls);
    std::lock_guard lock(memcacheLock_);
    rememberLocked(cls, key, path, item, false);
    deferred_[path] = DeferredItem{item, std::move(archive), false, ++deferredSequence_};
    ++generations_[stripeOf(path)];
    return evictLocked();
}

void BVCacheFileBackend::purgeItemDeferred(const std::string& key, const BVItemClass& cls) {
    const std::string path = pathForItemWithKey(key, cls);
    std::lock_guard lock(memcacheLock_);
    forgetLocked(cls, key);
    deferred_[path] = DeferredItem{nullptr, std::nullopt, true, ++deferredSequence_};
    ++generations_[stripeOf(path)];
}

bool BVCacheFileBackend::hasDeferredItems() const {
    std::lock_guard lock(memcacheLock_);
    return !deferred_.empty();
}

size_t BVCacheFileBackend::writeDeferredItems() {
    std::vector<std::pair<std::string, DeferredItem>> batch;
    {
        std::lock_guard lock(memcacheLock_);
        batch.assign(deferred_.begin(), deferred_.end());
    }
    size_t changed = 0;
    for (auto& [path, deferred] : batch) {
        if (deferred.remove) {
            // A file stored and purged before it was ever written is not there to remove.
            if (::unlink(path.c_str()) == 0) {
                ++changed;
            } else if (errno != ENOENT) {
                BVLog(
                    "Caught exception %@ in [BVCacheFileBackend purgeItemWithKey:of:] with the "
                    "reason %@",
                    "BVCacheController",
                    bv::format("Failed removing cache file %@: %@", path, errnoText(errno)));
            }
        } else {
            const bv::Data archive =
                deferred.archive ? std::move(*deferred.archive) : deferred.item->archivedData();
            if (writeFileAtomically(path, archive, false)) {
                ++changed;
            } else {
                BVLog("Failed to cache object %@ at %@!", deferred.item, path);
                // An older copy left on disk would be taken for this one after a restart.
                ::unlink(path.c_str());
            }
        }
        std::lock_guard lock(memcacheLock_);
        auto it = deferred_.find(path);
        if (it != deferred_.end() && it->second.sequence == deferred.sequence)
            deferred_.erase(it);
    }
    return changed;
}

void BVCacheFileBackend::syncFolder() {
    bv::UniqueFd fd(::open(rootPath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        fsyncCounted(fd.get());
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
    uint64_t generation;
    {
        std::lock_guard lock(memcacheLock_);
        if (auto it = deferred_.find(path); it != deferred_.end()) {
            // Not on disk yet: the deferred state is the current one.
            BVItemRef item = it->second.item;
            if (!item || !item->isKindOf(cls))
                return nullptr;
            rememberLocked(cls, key, path, item, true);
            evictLocked();
            return item;
        }
        generation = generations_[stripeOf(path)];
    }
    FileRead read = readFile(path);
    if (read.error) {
        if (read.error != ENOENT)
            BVLog("Failed to read cache file %@: %@", path, errnoText(read.error));
        return nullptr;
    }
    BVItemRef item = BVContentItem::unarchive(read.data, &cls);
    touch(path);
    if (!item)
        return nullptr;
    std::lock_guard lock(memcacheLock_);
    // A store or purge of the file while it was read makes this copy an old one.
    if (generations_[stripeOf(path)] == generation) {
        rememberLocked(cls, key, path, item, true);
        // Reads alone must not grow the map without bound.
        evictLocked();
    }
    return item;
}

void BVCacheFileBackend::purgeItemWithKey(const std::string& key, const BVItemClass& cls) {
    const std::string path = pathForItemWithKey(key, cls);
    {
        std::lock_guard lock(memcacheLock_);
        forgetLocked(cls, key);
        deferred_.erase(path);
        ++generations_[stripeOf(path)];
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
    auto content = openContentForAppend(key);
    if (!content)
        return false;
    if (offset != content->length) {
        BVLog(
            "BVCacheFileBackend.storeBinaryData error: Expected file offset %llu doesn't match "
            "real %llu.",
            offset, content->length);
        return false;
    }
    return appendContent(content->fd.get(), key, data, offset);
}

std::optional<BVCacheFileBackend::OpenContent> BVCacheFileBackend::openContentForAppend(
    const std::string& key) {
    std::string path = pathForBinaryItemWithKey(key);
    OpenContent content;
    content.fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!content.fd) {
        BVLog("Caught exception %@ in BVCacheFileBackend.storeBinaryData() with the reason %@",
              "BVCacheController", bv::format("Failed to open cache file %@ for writing.", path));
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(content.fd.get(), &st) != 0) {
        BVLog("Caught exception %@ in BVCacheFileBackend.storeBinaryData() with the reason %@",
              "BVCacheController", errnoText(errno));
        return std::nullopt;
    }
    content.length = uint64_t(st.st_size);
    if (content.length > 0) {
        const uint64_t last = (content.length - 1) / BVCacheChecksums::kBlockSize;
        const auto records =
            BVCacheChecksums::readRecords(content.fd.get(), checksumsBeside(path), last, 1);
        if (records.empty() ||
            records[0].length != content.length - last * BVCacheChecksums::kBlockSize) {
            // Appending behind bytes nobody can vouch for would make them look recorded.
            BVLog("Cached content %@ has %llu bytes without checksums; it is dropped", path,
                  content.length);
            if (::ftruncate(content.fd.get(), 0) != 0)
                return std::nullopt;
            content.length = 0;
        }
    }
    return content;
}

bool BVCacheFileBackend::appendContent(int fd, const std::string& key, const bv::Data& data,
                                       uint64_t offset) {
    const std::string path = pathForBinaryItemWithKey(key);
    const int fault = faultFor(Io::Write, path);
    size_t length = fault ? data.length() / 2 : data.length();
    bool ok = writeAll(fd, data.bytes(), length, off_t(offset));
    int saved = errno;
    if (ok && fault) {
        ok = false;
        saved = fault;
    }
    if (ok) {
        // After the bytes: a crash between the two leaves bytes unrecorded, which are then
        // never trusted, rather than a record vouching for bytes not written.
        if (BVCacheChecksums::recordAppend(fd, checksumsBeside(path), data.bytes(), data.length(),
                                           offset))
            return true;
        saved = errno;
    }
    // A torn append would put later pieces at the wrong offset.
    [[maybe_unused]] int truncated = ::ftruncate(fd, off_t(offset));
    BVLog("Caught exception %@ in BVCacheFileBackend.storeBinaryData() with the reason %@",
          "BVCacheController",
          bv::format("Failed to write cache file %@: %@", path, errnoText(saved)));
    return false;
}

bool BVCacheFileBackend::emptyContent(int fd, const std::string& key) {
    BVCacheChecksums::drop(fd, pathForChecksumsWithKey(key));
    if (::ftruncate(fd, 0) == 0)
        return true;
    BVLog("Failed to empty cache file %@: %@", pathForBinaryItemWithKey(key), errnoText(errno));
    return false;
}

bool BVCacheFileBackend::writeOutContent(int fd, const std::string& key) {
    ++fsyncCount_;
    if (::fdatasync(fd) == 0)
        return true;
    BVLog("Failed to write out cache file %@: %@", pathForBinaryItemWithKey(key), errnoText(errno));
    return false;
}

void BVCacheFileBackend::createContentFileIfMissing(const std::string& identifier) {
    const std::string path = pathForBinaryItemWithKey(identifier);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0)
        return;
    // Checksums left from an earlier content of the file describe other bytes.
    ::unlink(checksumsBeside(path).c_str());
    createEmptyIfMissing(path);
}

bv::Data BVCacheFileBackend::restoreBinaryDataOf(const BVContentItem& descriptor, uint64_t offset,
                                                 uint64_t size) {
    std::string path = pathForBinaryItemWithKey(descriptor.identifier);
    bv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throw BVCacheException("BVCacheController",
                               bv::format("Failed to open file %@ for reading.", path));
    // Taken before the length: the descriptor claims bytes only after they are written, so
    // what it claims then is in the file when its length is taken, however fast a download
    // appends meanwhile.
    uint64_t claimed = 0;
    if (descriptor.isKindOf(BVBinaryDataDescriptorItem::itemClass())) {
        const auto& d = static_cast<const BVBinaryDataDescriptorItem&>(descriptor);
        claimed = uint64_t(std::max<int64_t>(0, d.completedBytes.load()));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw BVCacheException("BVCacheController",
                               bv::format("Failed to read file %@: %@", path, errnoText(errno)));
    // The date orders the trim, least recently used first; a file read or written within the
    // last minute is recent enough, and a date written at every read of a sequential read
    // costs an inode update each.
    if (std::time(nullptr) - st.st_mtim.tv_sec >= kUseDateResolution) {
        struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
        ::futimens(fd.get(), times);
    }
    const uint64_t fileLength = uint64_t(st.st_size);
    // A cut file would end the reader's file early.
    if (claimed > fileLength)
        throw BVCacheDamagedException(
            "BVCacheController",
            bv::format("%@ holds %llu bytes, %llu were stored", path, fileLength, claimed));
    if (offset >= fileLength)
        return {};
    const uint64_t length = std::min<uint64_t>(size, fileLength - offset);
    // Whole blocks are read so that each can be checked against its checksum.
    constexpr uint64_t kBlock = BVCacheChecksums::kBlockSize;
    const uint64_t start = offset - offset % kBlock;
    uint64_t end = std::min<uint64_t>(fileLength, (offset + length + kBlock - 1) / kBlock * kBlock);
    const uint64_t blocks = (end - start + kBlock - 1) / kBlock;
    const auto records =
        BVCacheChecksums::readRecords(fd.get(), checksumsBeside(path), start / kBlock, blocks);
    // Records follow the bytes they cover, so the records read now, not the length seen
    // before, say where the checked bytes end: bytes appended while this read runs may lack
    // their records yet (unless the descriptor already claims them), at the tail or, when the
    // append crossed into a new block, before the end of the range; and at the tail a record
    // written since the length was taken covers bytes that are there already.
    const uint64_t recorded =
        records.empty() ? start : start + (records.size() - 1) * kBlock + records.back().length;
    if (recorded < end || (end == fileLength && recorded != end)) {
        end = recorded;
        if (claimed > end)
            throw BVCacheDamagedException(
                "BVCacheController", bv::format("%@: bytes from %llu have no checksum", path, end));
    }
    bv::Data data;
    data.resize(size_t(end - start));
    const int fault = faultFor(Io::Read, path);
    ssize_t got = readAll(fd.get(), data.mutableBytes(), fault ? data.length() / 2 : data.length(),
                          off_t(start));
    if (got < 0 || fault) {
        // Fewer bytes than asked for mean the end of the file to the reader; a failed read
        // must not look like one.
        throw BVCacheException("BVCacheController", bv::format("Failed to read file %@: %@", path,
                                                               errnoText(got < 0 ? errno : fault)));
    }
    if (uint64_t(got) != end - start)
        throw BVCacheDamagedException("BVCacheController",
                                      bv::format("%@ got shorter while it was read", path));
    const std::string problem =
        BVCacheChecksums::verify(data.bytes(), data.length(), start, fileLength, records);
    if (!problem.empty())
        throw BVCacheDamagedException("BVCacheController", bv::format("%@: %@", path, problem));
    if (offset >= end)
        return {};
    const uint64_t served = std::min(length, end - offset);
    if (start != offset || end != offset + served) {
        auto& bytes = data.vector();
        bytes.erase(bytes.begin(), bytes.begin() + std::ptrdiff_t(offset - start));
        bytes.resize(size_t(served));
    }
    return data;
}

void BVCacheFileBackend::purgeBinaryData(const std::string& key) {
    std::string path = pathForBinaryItemWithKey(key);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return;
    ::unlink(path.c_str());
    ::unlink(checksumsBeside(path).c_str());
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
        if (endsWith(files[i], ".binary"))
            ::unlink(checksumsBeside(files[i]).c_str());
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
