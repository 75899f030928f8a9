#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BVApi/Networking/BVApiExchangeSummary.h"
#include "BVApi/Networking/BVApiRequestConfiguration.h"
#include "BVApi/Networking/BVHttpResponse.h"
#include "BVApi/Networking/BVUrlRequest.h"
#include "platform/Clock.h"
#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/InputStream.h"

class BVApiRequestConnection;

// One exchange with the service: an HTTP request to an endpoint below the configured
// base URL, sent synchronously on the calling thread or asynchronously with callbacks
// delivered on the main run loop, retried a bounded number of times.
//
// Requests live in std::shared_ptr: an asynchronous send keeps its request alive until
// the exchange ends. Fields are not locked; a request is used by one caller at a time,
// except operationsCancelled and state, which other threads may read or set.
class BVApiRequest : public std::enable_shared_from_this<BVApiRequest> {
  public:
    using Arguments = std::vector<nlohmann::json>;

    // Encodings of the parameters.
    static constexpr int64_t kParametersJSON = 0;
    static constexpr int64_t kParametersQuery = 1;
    static constexpr int64_t kParametersQueryAndMultipart = 2;
    static constexpr int64_t kParametersMultipart = 3;
    static constexpr int64_t kParametersStream = 4;

    static constexpr int64_t kStateNotSent = 0;
    static constexpr int64_t kStateRunning = 1;
    static constexpr int64_t kStateFinished = 2;

    // Error codes (domain bv::kBVErrorDomain).
    static constexpr int64_t kErrorRetryRefused = -96;
    static constexpr int64_t kErrorRequestNotBuilt = -97;
    static constexpr int64_t kErrorBadAnswer = -98;
    static constexpr int64_t kErrorNoData = -100;

    static constexpr const char* kCancelAllUploadsNotification = "CancelAllUploads";

    // A failed synchronous attempt is retried after kFirstRetryDelay seconds, each further
    // retry waiting twice as long as the one before, so a struggling service is not hit
    // again in a tight loop.
    static constexpr double kFirstRetryDelay = 1;

    using NetworkResponseHandler = std::function<void(const BVHttpResponse& response)>;
    // The parsed answer (null when none) and the error (empty when none).
    using ApiResponseHandler =
        std::function<void(const nlohmann::json* response, const bv::Error& error)>;
    using DataHandler = std::function<void(const bv::Data* data, const bv::Error& error)>;
    using ProgressHandler = std::function<void(int64_t received, int64_t total)>;
    using UploadProgressHandler = std::function<void(int64_t sent, int64_t expected)>;
    using PartialDataHandler =
        std::function<void(const bv::Data& piece, int64_t receivedBefore, int64_t total)>;
    using RetryHandler = std::function<bool(const bv::Data* data, const bv::Error& error)>;

    static std::shared_ptr<BVApiRequest> requestWithMethod(const std::string& method,
                                                           const std::string& endpoint);
    static std::shared_ptr<BVApiRequest> requestWithMethod(const std::string& method,
                                                           const std::string& endpoint,
                                                           const Arguments& arguments);
    static std::shared_ptr<BVApiRequest> requestWithMethod(const std::string& method,
                                                           const std::string& endpoint,
                                                           const nlohmann::json& parameters);
    static std::shared_ptr<BVApiRequest> requestWithMethod(const std::string& method,
                                                           const std::string& endpoint,
                                                           const Arguments& arguments,
                                                           const nlohmann::json& parameters);
    // Takes the parameters over: a chunk of file data among them is not copied.
    static std::shared_ptr<BVApiRequest> requestWithMethod(const std::string& method,
                                                           const std::string& endpoint,
                                                           const Arguments& arguments,
                                                           nlohmann::json&& parameters);
    static std::shared_ptr<BVApiRequest> requestWithMethod(const std::string& method,
                                                           const std::string& endpoint,
                                                           std::shared_ptr<bv::InputStream> stream);
    static std::shared_ptr<BVApiRequest> requestWithMethod(const std::string& method,
                                                           const std::string& endpoint,
                                                           const Arguments& arguments,
                                                           std::shared_ptr<bv::InputStream> stream);

