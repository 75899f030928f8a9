#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "BVApi/Networking/BVCurlTransfer.h"
#include "BVApi/Networking/BVNetworkThread.h"
#include "platform/Data.h"
#include "platform/Error.h"

class BVApiRequest;

// The asynchronous exchange of one send of a BVApiRequest. Runs on the network thread
// and hands its events, in order, to the request on the main run loop. Keeps the request
// alive until the last event has been delivered or the exchange was cancelled.
//
// Received bytes wait in a bounded queue: when the main loop falls behind by
// kHighWaterBytes the transfer is paused, and resumed once the backlog drops under
// kLowWaterBytes, so a huge answer never piles up in memory.
class BVApiRequestConnection : public BVNetworkTransfer,
                               private BVCurlTransfer::Delegate,
                               public std::enable_shared_from_this<BVApiRequestConnection> {
  public:
    static constexpr size_t kHighWaterBytes = 8 * 1024 * 1024;
    static constexpr size_t kLowWaterBytes = 2 * 1024 * 1024;
    // Consecutive small pieces are joined up to this size before they are handed on.
    static constexpr size_t kMaxPieceBytes = 1024 * 1024;
    // A piece this close to full is handed on without waiting for the end of the turn.
    static constexpr size_t kFlushSlackBytes = 64 * 1024;
    // Emptied piece buffers kept for reuse.
    static constexpr size_t kSpareBuffers = 4;

    // Answers nothing and sets *error when the transfer cannot be set up. The exchange
    // starts with begin(): its events may reach the request before begin() returns, so the
    // request records the connection first.
    static std::shared_ptr<BVApiRequestConnection> make(std::shared_ptr<BVApiRequest> request,
                                                        const BVUrlRequest& urlRequest,
                                                        std::shared_ptr<bv::Clock> clock,
                                                        bv::Error* error);
    void begin();
    ~BVApiRequestConnection() override;

    // From any thread: stops the exchange; nothing more is delivered.
    void cancel();

    CURL* easyHandle() const override { return transfer_ ? transfer_->handle() : nullptr; }
    void transferDidComplete(CURLcode code) override;
    void transferDidFail(const bv::Error& error) override;
    void flushEvents() override;

  private:
    struct Event {
        enum class Kind { response, data, uploadProgress, finished, failed };
        explicit Event(Kind k = Kind::data) : kind(k) {}
        Kind kind;
        BVHttpResponse response;
        bv::Data data;
        int64_t sent = 0;
        int64_t expected = 0;
        bv::Error error;
    };

    explicit BVApiRequestConnection(std::shared_ptr<BVApiRequest> request);

    size_t transferDidReceiveData(const char* bytes, size_t length) override;
    void transferDidReceiveResponse(const BVHttpResponse& response) override;
    void transferDidSendBodyData(int64_t sent, int64_t expected) override;

    void pushLocked(Event event);
    void scheduleDrainLocked();
    void drain();
    bool deliver(Event& event);

    std::unique_ptr<BVCurlTransfer> transfer_;
    std::atomic<bool> cancelled_{false};
    bool responseSeen_ = false;  // network thread only

    std::mutex eventsLock_;  // guards the five below
    std::deque<Event> events_;
    std::vector<bv::Data> spareBuffers_;
    size_t queuedBytes_ = 0;
    bool paused_ = false;
    bool drainScheduled_ = false;

    // Main thread only; reset after the last event.
    std::shared_ptr<BVApiRequest> request_;
};
