// The contents half of BVDriveFS: handles, reads, writes and the open writers.
#include <cerrno>
#include <cstring>

#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Controllers/BVSatellitesController.h"
#include "DriveFS/BVDriveFS.h"
#include "DriveFS/BVDriveFSErrors.h"
#include "DriveFS/BVUploadStartCounter.h"
#include "app/Logging/BVLogging.h"

namespace {
constexpr unsigned kProcessThumbnailer = 0;
constexpr unsigned kProcessSystemService = 1;
}  // namespace

std::shared_ptr<BVDriveFS::OpenWriter> BVDriveFS::attachWriter(const std::string& path,
                                                               BVWriteStart start) {
    std::lock_guard<std::mutex> guard(writersLock_);
    auto& entry = writers_[path];
    if (!entry) {
        entry = std::make_shared<OpenWriter>();
        entry->writer = options_.writers(path, start);
    }
    ++entry->handles;
    return entry;
}

std::shared_ptr<BVDriveFS::OpenWriter> BVDriveFS::openWriterAt(const std::string& path) {
    std::lock_guard<std::mutex> guard(writersLock_);
    auto found = writers_.find(path);
    return found == writers_.end() ? nullptr : found->second;
}

void BVDriveFS::detachWriter(const std::string& path, bool* last) {
    std::lock_guard<std::mutex> guard(writersLock_);
    auto found = writers_.find(path);
    *last = found != writers_.end() && --found->second->handles == 0;
    if (*last)
        writers_.erase(found);
}

std::unique_ptr<BVDriveFSHandle> BVDriveFS::readingHandle(const std::string& path,
                                                          bv::Error* error) {
    auto handle = std::make_unique<BVDriveFSHandle>();
    handle->path = path;
    switch (satellites()->testCallingProcess()) {
        case kProcessThumbnailer:
            if (!BVSatellitesController::openThumbnailAt(path)) {
                bv::setError(error, BVDriveFSErrors::posixError(EIO));
                return nullptr;
            }
            handle->kind = BVDriveFSHandle::Kind::Satellites;
            return handle;
        case kProcessSystemService:
            bv::setError(error, BVDriveFSErrors::posixError(EIO));
            return nullptr;
        default:
            break;
    }
    if (BVTmpController::shouldIncludePath(path)) {
        handle->kind = BVDriveFSHandle::Kind::TmpStore;
        return handle;
    }
    handle->kind = BVDriveFSHandle::Kind::Readahead;
    handle->reader = options_.readers(path);
    return handle;
}

std::unique_ptr<BVDriveFSHandle> BVDriveFS::openFileAtPath(const std::string& path, bool writing,
                                                           bool truncate, bv::Error* error) {
    if (!writing)
        return readingHandle(path, error);
    auto handle = std::make_unique<BVDriveFSHandle>();
    handle->path = path;
    if (BVTmpController::shouldIncludePath(path)) {
        if (!tmp()->fileExistsAt(path)) {
            bv::Error none;
            fillPosixError(&none);
            bv::setError(error, none);
            return nullptr;
        }
        handle->kind = BVDriveFSHandle::Kind::TmpStore;
        if (truncate)
            setSize(path, handle.get(), 0, nullptr);
        return handle;
    }
    const bool empty = truncate || content().isFileEmptyAt(path);
    handle->kind =
        empty ? BVDriveFSHandle::Kind::EmptyFileWriter : BVDriveFSHandle::Kind::StagingWriter;
    const BVWriteStart start = truncate ? BVWriteStart::Truncated
                               : empty  ? BVWriteStart::Empty
                                        : BVWriteStart::Existing;
    auto open = attachWriter(path, start);
    handle->writer = open->writer;
    if (truncate) {
        // A writer already open on the path (another handle) is cut as well.
        std::lock_guard<std::mutex> guard(open->lock);
        if (open->writer->opened() && !open->writer->truncate(0, error)) {
            releaseFileAtPath(path, std::move(handle));
            fillPosixError(error);
            return nullptr;
        }
    }
    return handle;
}