    // Parameters null (or not an object) means "no parameters"; a stream is used only
    // when there are none.
    static std::shared_ptr<BVApiRequest> initWithMethod(const std::string& method,
                                                        const std::string& endpoint,
                                                        const Arguments& arguments,
                                                        std::shared_ptr<bv::InputStream> stream,
                                                        nlohmann::json parameters);

    ~BVApiRequest();
    BVApiRequest(const BVApiRequest&) = delete;
    BVApiRequest& operator=(const BVApiRequest&) = delete;

    // The synchronous exchange with its retries; answers true on success. Body and
    // response are those of the last attempt. `logging` has no effect. A failed attempt
    // is retried (after a delay on the request's clock) only when sending it again cannot
    // apply it twice: the request is safe to resend, or it provably never reached the
    // service whole. The body's progress goes to uploadProgressHandler on this thread;
    // cancelOperations() from another thread ends the exchange within about a second.
    bool sendSyncWith(bv::Error* error, bv::Data* data, BVHttpResponse* response, bool logging);
    // The exchange followed by apiResponseFrom; true when a dictionary was produced.
    bool sendSyncWith(bv::Error* error, nlohmann::json* response);
    bool sendSyncWith(bv::Error* error, bv::Data* data);
    // True only when the exchange succeeded with that final status.
    bool sendSyncWith(bv::Error* error, bv::Data* data, long expectCode);
    // Hands out the final status of a successful exchange.
    bool sendSyncWith(bv::Error* error, bv::Data* data, long* returnCode);

    // Starts the asynchronous exchange and returns at once. Events arrive on the main
    // run loop: response head, pieces (with progress), upload progress, then either the
    // end (dataHandler, then apiResponseHandler) or a failure (retried, or
    // apiResponseHandler then dataHandler with the error).
    void sendAsync();
    // Blocks until a running asynchronous exchange ends or operations are cancelled.
    void waitAsync();
    // Runs the calling thread's run loop for seconds/10, then sleeps `seconds` on the clock.
    void waitFor(double seconds);
    // Stops the asynchronous exchange; no callback is called afterwards.
    void cancelAsync();
    // Ends a running waitAsync or synchronous exchange; a "CancelAllUploads" posted after
    // the request was made has the same effect on waitAsync.
    void cancelOperations() { operationsCancelled_ = true; }
    bool isRunning() const { return state_ == kStateRunning; }

    // The shared answer parser: a dictionary for an empty body, "true", a JSON array
    // (empty dictionary) or a JSON object; otherwise nothing and error -98, which wraps
    // the parser's error or what stood in *error before. An answer nested deeper than
    // kMaxAnswerDepth is refused like one that is not JSON.
    static constexpr int kMaxAnswerDepth = 16;
    static std::optional<nlohmann::json> apiResponseFrom(const bv::Data* data,
                                                         const std::string& uid, bv::Error* error);

    // Logs one record describing the request, its secrets masked (BVLogMask).
    void logRequestDebug() const;
    // The request's side of its failure-log summary (no answer, status 0).
    BVApiExchangeSummary summary() const;
    // endpoint resolved against the configuration's requestHost.
    std::string fullUrlFor(const std::string& endpoint) const;
    // Builds the wire request once and answers it; nothing and error -97 when the
    // parameters cannot be encoded.
    const BVUrlRequest* urlRequest(bv::Error* error);

