#include "UploadSessions.h"

#include <algorithm>

#include "Random.h"
#include "ServiceError.h"

namespace bvserver {

std::vector<std::unique_ptr<UploadBytes>> UploadSessions::expireLocked() {
    std::vector<std::unique_ptr<UploadBytes>> gone;
    int64_t now = clock_.now();
    for (auto it = uploads_.begin(); it != uploads_.end();) {
        Upload& up = it->second;
        if (!up.writing && !up.closing && now - up.lastActive > limits_.uploadIdleSeconds) {
            gone.push_back(std::move(up.bytes));
            it = uploads_.erase(it);
        } else {
            ++it;
        }
    }
    return gone;
}

void UploadSessions::discard(std::vector<std::unique_ptr<UploadBytes>> expired) {
    for (auto& bytes : expired)
        bytes->discard();
}

std::string UploadSessions::open(int64_t fileId, int64_t userId, int64_t ownerId) {
    std::vector<std::unique_ptr<UploadBytes>> expired;
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        expired = expireLocked();
        int64_t open = 0;
        for (const auto& [temp, up] : uploads_)
            open += up.userId == userId ? 1 : 0;
        full = open >= limits_.openUploadsPerAccount;
    }
    discard(std::move(expired));
    if (full)
        throw ServiceError(kTooManyRequests, "Too many open uploads");
    // The bytes start in memory; no file is made for them until they need one.
    std::string temp = randomHex(16);
    auto bytes = std::make_unique<UploadBytes>(content_.uploadPath(temp));
    std::lock_guard<std::mutex> lock(mutex_);
    uploads_[temp] =
        Upload{fileId, userId, ownerId, 0, 0, clock_.now(), false, false, std::move(bytes)};
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
    std::vector<std::unique_ptr<UploadBytes>> expired;
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
                chunk.bytes = up.bytes.get();
                up.reserved = chunk.limit;
                up.writing = true;
            }
        }
    }
    discard(std::move(expired));
    if (refusal)
        throw *refusal;
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

UploadSessions::Closing UploadSessions::beginClose(const std::string& tempLocation, int64_t fileId,
                                                   int64_t userId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Upload& up = findLocked(tempLocation, fileId, userId);
    if (up.closing || up.writing)
        throw ServiceError(kConflict, msg::kAlreadyProcessing);
    up.closing = true;
    return {up.received, up.bytes.get()};
}

void UploadSessions::endClose(const std::string& tempLocation, bool committed) {
    std::unique_ptr<UploadBytes> done;  // freed once the lock is released
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = uploads_.find(tempLocation);
    if (it == uploads_.end())
        return;
    if (committed) {
        done = std::move(it->second.bytes);
        uploads_.erase(it);
    } else {
        it->second.closing = false;
        it->second.lastActive = clock_.now();
    }
}

}  // namespace bvserver
