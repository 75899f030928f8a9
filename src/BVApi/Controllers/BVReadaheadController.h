#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "platform/Data.h"
#include "platform/Error.h"

class BVContentController;

// The memory window of one open file handle: turns the file-system layer's many small
// sequential reads into cache reads of kStep bytes, keeping kKeptBehind bytes before the
// last read position, so that reads arriving slightly out of order are served from memory.
// One handle calls it from one thread at a time; it has no lock.
//
// A read of its handle shares the failure that another read of the file gave up with
// (BVReadFailureBoard) while it was under way or shortly before it began, so that it does not
// spend the retries again; a read that begins later tries afresh.
class BVReadaheadController {
  public:
    static constexpr uint64_t kStep = 524288;
    static constexpr uint64_t kKeptBehind = 131072;
    static constexpr double kFillDeadline = 30;
    static constexpr int kAttempts = 3;

    struct Range {
        uint64_t location = 0;
        uint64_t length = 0;
    };

    // content and clock unset: the process-wide content controller, the system clock.
    explicit BVReadaheadController(std::string path, BVContentController* content = nullptr,
                                   std::shared_ptr<bv::Clock> clock = nullptr);

    // At most range.length bytes from range.location (fewer at the end of the file); empty
    // when a fill took longer than kFillDeadline; nothing when the file cannot be read.
    std::optional<bv::Data> request(Range range);
    // request() into out, which has room for range.length bytes: the count copied (0 at the
    // end of the file or on a time-out), nothing when the file cannot be read. Spares the
    // file-system layer a copy of every byte.
    std::optional<uint64_t> requestInto(Range range, uint8_t* out);
    // The board's mark for a read that begins now (on this controller's clock): the failures
    // noted after it are those the read shares.
    uint64_t failureMark() const;
    // The failure a read of the file gave up with after the mark, while it stands. Safe beside
    // a running request (it reads no window state).
    std::optional<bv::Error> standingFailure(uint64_t since) const;
    // A read of this handle gave up with the error, its retries spent: the reads of the file
    // under way now, on every handle, share it.
    void gaveUp(const bv::Error& error) const;
    // 0 filled up to end, -1 failed, -2 timed out.
    int64_t fillBufferTo(uint64_t end);
    bv::Data dataForRange(Range range) const;
    void cleanupBufferFrom(uint64_t location);
    void cleanupBufferCompletely();

    const std::string& path() const { return path_; }
    uint64_t offset() const { return offset_; }
    uint64_t bufferLength() const { return windowLength(); }
    // Cache reads made so far (each of at most kStep bytes).
    uint64_t cacheReads() const { return cacheReads_; }

  private:
    // Places the window over range and fills it: fillBufferTo's answer.
    int64_t prepare(Range range);
    // The part of range the window holds, copied to out (which has room for it); its length.
    uint64_t copyFromWindow(Range range, uint8_t* out) const;
    uint64_t lengthInWindow(Range range) const;
    // Whether the file is whole in the cache and ends at or before position.
    bool atEndOfFile(uint64_t position);
    uint64_t windowEnd() const { return chunksStart_ + chunksLength_; }
    uint64_t windowLength() const { return windowEnd() - offset_; }
    // Empties the window and places its start at location.
    void restartAt(uint64_t location);

    std::string path_;
    // The window is the bytes of the cache reads still kept, in file order, from offset_ on:
    // each read is kept as it came, so filling copies nothing and dropping the bytes behind
    // moves nothing.
    std::deque<bv::Data> chunks_;
    uint64_t chunksStart_ = 0;   // file offset of the first kept byte (<= offset_)
    uint64_t chunksLength_ = 0;  // bytes in chunks_
    uint64_t offset_ = 0;
    BVContentController* content_;
    std::shared_ptr<bv::Clock> clock_;
    uint64_t cacheReads_ = 0;
};