    bool operationsCancelled() const;
    BVApiRequestConfiguration& configuration() { return configuration_; }
    const BVApiRequestConfiguration& configuration() const { return configuration_; }
    const std::string& uid() const { return uid_; }
    std::optional<double> startTime() const { return startTime_; }
    std::optional<double> endTime() const { return endTime_; }
    const std::string& endpoint() const { return endpoint_; }
    const std::string& method() const { return method_; }
    Arguments& arguments() { return arguments_; }
    std::optional<nlohmann::json>& parameters() { return parameters_; }
    const std::optional<nlohmann::json>& parameters() const { return parameters_; }
    const std::shared_ptr<bv::InputStream>& stream() const { return stream_; }
    uint64_t numberOfRetries() const { return numberOfRetries_; }
    void setNumberOfRetries(uint64_t retries) { numberOfRetries_ = retries; }
    // A byte-buffer parameter whose bytes are shared rather than copied into the parameters:
    // the parameter keeps an empty binary in their place, the multipart body is streamed from
    // the shared bytes and the log shows their size. Set before the request is sent.
    void setSharedBinaryParameter(const std::string& key, std::shared_ptr<const bv::Data> bytes);
    int64_t parametersType() const { return parametersType_; }
    void setParametersType(int64_t type) { parametersType_ = type; }
    // Whether the service applies the request once however often it arrives, so that an
    // attempt whose fate is unknown may be sent again. By default every method but POST;
    // a POST that only looks something up may be marked so.
    bool safeToResend() const { return safeToResend_; }
    void setSafeToResend(bool safe) { safeToResend_ = safe; }
    int64_t state() const { return state_; }
    int64_t receivedBytes() const { return receivedBytes_; }
    int64_t totalBytes() const { return totalBytes_; }
    const bv::Data& mutableData() const { return mutableData_; }
    uint64_t timeout() const { return timeout_; }
    void setTimeout(uint64_t seconds) { timeout_ = seconds; }
    void setClock(std::shared_ptr<bv::Clock> clock) { clock_ = std::move(clock); }

    NetworkResponseHandler networkResponseHandler;
    ApiResponseHandler apiResponseHandler;
    DataHandler dataHandler;
    ProgressHandler progressHandler;
    UploadProgressHandler uploadProgressHandler;
    PartialDataHandler partialDataHandler;
    RetryHandler retryHandler;

  private:
    friend class BVApiRequestConnection;

    BVApiRequest();

    struct Attempt {
        bv::Data body;
        BVHttpResponse response;
        bv::Error error;
        // False only when the service cannot have acted on the attempt: it was never
        // sent, or its body was cut off on the way.
        bool mayHaveArrived = false;
    };
    Attempt performAttempt(const BVUrlRequest& request);
    bool encodeParameters(BVUrlRequest& request, bv::Error* error) const;
    void markStarted();
    void markFinished();

    // Events of the asynchronous exchange, on the main thread, from the connection.
    void connectionDidReceiveResponse(const BVHttpResponse& response);
    void connectionDidReceiveData(const bv::Data& piece);
    void connectionDidSendBodyData(int64_t sent, int64_t expected);
    void connectionDidFinishLoading(const BVApiRequestConnection* connection);
    void connectionDidFail(const BVApiRequestConnection* connection, const bv::Error& error);
    // Whether the events of this connection are those of the current send.
    bool isCurrent(const BVApiRequestConnection* connection) const;

    std::atomic<bool> operationsCancelled_{false};
    uint64_t cancelAllPostsAtCreation_ = 0;
    BVApiRequestConfiguration configuration_;
    std::string uid_;
    std::optional<double> startTime_;
    std::optional<double> endTime_;
    std::string endpoint_;
    std::string method_;
    Arguments arguments_;
    std::optional<nlohmann::json> parameters_;
    std::shared_ptr<bv::InputStream> stream_;
    std::map<std::string, std::shared_ptr<const bv::Data>> sharedBinaries_;
    bool streamConsumed_ = false;
    uint64_t numberOfRetries_ = 3;
    int64_t parametersType_ = kParametersJSON;
    bool safeToResend_ = true;
    std::atomic<int64_t> state_{kStateNotSent};
    int64_t receivedBytes_ = 0;
    int64_t totalBytes_ = -1;
    // The connection of the current asynchronous send: set by the sending thread, compared
    // by the events on the main thread.
    mutable std::mutex connectionLock_;  // guards connection_
    std::shared_ptr<BVApiRequestConnection> connection_;
    std::atomic<uint64_t> sendCount_{0};  // tells a stale failure report from the current send
    std::optional<BVUrlRequest> request_;
    bv::Data mutableData_;
    uint64_t timeout_ = 240;
    std::shared_ptr<bv::Clock> clock_;
};
