#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/UniqueFd.h"

class BVBinaryDataDescriptorItem;
class BVCacheFileBackend;
class BVCacheWriter;

// How a wait for content ended.
enum class BVContentWait {
    Ready,     // the bytes are there, or the content is complete (it may be shorter)
    Ended,     // the stream was closed without completing the content (purged, shut down)
    Failed,    // the stream failed; error() says why
    TimedOut,  // the deadline passed first
};

// The growing content file of one file identifier: one open descriptor, the byte count in
// memory, and readers that wait for bytes to land. One object per identifier while the
// content is being written (BVCacheController::contentStreamFor), shared by the writer of the
// content and its readers. Appends advance the file's BVBinaryDataDescriptorItem in memory at
// once; the cache persists the descriptor from time to time and when the stream ends, always
// after the bytes it claims were written, so a process that dies never leaves a descriptor
// that promises more than the content file holds (and after a power loss the checksums
// catch content that fell short).
class BVCacheContentStream {
  public:
    // Seconds of appending after which the descriptor is persisted again.
    static constexpr double kPersistInterval = 2.0;
    // Growth since the last persist from which the content is written out at the persist.
    static constexpr uint64_t kSyncedGrowth = 8 << 20;

    BVCacheContentStream(std::shared_ptr<BVBinaryDataDescriptorItem> descriptor,
                         std::shared_ptr<BVCacheFileBackend> backend, bv::UniqueFd fd,
                         uint64_t length, std::shared_ptr<bv::Clock> clock,
                         std::weak_ptr<BVCacheWriter> writer);
    BVCacheContentStream(const BVCacheContentStream&) = delete;
    BVCacheContentStream& operator=(const BVCacheContentStream&) = delete;

    const std::string& identifier() const { return identifier_; }
    // The descriptor the cache answers for the identifier while the stream is open.
    const std::shared_ptr<BVBinaryDataDescriptorItem>& descriptor() const { return descriptor_; }

    // Appends a piece at the current end and sets the descriptor's completedBytes to
    // offset + length and its totalBytes to total. A piece at another offset, one after the
    // stream ended, and a failed write are refused (false; the file stays as it was).
    bool append(const bv::Data& data, int64_t offset, int64_t total = -1);
    // The content is whole: its descriptor is marked complete in memory (totalBytes =
    // completedBytes; the persisted copy keeps the total of the last append) and persisted,
    // and every waiter is released. No append is taken afterwards.
    void finish();
    // The content is whole at total bytes, a length no append announced (an upload's mirror
    // once the service has the file): as finish(), and the persisted descriptor claims total
    // as well. False, and nothing changes, when the stream ended or holds another length.
    bool finishAt(uint64_t total);
    // The content will not be completed: waiters are released with the error.
    void fail(const bv::Error& error);

    // Bytes in the content file, readable now.
    uint64_t length() const;
    // Seconds on the cache clock since the content last moved: since the last append, the
    // writer's last noteActivity(), or the stream's opening.
    double secondsSinceActivity() const;
    // The writer heard from its source without bytes to append yet (an answer began).
    void noteActivity();
    bool isOpen() const;
    std::optional<bv::Error> error() const;

    // Blocks until length() >= bytes or the content is complete (Ready), the stream ends or
    // fails, or the cache clock's monotonic time reaches deadline. Appends wake waiters at
    // once; a clock moved on by hand does not, wakeWaiters() then makes them look again.
    BVContentWait waitForBytes(uint64_t bytes, double deadline);
    void wakeWaiters();

    // ---- For the cache controller ----
    // The stream will take no more bytes (its content is purged or replaced, or the cache
    // goes): waiters are released with Ended; nothing more is persisted.
    void abandon();
    bool abandoned() const;
    // What the persisted descriptor may claim: bytes written, and the total of the last
    // append.
    struct Durable {
        uint64_t length;
        int64_t total;
    };
    // The state to persist when a persist is due (the interval passed since the last one, the
    // stream ended, or force) and bytes were added since; nothing otherwise.
    std::optional<Durable> stateToPersist(bool force);
    // The state as last persisted (what a descriptor written now may claim).
    Durable durable() const;
    // Ended, and its last state persisted: the cache may forget it.
    bool settled() const;

  private:
    enum class State { Open, Complete, Failed, Abandoned };
    // Whether this call ended the stream (it was open).
    bool ended(State state, const bv::Error* error);
    void askForPersist();

    const std::string identifier_;
    const std::shared_ptr<BVBinaryDataDescriptorItem> descriptor_;
    const std::shared_ptr<BVCacheFileBackend> backend_;
    const bv::UniqueFd fd_;
    const std::shared_ptr<bv::Clock> clock_;
    const std::weak_ptr<BVCacheWriter> writer_;

    std::mutex appendLock_;    // serialises appends (held across their write, never by readers)
    mutable std::mutex lock_;  // guards everything below; never held across I/O
    std::condition_variable landed_;
    State state_ = State::Open;
    std::optional<bv::Error> error_;
    uint64_t length_;
    int64_t total_ = -1;
    Durable durable_;
    double lastPersist_;
    double lastActivity_;
    bool persistAsked_ = false;
};
