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
      clock_(clock ? std::move(clock) : bv::Clock::system()),
      openedAt_(BVReadFailureBoard::shared().mark()) {}

std::optional<bv::Data> BVReadaheadController::request(Range range) {
    if (standingFailure())
        return std::nullopt;
    if (range.location < offset_ + kKeptBehind)
        cleanupBufferCompletely();
    const uint64_t end = range.location + range.length;
    if (offset_ + windowLength() < end) {
        switch (fillBufferTo(end)) {
            case -1:
                return std::nullopt;
            case -2:
                return bv::Data();
            default:
                break;
        }
    }
    bv::Data data = dataForRange(range);
    cleanupBufferFrom(range.location);
    return data;
}

int64_t BVReadaheadController::fillBufferTo(uint64_t end) {
    const double started = clock_->monotonic();
    while (offset_ + windowLength() < end) {
        if (clock_->monotonic() > started + kFillDeadline) {
            BVLog("Fill read buffer timeout for path: %@", path_);
            return -2;
        }
        std::optional<bv::Data> bytes;
        for (int attempt = 1;; ++attempt) {
            ++cacheReads_;
            const uint64_t at = offset_ + windowLength();
            bytes = content_->readFileAt(path_, at, kStep, nullptr);
            if (bytes && !bytes->empty())
                break;
            // The window holds the end of the file: a request past it comes back short.
            if (bytes && atEndOfFile(at))
                return 0;
            clock_->sleepFor(1);
            if (attempt == kAttempts) {
                BVLog("RA: READ FAILED in %x", static_cast<unsigned>(offset_ + windowLength()));
                return -1;
            }
            BVLog(attempt == 1 ? "readFileAt fail 1" : "readFileAt fail 2");
        }
        BVLog("RA: READ %llu bytes, new buffer len %llu", uint64_t(bytes->length()),
              uint64_t(windowLength()));
        buffer_.append(*bytes);
    }
    return 0;
}

std::optional<bv::Error> BVReadaheadController::standingFailure() const {
    auto& board = BVReadFailureBoard::shared();
    if (board.empty())
        return std::nullopt;
    // From the cache only: the service may be the thing that stopped answering.
    auto identifier = content_->identifierForFileAt(path_, true);
    return identifier ? board.standing(*identifier, openedAt_) : std::nullopt;
}

void BVReadaheadController::gaveUp(const bv::Error& error) const {
    if (auto identifier = content_->identifierForFileAt(path_, true)) {
        BVLog("Reads of %@ gave up; the open handles of the file share the failure", path_);
        BVReadFailureBoard::shared().note(*identifier, error);
    }
}

bool BVReadaheadController::atEndOfFile(uint64_t position) {
    auto descriptor = content_->downloadFileAt(path_, position, nullptr);
    return descriptor && descriptor->isCompleted() &&
           uint64_t(descriptor->completedBytes.load()) <= position;
}

bv::Data BVReadaheadController::dataForRange(Range range) const {
    const uint64_t r = range.location >= offset_ ? range.location - offset_ : windowLength();
    uint64_t length = range.length;
    if (windowLength() < r + length)
        length = r < windowLength() ? windowLength() - r : 0;
    BVLog("[BVReadaheadController dataForRange] buffer length: %llu", uint64_t(windowLength()));
    BVLog("range.location: %lu, range.length: %lu", static_cast<unsigned long>(range.location),
          static_cast<unsigned long>(range.length));
    return length ? buffer_.subdata(head_ + r, length) : bv::Data();
}

void BVReadaheadController::cleanupBufferFrom(uint64_t location) {
    if (location <= kKeptBehind)
        return;
    const uint64_t newOffset = location - kKeptBehind;
    if (newOffset <= offset_)
        return;
    head_ += std::min<uint64_t>(newOffset - offset_, windowLength());
    offset_ = newOffset;
    // The dropped bytes are given back once a step's worth gathered, not at every read, so
    // the kept bytes are moved about once per step.
    if (head_ >= kStep) {
        uint8_t* bytes = buffer_.mutableBytes();
        std::memmove(bytes, bytes + head_, buffer_.length() - head_);
        buffer_.resize(buffer_.length() - head_);
        head_ = 0;
    }
}

void BVReadaheadController::cleanupBufferCompletely() {
    buffer_ = bv::Data();
    head_ = 0;
    offset_ = 0;
}
