#include "BVApi/Networking/BVCurlTransfer.h"

#include <cmath>
#include <string_view>

#include "platform/Format.h"

namespace {

// Larger receive pieces mean fewer hand-overs to the consumer on fast links.
constexpr long kReceiveBufferSize = 256 * 1024;

}  // namespace

BVCurlTransfer::BVCurlTransfer(const BVUrlRequest& request, Delegate& delegate,
                               std::shared_ptr<bv::Clock> clock)
    : request_(request),
      delegate_(delegate),
      clock_(clock ? std::move(clock) : bv::Clock::system()),
      lastActivity_(clock_->monotonic()) {}

BVCurlTransfer::~BVCurlTransfer() = default;

std::unique_ptr<BVCurlTransfer> BVCurlTransfer::make(const BVUrlRequest& request,
                                                     Delegate& delegate, bv::Error* error,
                                                     Handle handle,
                                                     std::shared_ptr<bv::Clock> clock) {
    std::unique_ptr<BVCurlTransfer> transfer(
        new BVCurlTransfer(request, delegate, std::move(clock)));
    transfer->handle_ =
        handle == Handle::thread ? BVCurlHandle::forThisThread() : BVCurlHandle::make();
    if (!transfer->handle()) {
        bv::setError(error,
                     bv::Error(kErrorDomain, CURLE_FAILED_INIT,
                               {{bv::kFailureReasonKey, std::string("curl_easy_init failed")}}));
        return nullptr;
    }
    CURLcode code = transfer->configure();
    if (code != CURLE_OK) {
        bv::setError(error, transfer->errorFor(code));
        return nullptr;
    }
    return transfer;
}

CURLcode BVCurlTransfer::configure() {
    CURL* easy = handle();
    CURLcode code = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (code == CURLE_OK)
            code = curl_easy_setopt(easy, option, value);
    };
    set(CURLOPT_ERRORBUFFER, errorBuffer_.data());
    set(CURLOPT_URL, request_.url.c_str());
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request_.caFile.empty())
        set(CURLOPT_CAINFO, request_.caFile.c_str());
    set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    // Called about once a second even while nothing moves: it keeps the idle limit (on our
    // clock rather than curl's, see the class) and lets the delegate end the exchange.
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &BVCurlTransfer::progressCallback);
    set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
    set(CURLOPT_WRITEFUNCTION, &BVCurlTransfer::writeCallback);
    set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    set(CURLOPT_HEADERFUNCTION, &BVCurlTransfer::headerCallback);
    set(CURLOPT_HEADERDATA, static_cast<void*>(this));
    if (code == CURLE_OK)
        code = configureBody();
    return code;
}

CURLcode BVCurlTransfer::configureBody() {
    CURL* easy = handle();
    CURLcode code = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (code == CURLE_OK)
            code = curl_easy_setopt(easy, option, value);
    };
    const bool hasStream = !request_.body && request_.stream;
    const bool sendsBody =
        request_.body || hasStream || request_.method == "POST" || request_.method == "PUT";
    if (!sendsBody) {
        if (request_.method == "GET")
            set(CURLOPT_HTTPGET, 1L);
        else
            set(CURLOPT_CUSTOMREQUEST, request_.method.c_str());
        if (code == CURLE_OK)
            code = configureHeaders(false);
        return code;
    }
    set(CURLOPT_POST, 1L);
    set(CURLOPT_CUSTOMREQUEST, request_.method.c_str());
    if (hasStream) {
        bodyLength_ = request_.stream->length();
        set(CURLOPT_READFUNCTION, &BVCurlTransfer::readCallback);
        set(CURLOPT_READDATA, static_cast<void*>(this));
        set(CURLOPT_SEEKFUNCTION, &BVCurlTransfer::seekCallback);
        set(CURLOPT_SEEKDATA, static_cast<void*>(this));
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength_));
    } else {
        static const char kEmpty[] = "";
        bodyLength_ = request_.body ? static_cast<int64_t>(request_.body->size()) : 0;
        const void* bytes = request_.body && !request_.body->empty()
                                ? static_cast<const void*>(request_.body->bytes())
                                : static_cast<const void*>(kEmpty);
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength_));
        set(CURLOPT_POSTFIELDS, bytes);
    }
    if (code == CURLE_OK)
        code = configureHeaders(true);
    return code;
}

CURLcode BVCurlTransfer::configureHeaders(bool sendsBody) {
    std::vector<std::string> lines;
    for (const auto& [name, value] : request_.headers)
        lines.push_back(name + ": " + value);
    if (sendsBody) {
        // curl would otherwise add a form content type of its own and stall large
        // bodies for a "100 Continue" that some servers never send.
        if (request_.headerValue("Content-Type").empty())
            lines.push_back("Content-Type:");
        lines.push_back("Expect:");
    }
    for (const auto& line : lines) {
        curl_slist* extended = curl_slist_append(headers_.get(), line.c_str());
        if (!extended)
            return CURLE_OUT_OF_MEMORY;
        (void)headers_.release();
        headers_.reset(extended);
    }
    return curl_easy_setopt(handle(), CURLOPT_HTTPHEADER, headers_.get());
}

