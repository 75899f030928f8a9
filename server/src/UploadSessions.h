#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ContentStore.h"
#include "ServiceClock.h"
#include "ServiceLimits.h"
#include "UploadBytes.h"

namespace bvserver {

// Open uploads, by temporary location. Chunks must arrive in order: each at the offset
// equal to the bytes received so far, one at a time; a close runs once. Open uploads live
// in memory only (their bytes too, until they outgrow UploadBytes::kMemoryLimit): after a
// restart a client starts its upload again. An upload that gets no chunk for
// limits.uploadIdleSeconds ends and its bytes are removed; one user keeps at most
// limits.openUploadsPerAccount uploads open, and the bytes of every open upload count
// against the storage of the account that owns the file.
class UploadSessions {
  public:
    UploadSessions(ContentStore& content, const ServiceClock& clock, const ServiceLimits& limits)
        : content_(content), clock_(clock), limits_(limits) {}

    // Starts an upload of `fileId` (a file of the account `ownerId`) by `userId`; answers
    // its temporary location. Throws 429 when the user has too many uploads open.
    std::string open(int64_t fileId, int64_t userId, int64_t ownerId);

    struct Chunk {
        // Where the chunk's bytes go; only the caller touches them until endChunk, and ends
        // its writes (UploadBytes::endWrites) before that.
        UploadBytes* bytes = nullptr;
        int64_t limit = 0;  // bytes the chunk may hold before the owner's storage is full
    };
    // Reserves the upload for one chunk at `offset`. `room` is what the owner's storage can
    // take for the finished file (free bytes plus the file's current size); the bytes of
    // the owner's other open uploads and of this one so far are taken from it. Throws the
    // offset refusal when offset != bytes received, and the storage refusal when a declared
    // chunk size does not fit.
    Chunk beginChunk(const std::string& tempLocation, int64_t fileId, int64_t userId,
                     int64_t offset, int64_t room, std::optional<int64_t> declared);
    // Ends the chunk; `written` bytes count only when `ok`.
    void endChunk(const std::string& tempLocation, int64_t written, bool ok);

    struct Closing {
        int64_t received = 0;
        UploadBytes* bytes = nullptr;  // only the caller touches them until endClose
    };
    // Reserves the upload for its close; answers the bytes received. Throws the
    // "already being processed" refusal while another close runs.
    Closing beginClose(const std::string& tempLocation, int64_t fileId, int64_t userId);
    // Ends the close: a committed upload is forgotten, a failed one may be closed again.
    void endClose(const std::string& tempLocation, bool committed);

  private:
    struct Upload {
        int64_t fileId = 0;
        int64_t userId = 0;
        int64_t ownerId = 0;
        int64_t received = 0;
        int64_t reserved = 0;  // the limit of the chunk being written
        int64_t lastActive = 0;
        bool writing = false;
        bool closing = false;
        std::unique_ptr<UploadBytes> bytes;
    };
    Upload& findLocked(const std::string& tempLocation, int64_t fileId, int64_t userId);
    // Forgets the idle uploads; answers their bytes, which the caller discards once the lock
    // is released.
    std::vector<std::unique_ptr<UploadBytes>> expireLocked();
    static void discard(std::vector<std::unique_ptr<UploadBytes>> expired);

    ContentStore& content_;
    const ServiceClock& clock_;
    const ServiceLimits& limits_;
    std::mutex mutex_;                       // guards uploads_
    std::map<std::string, Upload> uploads_;  // by temporary location
};

}  // namespace bvserver
