#include "UploadSessions.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

#include "Random.h"
#include "ServiceError.h"

namespace bvserver {

std::string UploadSessions::open(int64_t fileId, int64_t userId) {
    std::string temp = randomHex(16);
    int fd =
        ::open(content_.uploadPath(temp).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "create upload file");
    ::close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    uploads_[temp] = Upload{fileId, userId, 0, false, false};
    return temp;
}

UploadSessions::Upload& UploadSessions::findLocked(const std::string& tempLocation, int64_t fileId,
                                                   int64_t userId) {
    auto it = uploads_.find(tempLocation);
    if (it == uploads_.end() || it->second.fileId != fileId || it->second.userId != userId) {
        throw ServiceError(kNotFound, "Upload not found");
    }
    return it->second;
}

int UploadSessions::beginChunk(const std::string& tempLocation, int64_t fileId, int64_t userId,
                               int64_t offset) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Upload& up = findLocked(tempLocation, fileId, userId);
        if (up.closing)
            throw ServiceError(kConflict, msg::kAlreadyProcessing);
        if (up.writing || offset != up.received) {
            throw ServiceError(kConflict,
                               "Incorrect chunk offset: uploaded=" + std::to_string(up.received) +
                                   ", expected=" + std::to_string(offset));
        }
        up.writing = true;
    }
    int fd = ::open(content_.uploadPath(tempLocation).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        endChunk(tempLocation, 0, false);
        throw std::system_error(errno, std::generic_category(), "open upload file");
    }
    return fd;
}

void UploadSessions::endChunk(const std::string& tempLocation, int64_t written, bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = uploads_.find(tempLocation);
    if (it == uploads_.end())
        return;
    if (ok)
        it->second.received += written;
    it->second.writing = false;
}

int64_t UploadSessions::beginClose(const std::string& tempLocation, int64_t fileId,
                                   int64_t userId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Upload& up = findLocked(tempLocation, fileId, userId);
    if (up.closing || up.writing)
        throw ServiceError(kConflict, msg::kAlreadyProcessing);
    up.closing = true;
    return up.received;
}

void UploadSessions::endClose(const std::string& tempLocation, bool committed) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = uploads_.find(tempLocation);
    if (it == uploads_.end())
        return;
    if (committed) {
        uploads_.erase(it);
    } else {
        it->second.closing = false;
    }
}

}  // namespace bvserver
