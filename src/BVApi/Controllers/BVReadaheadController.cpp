#include "BVApi/Controllers/BVReadaheadController.h"

#include <algorithm>
#include <cstring>

#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVReadFailureBoard.h"
#include "app/Logging/BVLogging.h"

BVReadaheadController::BVReadaheadController(std::string path, BVContentController* content,
                                             std::shared_ptr<bv::Clock> clock)
    : path_(std::move(path)),
      content_(content ? content : BVContentController::sharedController()),
      clock_(clock ? std::move(clock) : bv::Clock::system()) {}

int64_t BVReadaheadController::prepare(Range range) {
    // The kernel sends the reads of one file from several threads at once, so they come in
    // slightly out of order: a read inside the window, the bytes kept behind included, is
    // served from it. A read outside it starts the window again at the read, never at the
    // start of the file: going back to 0 would read everything before the read again into
    // memory (measured: three times the file for one sequential read of 256 MiB), and so
    // would filling up to a read far ahead of the window.
    if (range.location < offset_ || range.location > windowEnd() + kStep)
        restartAt(range.location);
    const uint64_t end = range.location + range.length;
    if (windowEnd() < end)
        return fillBufferTo(end);
    return 0;
}

std::optional<bv::Data> BVReadaheadController::request(Range range) {
    switch (prepare(range)) {
        case -1:
            return std::nullopt;
        case -2:
            return bv::Data();
        default:
            break;
    }
    bv::Data data = dataForRange(range);
    cleanupBufferFrom(range.location);
    return data;
}

std::optional<uint64_t> BVReadaheadController::requestInto(Range range, uint8_t* out) {
    switch (prepare(range)) {
        case -1:
            return std::nullopt;
        case -2:
            return 0;
        default:
            break;
    }
    const uint64_t length = copyFromWindow(range, out);
    cleanupBufferFrom(range.location);
    return length;
}

int64_t BVReadaheadController::fillBufferTo(uint64_t end) {
    const double started = clock_->monotonic();
    while (windowEnd() < end) {
        if (clock_->monotonic() > started + kFillDeadline) {
            BVLog("Fill read buffer timeout for path: %@", path_);
            return -2;
        }
        std::optional<bv::Data> bytes;
        for (int attempt = 1;; ++attempt) {
            ++cacheReads_;
            const uint64_t at = windowEnd();
            bytes = content_->readFileAt(path_, at, kStep, nullptr);
            if (bytes && !bytes->empty())
                break;
            // The window holds the end of the file: a request past it comes back short.
            if (bytes && atEndOfFile(at))
                return 0;
            clock_->sleepFor(1);
            if (attempt == kAttempts) {
                BVLog("RA: READ FAILED in %x", static_cast<unsigned>(windowEnd()));
                return -1;
            }
            BVLog(attempt == 1 ? "readFileAt fail 1" : "readFileAt fail 2");
        }
        BVLog("RA: READ %llu bytes, new buffer len %llu", uint64_t(bytes->length()),
              uint64_t(windowLength()));
        chunksLength_ += bytes->length();
        chunks_.push_back(std::move(*bytes));
    }
    return 0;
}

uint64_t BVReadaheadController::failureMark() const {
    return BVReadFailureBoard::shared().mark(clock_->monotonic());
}

std::optional<bv::Error> BVReadaheadController::standingFailure(uint64_t since) const {
    auto& board = BVReadFailureBoard::shared();
    if (board.empty())
        return std::nullopt;
    // From the cache only: the service may be the thing that stopped answering.
    auto identifier = content_->identifierForFileAt(path_, true);
    return identifier ? board.standing(*identifier, since) : std::nullopt;
}

void BVReadaheadController::gaveUp(const bv::Error& error) const {
    if (auto identifier = content_->identifierForFileAt(path_, true)) {
        BVLog("Reads of %@ gave up; the reads of the file under way share the failure", path_);
        BVReadFailureBoard::shared().note(*identifier, error, clock_->monotonic());
    }
}

bool BVReadaheadController::atEndOfFile(uint64_t position) {
    auto descriptor = content_->downloadFileAt(path_, position, nullptr);
    return descriptor && descriptor->isCompleted() &&
           uint64_t(descriptor->completedBytes.load()) <= position;
}

uint64_t BVReadaheadController::lengthInWindow(Range range) const {
    const uint64_t r = range.location >= offset_ ? range.location - offset_ : windowLength();
    uint64_t length = range.length;
    if (windowLength() < r + length)
        length = r < windowLength() ? windowLength() - r : 0;
    return length;
}

uint64_t BVReadaheadController::copyFromWindow(Range range, uint8_t* out) const {
    const uint64_t length = lengthInWindow(range);
    BVLog("[BVReadaheadController dataForRange] buffer length: %llu", uint64_t(windowLength()));
    BVLog("range.location: %lu, range.length: %lu", static_cast<unsigned long>(range.location),
          static_cast<unsigned long>(range.length));
    uint64_t at = range.location;
    uint64_t copied = 0;
    uint64_t chunkStart = chunksStart_;
    for (const bv::Data& chunk : chunks_) {
        if (copied == length)
            break;
        const uint64_t chunkEnd = chunkStart + chunk.length();
        if (at < chunkEnd) {
            const uint64_t n = std::min(length - copied, chunkEnd - at);
            std::memcpy(out + copied, chunk.bytes() + (at - chunkStart), n);
            copied += n;
            at += n;
        }
        chunkStart = chunkEnd;
    }
    return copied;
}

bv::Data BVReadaheadController::dataForRange(Range range) const {
    bv::Data data;
    data.resize(lengthInWindow(range));
    data.resize(copyFromWindow(range, data.mutableBytes()));
    return data;
}

void BVReadaheadController::cleanupBufferFrom(uint64_t location) {
    if (location <= kKeptBehind)
        return;
    const uint64_t newOffset = location - kKeptBehind;
    if (newOffset <= offset_)
        return;
    // Nothing of the window is left before the new start (a read past the end of the file).
    if (newOffset >= windowEnd()) {
        restartAt(newOffset);
        return;
    }
    offset_ = newOffset;
    while (!chunks_.empty() && chunksStart_ + chunks_.front().length() <= offset_) {
        chunksStart_ += chunks_.front().length();
        chunksLength_ -= chunks_.front().length();
        chunks_.pop_front();
    }
}

void BVReadaheadController::restartAt(uint64_t location) {
    chunks_.clear();
    chunksStart_ = location;
    chunksLength_ = 0;
    offset_ = location;
}

void BVReadaheadController::cleanupBufferCompletely() {
    restartAt(0);
}
