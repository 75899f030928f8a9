#include "BVApi/Networking/BVApiRequestConnection.h"

#include "BVApi/Networking/BVApiRequest.h"
#include "platform/RunLoop.h"

namespace {

// Events handed over per turn of the main loop, so its other work is not starved.
constexpr int kEventsPerDrain = 16;

}  // namespace

BVApiRequestConnection::BVApiRequestConnection(std::shared_ptr<BVApiRequest> request)
    : request_(std::move(request)) {}

BVApiRequestConnection::~BVApiRequestConnection() = default;

std::shared_ptr<BVApiRequestConnection> BVApiRequestConnection::make(
    std::shared_ptr<BVApiRequest> request, const BVUrlRequest& urlRequest,
    std::shared_ptr<bv::Clock> clock, bv::Error* error) {
    std::shared_ptr<BVApiRequestConnection> connection(
        new BVApiRequestConnection(std::move(request)));
    connection->transfer_ = BVCurlTransfer::make(urlRequest, *connection, error,
                                                 BVCurlTransfer::Handle::own, std::move(clock));
    if (!connection->transfer_)
        return nullptr;
    return connection;
}

void BVApiRequestConnection::begin() {
    BVNetworkThread::shared().add(shared_from_this());
}

void BVApiRequestConnection::cancel() {
    if (cancelled_.exchange(true))
        return;
    BVNetworkThread::shared().remove(shared_from_this());
    {
        std::lock_guard lock(eventsLock_);
        events_.clear();
        queuedBytes_ = 0;
    }
    // The request is let go on the main thread, where its events would have run.
    auto self = shared_from_this();
    if (bv::RunLoop::isMainThread())
        request_.reset();
    else
        bv::RunLoop::main().perform([self] { self->request_.reset(); });
}

size_t BVApiRequestConnection::transferDidReceiveData(const char* bytes, size_t length) {
    if (cancelled_)
        return length;
    std::lock_guard lock(eventsLock_);
    if (queuedBytes_ >= kHighWaterBytes) {
        paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    queuedBytes_ += length;
    if (events_.empty() || events_.back().kind != Event::Kind::data ||
        events_.back().data.size() + length > kMaxPieceBytes) {
        Event event{Event::Kind::data};
        if (!spareBuffers_.empty()) {
            event.data = std::move(spareBuffers_.back());
            spareBuffers_.pop_back();
        }
        event.data.reserve(std::max(length, kMaxPieceBytes));
        events_.push_back(std::move(event));
    }
    bv::Data& piece = events_.back().data;
    piece.append(bytes, length);
    // Small pieces wait for the end of the network thread's turn (flushEvents), so the
    // main loop is woken once per burst rather than once per TLS record.
    if (piece.size() + kFlushSlackBytes >= kMaxPieceBytes)
        scheduleDrainLocked();
    return length;
}

void BVApiRequestConnection::flushEvents() {
    std::lock_guard lock(eventsLock_);
    if (!events_.empty())
        scheduleDrainLocked();
}

void BVApiRequestConnection::transferDidReceiveResponse(const BVHttpResponse& response) {
    responseSeen_ = true;
    Event event{Event::Kind::response};
    event.response = response;
    std::lock_guard lock(eventsLock_);
    pushLocked(std::move(event));
}

void BVApiRequestConnection::transferDidSendBodyData(int64_t sent, int64_t expected) {
    std::lock_guard lock(eventsLock_);
    if (!events_.empty() && events_.back().kind == Event::Kind::uploadProgress) {
        events_.back().sent = sent;
        events_.back().expected = expected;
        return;
    }
    Event event{Event::Kind::uploadProgress};
    event.sent = sent;
    event.expected = expected;
    pushLocked(std::move(event));
}

void BVApiRequestConnection::transferDidComplete(CURLcode code) {
    std::lock_guard lock(eventsLock_);
    if (code == CURLE_OK) {
        if (!responseSeen_) {
            Event head{Event::Kind::response};
            head.response = transfer_->response();
            pushLocked(std::move(head));
        }
        pushLocked(Event{Event::Kind::finished});
    } else {
        Event failure{Event::Kind::failed};
        failure.error = transfer_->errorFor(code);
        pushLocked(std::move(failure));
    }
}

void BVApiRequestConnection::transferDidFail(const bv::Error& error) {
    Event failure{Event::Kind::failed};
    failure.error = error;
    std::lock_guard lock(eventsLock_);
    pushLocked(std::move(failure));
}

void BVApiRequestConnection::pushLocked(Event event) {
    if (cancelled_)
        return;
    events_.push_back(std::move(event));
    scheduleDrainLocked();
}

void BVApiRequestConnection::scheduleDrainLocked() {
    if (drainScheduled_ || cancelled_)
        return;
    drainScheduled_ = true;
    auto self = shared_from_this();
    bv::RunLoop::main().perform([self] { self->drain(); });
}

void BVApiRequestConnection::drain() {
    for (int handed = 0; handed < kEventsPerDrain; ++handed) {
        Event event;
        bool resume = false;
        {
            std::lock_guard lock(eventsLock_);
            if (events_.empty() || cancelled_) {
                drainScheduled_ = false;
                return;
            }
            event = std::move(events_.front());
            events_.pop_front();
            if (event.kind == Event::Kind::data) {
                queuedBytes_ -= std::min(queuedBytes_, event.data.size());
                if (paused_ && queuedBytes_ <= kLowWaterBytes) {
                    paused_ = false;
                    resume = true;
                }
            }
        }
        if (resume)
            BVNetworkThread::shared().resume(shared_from_this());
        bool more = deliver(event);
        std::lock_guard lock(eventsLock_);
        if (!more) {
            drainScheduled_ = false;
            return;
        }
        // Fresh pages for every piece would cost a page fault per 4 KiB.
        if (event.kind == Event::Kind::data && spareBuffers_.size() < kSpareBuffers) {
            event.data.clear();
            spareBuffers_.push_back(std::move(event.data));
        }
    }
    auto self = shared_from_this();
    bv::RunLoop::main().perform([self] { self->drain(); });
}

bool BVApiRequestConnection::deliver(Event& event) {
    // Held for the call: a callback may cancel, which lets go of request_.
    std::shared_ptr<BVApiRequest> request = request_;
    if (!request || cancelled_)
        return false;
    switch (event.kind) {
        case Event::Kind::response:
            request->connectionDidReceiveResponse(event.response);
            return true;
        case Event::Kind::data:
            request->connectionDidReceiveData(event.data);
            return true;
        case Event::Kind::uploadProgress:
            request->connectionDidSendBodyData(event.sent, event.expected);
            return true;
        case Event::Kind::finished:
            request_.reset();
            request->connectionDidFinishLoading(this);
            return false;
        case Event::Kind::failed:
            request_.reset();
            request->connectionDidFail(this, event.error);
            return false;
    }
    return false;
}