std::unique_ptr<BVDriveFSHandle> BVDriveFS::createFileAtPath(const std::string& path,
                                                             bv::Error* error) {
    if (!checkNewName(path, kBlankFileMessage, error))
        return nullptr;
    auto& counter = uploadStartCounter();
    const unsigned recent = counter.value();
    BVLog("createFileAtPath:  uSC = %i", recent);
    if (recent > kCreateThrottleCount) {
        BVLog("createFileAtPath:  going to sleep");
        options_.clock->sleepFor(kCreateThrottleDelay);
        BVLog("createFileAtPath:  awaken");
    }
    auto handle = std::make_unique<BVDriveFSHandle>();
    handle->path = path;
    bool created;
    if (BVTmpController::shouldIncludePath(path)) {
        handle->kind = BVDriveFSHandle::Kind::TmpStore;
        created = tmp()->createFileAt(path, error);
    } else {
        handle->kind = BVDriveFSHandle::Kind::EmptyFileWriter;
        created = manage().createFileAt(BVVolumePath::parent(path),
                                        BVVolumePath::lastComponent(path), error);
        if (created)
            handle->writer = attachWriter(path, BVWriteStart::Created)->writer;
    }
    if (!created) {
        fillPosixError(error);
        return nullptr;
    }
    BVLog("createFileAtPath new:  going to increment");
    counter.incrementUploadStartCounter();
    return handle;
}

std::optional<bv::Data> BVDriveFS::readOnce(BVDriveFSHandle& handle, uint64_t offset, size_t size,
                                            bv::Error* error) {
    switch (handle.kind) {
        case BVDriveFSHandle::Kind::Satellites: {
            auto bytes = satellites()->readThumbnailAt(handle.path, offset, size, error);
            if (bytes.empty())
                return std::nullopt;
            return bytes;
        }
        case BVDriveFSHandle::Kind::TmpStore:
            return tmp()->readFileAt(handle.path, offset, size, error);
        case BVDriveFSHandle::Kind::Readahead:
            return handle.reader->read(offset, size, handle.reader->failureMark(), error);
        case BVDriveFSHandle::Kind::EmptyFileWriter:
        case BVDriveFSHandle::Kind::StagingWriter: {
            auto open = openWriterAt(handle.path);
            if (!open)
                return std::nullopt;
            std::lock_guard<std::mutex> guard(open->lock);
            return open->writer->read(offset, size, error);
        }
    }
    return std::nullopt;
}

int64_t BVDriveFS::readFileAtPath(const std::string&, BVDriveFSHandle& handle, char* buffer,
                                  size_t size, uint64_t offset, bv::Error* error) {
    // Once a read of the file has spent its retries, the reads under way beside it on the
    // open handles, and those that begin shortly after, fail with its failure instead of
    // spending them again; a read that begins later tries afresh, so that a program keeping
    // the file open recovers with the service.
    const uint64_t since = handle.reader ? handle.reader->failureMark() : 0;
    bool shared = false;
    auto standing = [&] {
        auto failure = handle.reader ? handle.reader->standingFailure(since) : std::nullopt;
        if (failure) {
            shared = true;
            bv::setError(error, *failure);
        }
        return failure.has_value();
    };
    // The read-ahead window copies straight into the caller's buffer.
    auto once = [&]() -> std::optional<uint64_t> {
        if (handle.kind == BVDriveFSHandle::Kind::Readahead)
            return handle.reader->readInto(offset, size, since, buffer, error);
        auto bytes = readOnce(handle, offset, size, error);
        if (!bytes)
            return std::nullopt;
        const size_t length = std::min(size, bytes->size());
        if (length > 0)
            std::memcpy(buffer, bytes->bytes(), length);
        return length;
    };
    auto length = once();
    for (int attempt = 1; !length && attempt <= kReadRetries && !standing(); ++attempt) {
        BVLog("Sleep 5 in readFile in %x", reinterpret_cast<uintptr_t>(&handle));
        options_.clock->sleepFor(kReadRetryDelay);
        BVLog("Slept 5 in readFile in %x", reinterpret_cast<uintptr_t>(&handle));
        if (standing())
            break;
        length = once();
        if (length)
            BVLog("Broke out of readFile loop with success on %i in @x", attempt);
    }
    if (!length) {
        if (handle.reader && !shared)
            handle.reader->gaveUp(error ? *error : bv::Error());
        fillPosixError(error, handle.kind != BVDriveFSHandle::Kind::Satellites);
        return -1;
    }
    return static_cast<int64_t>(*length);
}

