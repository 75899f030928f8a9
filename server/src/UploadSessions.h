#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "ContentStore.h"

namespace bvserver {

// Open uploads, by temporary location. Chunks must arrive in order: each at the offset
// equal to the bytes received so far, one at a time; a close runs once. Open uploads live
// in memory only: after a restart a client starts its upload again.
class UploadSessions {
  public:
    explicit UploadSessions(ContentStore& content) : content_(content) {}

    // Starts an upload of `fileId` by `userId`; answers its temporary location.
    std::string open(int64_t fileId, int64_t userId);

    // Reserves the upload for one chunk at `offset`; answers the open file to write to
    // (owned by the caller). Throws the offset refusal when offset != bytes received.
    int beginChunk(const std::string& tempLocation, int64_t fileId, int64_t userId, int64_t offset);
    // Ends the chunk; `written` bytes count only when `ok`.
    void endChunk(const std::string& tempLocation, int64_t written, bool ok);

    // Reserves the upload for its close; answers the bytes received. Throws the
    // "already being processed" refusal while another close runs.
    int64_t beginClose(const std::string& tempLocation, int64_t fileId, int64_t userId);
    // Ends the close: a committed upload is forgotten, a failed one may be closed again.
    void endClose(const std::string& tempLocation, bool committed);

  private:
    struct Upload {
        int64_t fileId = 0;
        int64_t userId = 0;
        int64_t received = 0;
        bool writing = false;
        bool closing = false;
    };
    Upload& findLocked(const std::string& tempLocation, int64_t fileId, int64_t userId);

    ContentStore& content_;
    std::mutex mutex_;                       // guards uploads_
    std::map<std::string, Upload> uploads_;  // by temporary location
};

}  // namespace bvserver
