#include "BVApi/Cache/BVCacheContentStream.h"

#include <algorithm>
#include <chrono>

#include "BVApi/Cache/BVCacheFileBackend.h"
#include "BVApi/Cache/BVCacheWriter.h"
#include "BVApi/Content/BVTransferItems.h"
#include "app/Logging/BVLogging.h"

BVCacheContentStream::BVCacheContentStream(std::shared_ptr<BVBinaryDataDescriptorItem> descriptor,
                                           std::shared_ptr<BVCacheFileBackend> backend,
                                           bv::UniqueFd fd, uint64_t length,
                                           std::shared_ptr<bv::Clock> clock,
                                           std::weak_ptr<BVCacheWriter> writer)
    : identifier_(descriptor->identifier),
      descriptor_(std::move(descriptor)),
      backend_(std::move(backend)),
      fd_(std::move(fd)),
      clock_(std::move(clock)),
      writer_(std::move(writer)),
      length_(length),
      total_(descriptor_->totalBytes.load()),
      durable_{length, descriptor_->totalBytes.load()},
      lastPersist_(clock_->monotonic()),
      lastActivity_(lastPersist_) {}

bool BVCacheContentStream::append(const bv::Data& data, int64_t offset, int64_t total) {
    std::lock_guard appending(appendLock_);
    uint64_t end;
    {
        std::lock_guard lock(lock_);
        if (state_ != State::Open)
            return false;
        end = length_;
    }
    if (offset < 0 || uint64_t(offset) != end) {
        BVLog(
            "BVCacheFileBackend.storeBinaryData error: Expected file offset %llu doesn't match "
            "real %llu.",
            offset, end);
        return false;
    }
    if (!backend_->appendContent(fd_.get(), identifier_, data, end))
        return false;
    bool persistDue;
    {
        std::lock_guard lock(lock_);
        length_ = end + data.length();
        total_ = total;
        // The descriptor is advanced under the lock waiters check, so a woken reader that
        // looks at the descriptor finds the bytes counted there as well.
        descriptor_->completedBytes = int64_t(length_);
        descriptor_->totalBytes = total;
        lastActivity_ = clock_->monotonic();
        persistDue = !persistAsked_ && clock_->monotonic() - lastPersist_ >= kPersistInterval;
        persistAsked_ = persistAsked_ || persistDue;
    }
    landed_.notify_all();
    if (persistDue)
        askForPersist();
    return true;
}

double BVCacheContentStream::secondsSinceActivity() const {
    std::lock_guard lock(lock_);
    return clock_->monotonic() - lastActivity_;
}

void BVCacheContentStream::noteActivity() {
    std::lock_guard lock(lock_);
    lastActivity_ = clock_->monotonic();
}

void BVCacheContentStream::finish() {
    {
        std::lock_guard lock(lock_);
        if (state_ != State::Open)
            return;
        descriptor_->totalBytes = descriptor_->completedBytes.load();
    }
    ended(State::Complete, nullptr);
}

bool BVCacheContentStream::finishAt(uint64_t total) {
    // Appends are serialised against this, so the length checked is the length finished.
    std::lock_guard appending(appendLock_);
    {
        std::lock_guard lock(lock_);
        if (state_ != State::Open || length_ != total)
            return false;
        total_ = int64_t(total);
        descriptor_->totalBytes = int64_t(total);
    }
    return ended(State::Complete, nullptr);
}

void BVCacheContentStream::fail(const bv::Error& error) {
    ended(State::Failed, &error);
}

void BVCacheContentStream::abandon() {
    ended(State::Abandoned, nullptr);
}

bool BVCacheContentStream::ended(State state, const bv::Error* error) {
    {
        std::lock_guard lock(lock_);
        if (state_ != State::Open)
            return false;
        state_ = state;
        if (error)
            error_ = *error;
        persistAsked_ = state != State::Abandoned;
    }
    landed_.notify_all();
    if (state != State::Abandoned)
        askForPersist();
    return true;
}

void BVCacheContentStream::askForPersist() {
    if (auto writer = writer_.lock())
        writer->changed();
}

uint64_t BVCacheContentStream::length() const {
    std::lock_guard lock(lock_);
    return length_;
}

bool BVCacheContentStream::isOpen() const {
    std::lock_guard lock(lock_);
    return state_ == State::Open;
}

bool BVCacheContentStream::abandoned() const {
    std::lock_guard lock(lock_);
    return state_ == State::Abandoned;
}

std::optional<bv::Error> BVCacheContentStream::error() const {
    std::lock_guard lock(lock_);
    return error_;
}

BVContentWait BVCacheContentStream::waitForBytes(uint64_t bytes, double deadline) {
    std::unique_lock lock(lock_);
    for (;;) {
        if (length_ >= bytes || state_ == State::Complete)
            return BVContentWait::Ready;
        if (state_ == State::Failed)
            return BVContentWait::Failed;
        if (state_ == State::Abandoned)
            return BVContentWait::Ended;
        const double left = deadline - clock_->monotonic();
        if (left <= 0)
            return BVContentWait::TimedOut;
        landed_.wait_for(lock, std::chrono::duration<double>(left));
    }
}

void BVCacheContentStream::wakeWaiters() {
    // Taking the lock orders this after a waiter's check, so the wake-up cannot fall between
    // the check and the wait.
    { std::lock_guard lock(lock_); }
    landed_.notify_all();
}

std::optional<BVCacheContentStream::Durable> BVCacheContentStream::stateToPersist(bool force) {
    Durable target;
    uint64_t grown = 0;
    {
        std::lock_guard lock(lock_);
        if (state_ == State::Abandoned)
            return std::nullopt;
        const bool due = force || state_ != State::Open ||
                         clock_->monotonic() - lastPersist_ >= kPersistInterval;
        persistAsked_ = false;
        if (!due)
            return std::nullopt;
        if (length_ == durable_.length && total_ == durable_.total && state_ == State::Open)
            return std::nullopt;
        target = Durable{length_, total_};
        grown = length_ - std::min(length_, durable_.length);
    }
    // Safety needs no sync of the content: the descriptor is not synced either, and after a
    // power loss the checksums, checked at every read, catch content that fell short of its
    // claim. Large growth is still written out here, on the writer's thread, so that the
    // dirty pages of a long download do not pile up and stall the appends that follow;
    // small content is left to the kernel, as a sync per small file costs a disk flush each.
    if (grown >= kSyncedGrowth)
        backend_->writeOutContent(fd_.get(), identifier_);
    std::lock_guard lock(lock_);
    durable_ = target;
    lastPersist_ = clock_->monotonic();
    return target;
}

BVCacheContentStream::Durable BVCacheContentStream::durable() const {
    std::lock_guard lock(lock_);
    return durable_;
}

bool BVCacheContentStream::settled() const {
    std::lock_guard lock(lock_);
    return state_ == State::Abandoned ||
           (state_ != State::Open && durable_.length == length_ && durable_.total == total_);
}