int64_t BVDriveFS::writeFileAtPath(const std::string&, BVDriveFSHandle& handle, const char* buffer,
                                   size_t size, uint64_t offset, bv::Error* error) {
    if (handle.kind == BVDriveFSHandle::Kind::TmpStore) {
        bv::Error ignored;
        tmp()->writeFileAt(handle.path, offset, bv::Data(buffer, size), &ignored);
        return static_cast<int64_t>(size);
    }
    if (handle.isWriter()) {
        auto open = openWriterAt(handle.path);
        if (open) {
            std::lock_guard<std::mutex> guard(open->lock);
            // Straight from the kernel's buffer: the writer copies what it keeps.
            if (open->writer->write(offset, buffer, size, error))
                return static_cast<int64_t>(size);
        }
    }
    fillPosixError(error);
    return -1;
}

bool BVDriveFS::flushFileAtPath(const std::string&, BVDriveFSHandle& handle, bv::Error* error) {
    if (!handle.isWriter())
        return true;
    auto open = openWriterAt(handle.path);
    if (!open)
        return true;
    std::lock_guard<std::mutex> guard(open->lock);
    return open->writer->flush(error) || fillPosixError(error);
}

void BVDriveFS::releaseFileAtPath(const std::string&, std::unique_ptr<BVDriveFSHandle> handle) {
    if (!handle || !handle->isWriter())
        return;
    auto open = openWriterAt(handle->path);
    bool last = false;
    detachWriter(handle->path, &last);
    if (!last || !open)
        return;
    bv::Error error;
    std::lock_guard<std::mutex> guard(open->lock);
    if (!open->writer->close(&error))
        BVLog("Upload of %@ did not finish at release: %@", handle->path, error.description());
}

uint64_t BVDriveFS::adoptHandle(std::unique_ptr<BVDriveFSHandle> handle) {
    const auto number = reinterpret_cast<uint64_t>(handle.get());
    std::lock_guard<std::mutex> guard(handlesLock_);
    handles_[number] = std::move(handle);
    return number;
}

BVDriveFSHandle* BVDriveFS::handleFor(uint64_t number) {
    std::lock_guard<std::mutex> guard(handlesLock_);
    auto found = handles_.find(number);
    return found == handles_.end() ? nullptr : found->second.get();
}

std::unique_ptr<BVDriveFSHandle> BVDriveFS::takeHandle(uint64_t number) {
    std::lock_guard<std::mutex> guard(handlesLock_);
    auto found = handles_.find(number);
    if (found == handles_.end())
        return nullptr;
    auto handle = std::move(found->second);
    handles_.erase(found);
    return handle;
}

void BVDriveFS::releaseOpenHandles() {
    std::map<uint64_t, std::unique_ptr<BVDriveFSHandle>> left;
    {
        std::lock_guard<std::mutex> guard(handlesLock_);
        left.swap(handles_);
    }
    if (!left.empty())
        BVLog("Releasing %lu files still open at the end of the mount", left.size());
    for (auto& [number, handle] : left) {
        const std::string path = handle->path;
        releaseFileAtPath(path, std::move(handle));
    }
}
