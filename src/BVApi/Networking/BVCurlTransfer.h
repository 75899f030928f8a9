#pragma once

#include <curl/curl.h>

#include <array>
#include <cstdint>
#include <memory>

#include "BVApi/Networking/BVCurlHandle.h"
#include "BVApi/Networking/BVHttpResponse.h"
#include "BVApi/Networking/BVUrlRequest.h"
#include "platform/Clock.h"
#include "platform/Error.h"

// One HTTP exchange on a curl easy handle configured from a BVUrlRequest: method,
// headers, body (in memory or streamed), TLS verification with the request's extra CA file,
// and the request's time-out. Events go to a delegate on the thread that drives the handle.
//
// The time-out is an idle limit measured on the transfer's clock: an exchange in which
// nothing moved for that long (no connection made, no answer, a body that stopped) ends
// with CURLE_OPERATION_TIMEDOUT, while one that keeps moving is never cut off. Time that the
// delegate holds the bytes back does not count.
class BVCurlTransfer {
  public:
    static constexpr const char* kErrorDomain = "CURLErrorDomain";

    class Delegate {
      public:
        virtual ~Delegate() = default;
        // Answers `length` when the bytes were taken, CURL_WRITEFUNC_PAUSE to hold them
        // back until the handle is resumed (they are then offered again).
        virtual size_t transferDidReceiveData(const char* bytes, size_t length) = 0;
        // The head of the final answer (interim 1xx heads are not reported).
        virtual void transferDidReceiveResponse(const BVHttpResponse&) {}
        virtual void transferDidSendBodyData(int64_t /*sent*/, int64_t /*expected*/) {}
        // Asked often while the exchange runs (about once a second when nothing moves,
        // connecting included); false ends it with CURLE_ABORTED_BY_CALLBACK.
        virtual bool transferShouldGoOn() { return true; }
    };

    // Which easy handle the transfer runs on: one of its own (needed on a multi handle), or
    // the calling thread's reused one (for a transfer performed on that thread).
    enum class Handle { own, thread };

    ~BVCurlTransfer();
    BVCurlTransfer(const BVCurlTransfer&) = delete;
    BVCurlTransfer& operator=(const BVCurlTransfer&) = delete;

    // Answers nothing and sets *error (curl domain) when the handle cannot be set up.
    // The request's body stays shared with the transfer; the delegate must outlive it. The
    // time-out runs on `clock` (the system clock when none is given).
    static std::unique_ptr<BVCurlTransfer> make(const BVUrlRequest& request, Delegate& delegate,
                                                bv::Error* error, Handle handle = Handle::own,
                                                std::shared_ptr<bv::Clock> clock = nullptr);

    CURL* handle() const { return handle_ ? handle_->get() : nullptr; }
    // Runs the whole exchange on the calling thread.
    CURLcode perform();
    // The transport error for a failed exchange: curl domain, curl code, the handle's
    // error text as failure reason. An exchange ended by its idle limit reports
    // CURLE_OPERATION_TIMEDOUT.
    bv::Error errorFor(CURLcode code) const;
    // The head received so far (status 0 before any).
    const BVHttpResponse& response() const { return response_; }
    // True when reading the streamed body failed.
    bool streamFailed() const { return streamFailed_; }
    // After the exchange: false only when the service cannot have acted on the request,
    // because no answer came and the request never went out whole (no connection, or a
    // body cut off on the way).
    bool requestMayHaveArrived() const;

  private:
    struct ListCleanup {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    BVCurlTransfer(const BVUrlRequest& request, Delegate& delegate,
                   std::shared_ptr<bv::Clock> clock);
    CURLcode configure();
    CURLcode configureBody();
    CURLcode configureHeaders(bool sendsBody);

    static size_t writeCallback(char* bytes, size_t size, size_t count, void* self);
    static size_t headerCallback(char* bytes, size_t size, size_t count, void* self);
    static size_t readCallback(char* buffer, size_t size, size_t count, void* self);
    static int seekCallback(void* self, curl_off_t offset, int origin);
    static int progressCallback(void* self, curl_off_t dlTotal, curl_off_t dlNow,
                                curl_off_t ulTotal, curl_off_t ulNow);

    BVUrlRequest request_;
    Delegate& delegate_;
    std::unique_ptr<curl_slist, ListCleanup> headers_;
    std::array<char, CURL_ERROR_SIZE> errorBuffer_{};
    BVHttpResponse response_;
    int64_t bodyLength_ = -1;
    int64_t lastReportedSent_ = 0;
    bool streamFailed_ = false;
    // The idle limit; touched only by the thread that drives the handle.
    std::shared_ptr<bv::Clock> clock_;
    double lastActivity_ = 0;
    curl_off_t lastReceived_ = 0;
    bool heldBack_ = false;  // the delegate paused the bytes
    bool timedOut_ = false;
    // Last, so it goes first: a lent handle is reset before what it points to goes.
    std::unique_ptr<BVCurlHandle> handle_;
};