CURLcode BVCurlTransfer::perform() {
    errorBuffer_[0] = '\0';
    lastActivity_ = clock_->monotonic();
    return curl_easy_perform(handle());
}

bool BVCurlTransfer::requestMayHaveArrived() const {
    if (response_.statusCode > 0)
        return true;
    CURL* easy = handle();
    curl_off_t ready = 0;
    // Zero until the connection stood and the request was about to go out.
    if (curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &ready) == CURLE_OK && ready == 0)
        return false;
    curl_off_t uploaded = 0;
    if (bodyLength_ > 0 && curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK &&
        uploaded < bodyLength_)
        return false;  // a service acts on a request only once it has its whole body
    return true;
}

bv::Error BVCurlTransfer::errorFor(CURLcode code) const {
    if (timedOut_ && code == CURLE_ABORTED_BY_CALLBACK)
        return bv::Error(
            kErrorDomain, CURLE_OPERATION_TIMEDOUT,
            {{bv::kFailureReasonKey, bv::format("The request timed out: nothing moved for %@ s",
                                                std::lround(request_.timeout))}});
    std::string reason(errorBuffer_.data());
    if (reason.empty())
        reason = curl_easy_strerror(code);
    return bv::Error(kErrorDomain, code, {{bv::kFailureReasonKey, reason}});
}

size_t BVCurlTransfer::writeCallback(char* bytes, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<BVCurlTransfer*>(self);
    try {
        const size_t taken = transfer->delegate_.transferDidReceiveData(bytes, size * count);
        transfer->heldBack_ = taken == CURL_WRITEFUNC_PAUSE;
        return taken;
    } catch (...) {
        return 0;  // aborts the transfer with a write error
    }
}

size_t BVCurlTransfer::headerCallback(char* bytes, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<BVCurlTransfer*>(self);
    const size_t length = size * count;
    try {
        transfer->lastActivity_ = transfer->clock_->monotonic();
        std::string_view line(bytes, length);
        if (line == "\r\n" || line == "\n") {
            if (transfer->response_.statusCode >= 200) {
                char* url = nullptr;
                if (curl_easy_getinfo(transfer->handle(), CURLINFO_EFFECTIVE_URL, &url) ==
                        CURLE_OK &&
                    url)
                    transfer->response_.url = url;
                transfer->delegate_.transferDidReceiveResponse(transfer->response_);
            }
        } else {
            transfer->response_.addHeaderLine(line);
        }
        return length;
    } catch (...) {
        return 0;
    }
}

size_t BVCurlTransfer::readCallback(char* buffer, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<BVCurlTransfer*>(self);
    try {
        int64_t n =
            transfer->request_.stream->read(reinterpret_cast<uint8_t*>(buffer), size * count);
        if (n < 0) {
            transfer->streamFailed_ = true;
            return CURL_READFUNC_ABORT;
        }
        return static_cast<size_t>(n);
    } catch (...) {
        transfer->streamFailed_ = true;
        return CURL_READFUNC_ABORT;
    }
}

int BVCurlTransfer::seekCallback(void* self, curl_off_t offset, int origin) {
    auto* transfer = static_cast<BVCurlTransfer*>(self);
    if (offset != 0 || origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    try {
        return transfer->request_.stream->rewind() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_CANTSEEK;
    } catch (...) {
        return CURL_SEEKFUNC_FAIL;
    }
}

int BVCurlTransfer::progressCallback(void* self, curl_off_t, curl_off_t dlNow, curl_off_t ulTotal,
                                     curl_off_t ulNow) {
    auto* transfer = static_cast<BVCurlTransfer*>(self);
    try {
        if (!transfer->delegate_.transferShouldGoOn())
            return 1;
        const double now = transfer->clock_->monotonic();
        if (dlNow != transfer->lastReceived_ || ulNow != transfer->lastReportedSent_ ||
            transfer->heldBack_) {
            transfer->lastActivity_ = now;
            transfer->lastReceived_ = dlNow;
        } else if (transfer->request_.timeout > 0 &&
                   now - transfer->lastActivity_ >= transfer->request_.timeout) {
            transfer->timedOut_ = true;
            return 1;
        }
        if (ulNow == transfer->lastReportedSent_)
            return 0;
        transfer->lastReportedSent_ = ulNow;
        int64_t expected = transfer->bodyLength_ >= 0 ? transfer->bodyLength_ : ulTotal;
        transfer->delegate_.transferDidSendBodyData(ulNow, expected);
    } catch (...) {
    }
    return 0;
}
