#include "UploadSessions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "Random.h"
#include "ServiceError.h"

namespace bvserver {

std::vector<std::string> UploadSessions::expireLocked() {
    std::vector<std::string> gone;
    int64_t now = clock_.now();
    for (auto it = uploads_.begin(); it != uploads_.end();) {
        const Upload& up = it->second;
        if (!up.writing && !up.closing && now - up.lastActive > limits_.uploadIdleSeconds) {
            gone.push_back(it->first);
            it = uploads_.erase(it);
        } else {
            ++it;
        }
    }
    return gone;
}

void UploadSessions::removeFiles(const std::vector<std::string>& tempLocations) {
    for (const auto& temp : tempLocations)
        content_.removeUpload(temp);
}

std::string UploadSessions::open(int64_t fileId, int64_t userId, int64_t ownerId) {
    std::vector<std::string> expired;
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        expired = expireLocked();
        int64_t open = 0;
        for (const auto& [temp, up] : uploads_)
            open += up.userId == userId ? 1 : 0;
        full = open >= limits_.openUploadsPerAccount;
    }
    removeFiles(expired);
    if (full)
        throw ServiceError(kTooManyRequests, "Too many open uploads");
    std::string temp = randomHex(16);
    int fd =
        ::open(content_.uploadPath(temp).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "create upload file");
    ::close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    uploads_[temp] = Upload{fileId, userId, ownerId, 0, 0, clock_.now(), false, false};
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

UploadSessions::Chunk UploadSessions::beginChunk(const std::string& tempLocation, int64_t fileId,
                                                 int64_t userId, int64_t offset, int64_t room,
                                                 std::optional<int64_t> declared) {
    std::vector<std::string> expired;
    Chunk chunk;
    std::optional<ServiceError> refusal;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        expired = expireLocked();
        auto it = uploads_.find(tempLocation);
        if (it == uploads_.end() || it->second.fileId != fileId || it->second.userId != userId) {
            refusal = ServiceError(kNotFound, "Upload not found");
        } else if (Upload& up = it->second; up.closing) {
            refusal = ServiceError(kConflict, msg::kAlreadyProcessing);
        } else if (up.writing || offset != up.received) {
            refusal = ServiceError(
                kConflict, "Incorrect chunk offset: uploaded=" + std::to_string(up.received) +
                               ", expected=" + std::to_string(offset));
        } else {
            int64_t limit = room - up.received;
            for (const auto& [temp, other] : uploads_) {
                if (temp != tempLocation && other.ownerId == up.ownerId)
                    limit -= other.received + (other.writing ? other.reserved : 0);
            }
            limit = std::max<int64_t>(limit, 0);
            if (declared && *declared > limit) {
                refusal = ServiceError(kStorageFull, msg::kStorageFull);
            } else {
                // Parallel chunks of one account each hold what they declared.
                chunk.limit = declared ? *declared : limit;
                up.reserved = chunk.limit;
                up.writing = true;
            }
        }
    }
    removeFiles(expired);
    if (refusal)
        throw *refusal;
    chunk.fd = ::open(content_.uploadPath(tempLocation).c_str(), O_WRONLY | O_CLOEXEC);
    if (chunk.fd < 0) {
        int saved = errno;
        endChunk(tempLocation, 0, false);
        throw std::system_error(saved, std::generic_category(), "open upload file");
    }
    return chunk;
}

void UploadSessions::endChunk(const std::string& tempLocation, int64_t written, bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = uploads_.find(tempLocation);
    if (it == uploads_.end())
        return;
    if (ok)
        it->second.received += written;
    it->second.writing = false;
    it->second.reserved = 0;
    it->second.lastActive = clock_.now();
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
        it->second.lastActive = clock_.now();
    }
}

}  // namespace bvserver
