#include "UploadBytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace bvserver {

namespace {
bool writeAll(int fd, const char* data, size_t len, int64_t offset) {
    while (len > 0) {
        ssize_t n = ::pwrite(fd, data, len, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}
}  // namespace

UploadBytes::~UploadBytes() {
    endWrites();
}

bool UploadBytes::write(int64_t offset, const char* data, size_t size) {
    if (!inFile_) {
        const auto end = static_cast<size_t>(offset) + size;
        if (end <= static_cast<size_t>(kMemoryLimit)) {
            if (memory_.capacity() < end) {
                // Doubling, but never past the limit: a buffer is not kept larger than that.
                memory_.reserve(std::min(static_cast<size_t>(kMemoryLimit),
                                         std::max(end, 2 * memory_.capacity())));
            }
            if (memory_.size() < end)
                memory_.resize(end);
            if (size > 0)
                std::memcpy(memory_.data() + offset, data, size);
            return true;
        }
        if (!moveToFile())
            return false;
    }
    if (fd_ < 0 && !openFile(false))
        return false;
    return writeAll(fd_, data, size, offset);
}

bool UploadBytes::openFile(bool create) {
    int flags = O_WRONLY | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0);
    fd_ = ::open(file_.c_str(), flags, 0600);
    return fd_ >= 0;
}

bool UploadBytes::moveToFile() {
    if (!openFile(true))
        return false;
    if (!writeAll(fd_, memory_.data(), memory_.size(), 0)) {
        int saved = errno;
        endWrites();
        ::unlink(file_.c_str());
        errno = saved;
        return false;
    }
    std::string().swap(memory_);
    inFile_ = true;
    return true;
}

void UploadBytes::startWriteBack(int64_t offset, int64_t size) {
    if (fd_ >= 0)
        ::sync_file_range(fd_, offset, size, SYNC_FILE_RANGE_WRITE);
}

void UploadBytes::endWrites() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void UploadBytes::truncate(int64_t size) {
    if (!inFile_) {
        if (memory_.size() > static_cast<size_t>(size))
            memory_.resize(static_cast<size_t>(size));
        return;
    }
    if (::truncate(file_.c_str(), size) != 0)
        throw std::system_error(errno, std::generic_category(), "truncate upload");
}

void UploadBytes::discard() {
    endWrites();
    if (inFile_)
        ::unlink(file_.c_str());
    inFile_ = false;
    std::string().swap(memory_);
}

}  // namespace bvserver
