#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/Data.h"
#include "platform/Error.h"

// The two seams through which the volume moves file contents. The read-ahead reader and the
// upload controllers implement them; the volume knows nothing else about transfers.

// Reads one open file of the service. A read of the volume takes a failure mark when it
// begins and hands it to every call it makes: a failure that another read of the file gave up
// with after that mark is this read's too.
class BVFileReader {
  public:
    virtual ~BVFileReader() = default;
    // Up to size bytes from offset: fewer at the end of the file, none past it. An empty
    // answer is the end of the file (also the reader's own time limit); nothing is a failure,
    // with the error.
    virtual std::optional<bv::Data> read(uint64_t offset, uint64_t size, uint64_t since,
                                         bv::Error* error) = 0;
    // read() into buffer, which has room for size bytes: the count, 0 at the end of the file.
    virtual std::optional<uint64_t> readInto(uint64_t offset, uint64_t size, uint64_t since,
                                             char* buffer, bv::Error* error) {
        auto bytes = read(offset, size, since, error);
        if (!bytes)
            return std::nullopt;
        const uint64_t length = std::min<uint64_t>(size, bytes->size());
        if (length > 0)
            std::memcpy(buffer, bytes->bytes(), length);
        return length;
    }
    // The mark for a read that begins now.
    virtual uint64_t failureMark() { return 0; }
    // The failure another read of the file gave up with after the mark, while it stands: the
    // read then fails at once with it instead of running its own retries. May be called beside
    // a running read.
    virtual std::optional<bv::Error> standingFailure(uint64_t) { return std::nullopt; }
    // A read of this handle gave up with the error after its retries.
    virtual void gaveUp(const bv::Error&) {}
};

// Writes one file of the service. Opened lazily: the first read, write or truncate opens it.
// One writer serves every handle open for writing on its path; its owner serialises calls.
class BVFileWriter {
  public:
    virtual ~BVFileWriter() = default;
    virtual bool opened() const = 0;
    virtual bool open(bv::Error* error) = 0;
    // What will be uploaded, read back (programs that open read-write read their own writes).
    virtual std::optional<bv::Data> read(uint64_t offset, uint64_t size, bv::Error* error) = 0;
    // The bytes are the caller's: taken before the call returns.
    virtual bool write(uint64_t offset, const char* bytes, size_t size, bv::Error* error) = 0;
    // Cuts or extends (with zeros) what will be uploaded.
    virtual bool truncate(uint64_t size, bv::Error* error) = 0;
    // The size of what will be uploaded, once opened.
    virtual std::optional<uint64_t> size() const = 0;
    // Returns when everything written so far is at the service (or durably recorded for it);
    // false with the error when it is not.
    virtual bool flush(bv::Error* error) = 0;
    // flush, then lets go of every local resource. Called once, at the last release.
    virtual bool close(bv::Error* error) = 0;
};

// How a writing open treats the service file's current content.
enum class BVWriteStart {
    Created,    // just created empty at the service: nothing to upload until written
    Empty,      // the service file is empty: nothing to fetch
    Truncated,  // opened with O_TRUNC or cut to 0: starts empty and is uploaded even unwritten
    Existing,   // keeps the current content: fetched before the first change
};
