#include "BVApi/Networking/BVApiRequest.h"

#include <curl/curl.h>

#include <cstdio>
#include <random>
#include <unordered_map>

#include "BVApi/Networking/BVApiParameterEncoder.h"
#include "BVApi/Networking/BVApiRequestConnection.h"
#include "BVApi/Networking/BVCurlTransfer.h"
#include "BVApi/Networking/BVLogMask.h"
#include "app/Logging/BVLogging.h"
#include "platform/BoundedJson.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

namespace {

constexpr const char* kFileDataKey = "file_data";
constexpr const char* kURLErrorDomain = "CURLUErrorDomain";

// A process-wide unique text in the shape of a UUID; requests keep its first 4
// characters as their tag. Each thread draws from its own generator: a shared one would
// put a lock on the making of every request.
std::string globallyUniqueString() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    uint64_t high = generator();
    uint64_t low = generator();
    char text[40];
    std::snprintf(text, sizeof text, "%08llX-%04llX-%04llX-%04llX-%012llX",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0xFFFF),
                  static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

bv::Error transportError(int64_t code, const std::string& reason,
                         std::optional<bv::Error> underlying) {
    bv::Error error(bv::kBVErrorDomain, code);
    if (!reason.empty())
        error.setInfo(bv::kFailureReasonKey, reason);
    if (underlying && *underlying)
        error.setUnderlying(*underlying);
    else
        error.setInfo("nil", std::monostate{});
    return error;
}

struct UrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;

// Resolved URLs kept per thread; endpoints are a fixed set, ids travel as components.
constexpr size_t kResolvedKept = 128;

std::string urlPart(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK || !text)
        return {};
    std::string result(text);
    curl_free(text);
    return result;
}

// endpoint resolved against base; the path gets `component` as one further component
// when one is given. Answers nothing when either is not a usable URL.
std::optional<std::string> resolve(const std::string& base, const std::string& endpoint,
                                   const std::optional<std::string>& component, bv::Error* error) {
    // Parsing both URLs costs more than the rest of a small request's bookkeeping, and each
    // request resolves the same few pairs several times (to send, and for its log records):
    // the last answers are kept per thread. Only sound answers are kept.
    thread_local std::unordered_map<std::string, std::string> resolved;
    std::string key = base;
    key += '\0';
    key += endpoint;
    std::string text;
    CURLUcode code = CURLUE_OK;
    if (auto known = resolved.find(key); known != resolved.end()) {
        text = known->second;
    } else {
        UrlHandle url(curl_url());
        code = url ? curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) : CURLUE_OUT_OF_MEMORY;
        if (code == CURLUE_OK && !endpoint.empty())
            code = curl_url_set(url.get(), CURLUPART_URL, endpoint.c_str(), 0);
        text = code == CURLUE_OK ? urlPart(url.get(), CURLUPART_URL) : std::string();
        if (!text.empty()) {
            if (resolved.size() >= kResolvedKept)
                resolved.clear();
            resolved.emplace(std::move(key), text);
        }
    }
    if (text.empty()) {
        if (code == CURLUE_OK)
            code = CURLUE_MALFORMED_INPUT;
        bv::setError(
            error, bv::Error(kURLErrorDomain, code,
                             {{bv::kFailureReasonKey, std::string(curl_url_strerror(code)) + ": " +
                                                          base + " + " + endpoint}}));
        return std::nullopt;
    }
    if (component) {
        // Spliced in as text: the component is already percent-encoded and must reach
        // the wire exactly as it is.
        size_t pathEnd = text.find_first_of("?#");
        std::string rest = pathEnd == std::string::npos ? std::string() : text.substr(pathEnd);
        text.resize(pathEnd == std::string::npos ? text.size() : pathEnd);
        if (text.back() != '/')
            text.push_back('/');
        text += *component + rest;
    }
    return text;
}

std::string loggedValue(const std::string& key, const nlohmann::json& value) {
    if (auto marker = BVLogMask::markerFor(key, value))
        return *marker;
    if (value.is_binary())
        return bv::format("NSData of %lu", value.get_binary().size());
    return BVApiParameterEncoder::textForm(BVLogMask::masked(value));
}

// How often "CancelAllUploads" was posted. One observer for the whole process counts the
// posts, and a request compares the count with the one it was made under: an observer per
// request would take the center's lock at every creation and destruction of a request.
std::atomic<uint64_t>& cancelAllUploadsPosts() {
    static std::atomic<uint64_t> posts{0};
    // Kept for the life of the process, as the default center is.
    [[maybe_unused]] static bv::NotificationCenter::Token* observer =
        bv::NotificationCenter::defaultCenter()
            .addObserver(BVApiRequest::kCancelAllUploadsNotification,
                         [](const std::string&, const nlohmann::json&) {
                             posts.fetch_add(1, std::memory_order_release);
                         })
            .release();
    return posts;
}

// Receives a synchronous answer into memory, reports the body's progress on the sending
// thread and ends the exchange once the request's operations are cancelled.
class BodyCollector : public BVCurlTransfer::Delegate {
  public:
    BodyCollector(const BVApiRequest::UploadProgressHandler& progress,
                  const std::atomic<bool>& cancelled)
        : progress_(progress), cancelled_(cancelled) {}
    size_t transferDidReceiveData(const char* bytes, size_t length) override {
        body.append(bytes, length);
        return length;
    }
    void transferDidSendBodyData(int64_t sent, int64_t expected) override {
        if (progress_)
            progress_(sent, expected);
    }
    bool transferShouldGoOn() override { return !cancelled_.load(); }
    bv::Data body;

  private:
    const BVApiRequest::UploadProgressHandler& progress_;
    const std::atomic<bool>& cancelled_;
};

}  // namespace

// MARK: - Creation

BVApiRequest::BVApiRequest()
    : configuration_(BVApiRequestConfiguration::defaultConfiguration()),
      uid_(globallyUniqueString().substr(0, 4)),
      clock_(bv::Clock::system()) {
    cancelAllPostsAtCreation_ = cancelAllUploadsPosts().load(std::memory_order_acquire);
}

BVApiRequest::~BVApiRequest() = default;

bool BVApiRequest::operationsCancelled() const {
    return operationsCancelled_ ||
           cancelAllUploadsPosts().load(std::memory_order_acquire) != cancelAllPostsAtCreation_;
}

std::shared_ptr<BVApiRequest> BVApiRequest::initWithMethod(const std::string& method,
                                                           const std::string& endpoint,
                                                           const Arguments& arguments,
                                                           std::shared_ptr<bv::InputStream> stream,
                                                           nlohmann::json parameters) {
    std::shared_ptr<BVApiRequest> request(new BVApiRequest());
    request->method_ = method;
    request->endpoint_ = endpoint;
    request->timeout_ = 240;
    request->numberOfRetries_ = request->configuration_.numberOfRetries;
    request->arguments_ = arguments;
    request->parametersType_ =
        method == "POST" || method == "PUT" ? kParametersJSON : kParametersQuery;
    request->safeToResend_ = method != "POST";
    if (parameters.is_object()) {
        request->parameters_ = std::move(parameters);
    } else if (stream) {
        request->stream_ = std::move(stream);
        request->parametersType_ = kParametersStream;
    }
    return request;
}

std::shared_ptr<BVApiRequest> BVApiRequest::requestWithMethod(const std::string& method,
                                                              const std::string& endpoint) {
    return initWithMethod(method, endpoint, {}, nullptr, nullptr);
}

std::shared_ptr<BVApiRequest> BVApiRequest::requestWithMethod(const std::string& method,
                                                              const std::string& endpoint,
                                                              const Arguments& arguments) {
    return initWithMethod(method, endpoint, arguments, nullptr, nullptr);
}

std::shared_ptr<BVApiRequest> BVApiRequest::requestWithMethod(const std::string& method,
                                                              const std::string& endpoint,
                                                              const nlohmann::json& parameters) {
    return initWithMethod(method, endpoint, {}, nullptr, parameters);
}

std::shared_ptr<BVApiRequest> BVApiRequest::requestWithMethod(const std::string& method,
                                                              const std::string& endpoint,
                                                              const Arguments& arguments,
                                                              const nlohmann::json& parameters) {
    return initWithMethod(method, endpoint, arguments, nullptr, parameters);
}

std::shared_ptr<BVApiRequest> BVApiRequest::requestWithMethod(const std::string& method,
                                                              const std::string& endpoint,
                                                              const Arguments& arguments,
                                                              nlohmann::json&& parameters) {
    return initWithMethod(method, endpoint, arguments, nullptr, std::move(parameters));
}

std::shared_ptr<BVApiRequest> BVApiRequest::requestWithMethod(
    const std::string& method, const std::string& endpoint,
    std::shared_ptr<bv::InputStream> stream) {
    return initWithMethod(method, endpoint, {}, std::move(stream), nullptr);
}

std::shared_ptr<BVApiRequest> BVApiRequest::requestWithMethod(
    const std::string& method, const std::string& endpoint, const Arguments& arguments,
    std::shared_ptr<bv::InputStream> stream) {
    return initWithMethod(method, endpoint, arguments, std::move(stream), nullptr);
}

// MARK: - Building the request

void BVApiRequest::setSharedBinaryParameter(const std::string& key,
                                            std::shared_ptr<const bv::Data> bytes) {
    if (!parameters_ || !parameters_->is_object())
        parameters_ = nlohmann::json::object();
    (*parameters_)[key] = nlohmann::json::binary({});
    sharedBinaries_[key] = std::move(bytes);
}

std::string BVApiRequest::fullUrlFor(const std::string& endpoint) const {
    return resolve(configuration_.requestHost(), endpoint, std::nullopt, nullptr)
        .value_or(endpoint);
}

const BVUrlRequest* BVApiRequest::urlRequest(bv::Error* error) {
    if (request_)
        return &*request_;
    BVUrlRequest request;
    bv::Error encoderError;
    auto url = resolve(configuration_.requestHost(), endpoint_,
                       BVApiParameterEncoder::pathComponent(arguments_), &encoderError);
    if (url) {
        request.url = *url;
        request.method = method_;
        request.timeout = static_cast<double>(timeout_);
        request.caFile = configuration_.caFile();
    }
    if (!url || !encodeParameters(request, &encoderError)) {
        bv::setError(error, transportError(kErrorRequestNotBuilt, "", encoderError));
        return nullptr;
    }
    request_ = std::move(request);
    return &*request_;
}

bool BVApiRequest::encodeParameters(BVUrlRequest& request, bv::Error* error) const {
    const nlohmann::json noParameters = nlohmann::json::object();
    const nlohmann::json& parameters = parameters_ ? *parameters_ : noParameters;
    auto multipart = [&] {
        request.headers.emplace_back("Content-Type",
                                     bv::format("multipart/form-data; boundary=%@",
                                                BVApiParameterEncoder::kMultipartBoundary));
        if (sharedBinaries_.empty())
            request.body =
                std::make_shared<const bv::Data>(BVApiParameterEncoder::multipartBody(parameters));
        else
            request.stream = BVApiParameterEncoder::multipartStream(parameters, sharedBinaries_);
    };
    switch (parametersType_) {
        case kParametersJSON: {
            if (!parameters_)
                return true;
            auto body = BVApiParameterEncoder::jsonBody(parameters, error);
            if (!body)
                return false;
            request.headers.emplace_back("Content-Type", "application/json");
            request.body = std::make_shared<const bv::Data>(std::move(*body));
            return true;
        }
        case kParametersQuery:
            request.url.push_back('?');
            request.url += BVApiParameterEncoder::queryString(parameters);
            return true;
        case kParametersQueryAndMultipart:
            request.url.push_back('?');
            request.url += BVApiParameterEncoder::queryString(parameters, kFileDataKey);
            multipart();
            return true;
        case kParametersMultipart:
            multipart();
            return true;
        case kParametersStream:
            request.stream = stream_;
            return true;
        default:
            bv::setError(
                error, bv::Error::make(kErrorRequestNotBuilt,
                                       bv::format("unknown parameters type %@", parametersType_)));
            return false;
    }
}

// MARK: - Synchronous exchange

void BVApiRequest::markStarted() {
    state_ = kStateRunning;
    if (!startTime_)
        startTime_ = clock_->now();
}

void BVApiRequest::markFinished() {
    endTime_ = clock_->now();
    state_ = kStateFinished;
}

BVApiRequest::Attempt BVApiRequest::performAttempt(const BVUrlRequest& request) {
    Attempt attempt;
    // A streamed body was read by an earlier send; it goes out again from its start
    // or not at all, never truncated.
    if (request.stream && streamConsumed_ && !request.stream->rewind()) {
        attempt.error = bv::Error(
            BVCurlTransfer::kErrorDomain, CURLE_SEND_FAIL_REWIND,
            {{bv::kFailureReasonKey, std::string("The body stream cannot be sent again")}});
        return attempt;
    }
    if (request.stream)
        streamConsumed_ = true;
    BodyCollector collector(uploadProgressHandler, operationsCancelled_);
    // On the thread's own handle: consecutive requests of a thread share one connection.
    auto transfer = BVCurlTransfer::make(request, collector, &attempt.error,
                                         BVCurlTransfer::Handle::thread, clock_);
    if (!transfer)
        return attempt;
    CURLcode code = transfer->perform();
    attempt.response = transfer->response();
    attempt.mayHaveArrived = transfer->requestMayHaveArrived();
    // As with the platform's loading, a failed exchange has no body: a cut-off answer
    // must never pass for a whole one.
    if (code != CURLE_OK)
        attempt.error = transfer->errorFor(code);
    else
        attempt.body = std::move(collector.body);
    return attempt;
}

bool BVApiRequest::sendSyncWith(bv::Error* error, bv::Data* data, BVHttpResponse* response,
                                bool /*logging*/) {
    const BVUrlRequest* request = urlRequest(error);
    if (!request)
        return false;
    for (double delay = kFirstRetryDelay;; delay *= 2) {
        markStarted();
        Attempt attempt = performAttempt(*request);
        markFinished();
        if (data)
            *data = attempt.body;
        if (response)
            *response = attempt.response;
        bool success = !attempt.body.empty();
        if (!success) {
            BVLog("dataFailure");
            success = attempt.response.statusCode == 200 && !attempt.error;
        }
        if (success)
            return true;
        // A POST whose whole body reached the service may have been applied even though
        // no answer came back; sending it again could apply it twice.
        const bool resendable = safeToResend_ || !attempt.mayHaveArrived;
        if (!resendable && numberOfRetries_ > 0)
            BVLog("request uid %@ is not sent again: the service may have applied it", uid_);
        if (numberOfRetries_ == 0 || !resendable || operationsCancelled_) {
            bv::setError(error,
                         transportError(kErrorNoData, "Server returned no data", attempt.error));
            return false;
        }
        --numberOfRetries_;
        BVLog("retry request for request uid %@", uid_);
        if (retryHandler && !retryHandler(nullptr, attempt.error)) {
            bv::Error refused(bv::kBVErrorDomain, kErrorRetryRefused);
            if (attempt.error)
                refused.setUnderlying(attempt.error);
            bv::setError(error, refused);
            return false;
        }
        clock_->sleepFor(delay);
    }
}

bool BVApiRequest::sendSyncWith(bv::Error* error, nlohmann::json* response) {
    bv::Data data;
    if (!sendSyncWith(error, &data, nullptr, true))
        return false;
    auto parsed = apiResponseFrom(&data, uid_, error);
    if (!parsed)
        return false;
    if (response)
        *response = std::move(*parsed);
    return true;
}

bool BVApiRequest::sendSyncWith(bv::Error* error, bv::Data* data) {
    return sendSyncWith(error, data, nullptr, true);
}

bool BVApiRequest::sendSyncWith(bv::Error* error, bv::Data* data, long expectCode) {
    BVHttpResponse response;
    return sendSyncWith(error, data, &response, true) && response.statusCode == expectCode;
}

bool BVApiRequest::sendSyncWith(bv::Error* error, bv::Data* data, long* returnCode) {
    BVHttpResponse response;
    if (!sendSyncWith(error, data, &response, true))
        return false;
    if (returnCode)
        *returnCode = response.statusCode;
    return true;
}

// MARK: - Asynchronous exchange

void BVApiRequest::sendAsync() {
    if (!startTime_)
        startTime_ = clock_->now();
    bv::Error error;
    const BVUrlRequest* request = urlRequest(&error);
    if (!request) {
        if (dataHandler)
            dataHandler(nullptr, error);
        if (retryHandler)
            retryHandler(nullptr, error);
        return;
    }
    if (timeout_ == 0)
        BVLog("Request timeout = 0! This will cause issues on older versions.");
    mutableData_ = bv::Data();
    state_ = kStateRunning;
    ++sendCount_;
    std::shared_ptr<BVApiRequestConnection> connection;
    if (request->stream && streamConsumed_ && !request->stream->rewind()) {
        error = bv::Error(
            BVCurlTransfer::kErrorDomain, CURLE_SEND_FAIL_REWIND,
            {{bv::kFailureReasonKey, std::string("The body stream cannot be sent again")}});
    } else {
        if (request->stream)
            streamConsumed_ = true;
        connection = BVApiRequestConnection::make(shared_from_this(), *request, clock_, &error);
    }
    {
        std::lock_guard lock(connectionLock_);
        connection_ = connection;
    }
    // Only now: a quick failure (a refused connection) is reported on the main loop while
    // this thread may still be here, and the report counts only for the current connection.
    if (connection)
        connection->begin();
    if (!connection) {
        // Reported like any failed connection: on the main loop, after sendAsync returned.
        auto self = shared_from_this();
        uint64_t send = sendCount_;
        bv::RunLoop::main().perform([self, error, send] {
            // Not when the request was cancelled or sent again in the meantime.
            if (self->sendCount_ == send && self->state_ == kStateRunning)
                self->connectionDidFail(nullptr, error);
        });
    }
}

void BVApiRequest::connectionDidReceiveResponse(const BVHttpResponse& response) {
    totalBytes_ = response.expectedContentLength;
    if (networkResponseHandler)
        networkResponseHandler(response);
}

void BVApiRequest::connectionDidReceiveData(const bv::Data& piece) {
    if (partialDataHandler)
        partialDataHandler(piece, receivedBytes_, totalBytes_);
    else
        mutableData_.append(piece);
    receivedBytes_ += static_cast<int64_t>(piece.size());
    if (progressHandler)
        progressHandler(receivedBytes_, totalBytes_);
}

void BVApiRequest::connectionDidSendBodyData(int64_t sent, int64_t expected) {
    if (uploadProgressHandler)
        uploadProgressHandler(sent, expected);
}

void BVApiRequest::connectionDidFinishLoading(const BVApiRequestConnection* connection) {
    if (dataHandler)
        dataHandler(&mutableData_, bv::Error());
    if (!partialDataHandler && apiResponseHandler) {
        bv::Error error;
        auto response = apiResponseFrom(&mutableData_, uid_, &error);
        apiResponseHandler(response ? &*response : nullptr, error);
    }
    // A callback may have sent the request again; that send owns the state now.
    if (isCurrent(connection))
        markFinished();
}

bool BVApiRequest::isCurrent(const BVApiRequestConnection* connection) const {
    std::lock_guard lock(connectionLock_);
    return connection_.get() == connection;
}

void BVApiRequest::connectionDidFail(const BVApiRequestConnection* connection,
                                     const bv::Error& error) {
    if (!isCurrent(connection))
        return;
    if (numberOfRetries_ > 0) {
        --numberOfRetries_;
        if (!retryHandler || retryHandler(&mutableData_, error)) {
            sendAsync();
            return;
        }
    }
    if (apiResponseHandler)
        apiResponseHandler(nullptr, error);
    if (dataHandler)
        dataHandler(nullptr, error);
    if (isCurrent(connection))
        markFinished();
}

void BVApiRequest::cancelAsync() {
    ++sendCount_;
    std::shared_ptr<BVApiRequestConnection> connection;
    {
        std::lock_guard lock(connectionLock_);
        connection = connection_;
    }
    if (connection)
        connection->cancel();
    markFinished();
}

void BVApiRequest::waitAsync() {
    while (state_ == kStateRunning && !operationsCancelled())
        waitFor(1);
}

void BVApiRequest::waitFor(double seconds) {
    bv::RunLoop::current().runFor(seconds / 10);
    clock_->sleepFor(seconds);
}

// MARK: - Answers and logging

std::optional<nlohmann::json> BVApiRequest::apiResponseFrom(const bv::Data* data,
                                                            const std::string& uid,
                                                            bv::Error* error) {
    auto badAnswer = [error] {
        std::optional<bv::Error> underlying;
        if (error && *error)
            underlying = *error;
        bv::setError(error,
                     transportError(kErrorBadAnswer, "Possible internal server error", underlying));
        return std::nullopt;
    };
    if (!data) {
        BVLog("BVApiRequest:apiResponseFrom data=nil");
        return badAnswer();
    }
    if (data->empty()) {
        BVLog("BVApiRequest:apiResponseFrom data.length==0");
        return nlohmann::json::object();
    }
    BVLog("BVApiRequest:apiResponseFrom data.length!=0");
    BVLog("BVApiRequest:apiResponseFrom dataBytesChars");
    if (data->view() == "true") {
        BVLog("BVApiRequest:apiResponseFrom response true");
        return nlohmann::json{{"response", "true"}};
    }
    bool tooDeep = false;
    nlohmann::json parsed = bv::BoundedJson::parse(data->view(), bv::BoundedJson::Format::Text,
                                                   kMaxAnswerDepth, &tooDeep)
                                .value_or(nlohmann::json(nlohmann::json::value_t::discarded));
    BVSuccinctLog("BVApiRequest:apiResponseFrom isKindOfClass");
    if (parsed.is_array())
        return nlohmann::json::object();
    if (parsed.is_object())
        return parsed;
    bv::setError(
        error,
        bv::Error(BVApiParameterEncoder::kJSONErrorDomain, 3840,
                  {{bv::kFailureReasonKey,
                    std::string(tooDeep                 ? "The answer is nested too deeply."
                                : parsed.is_discarded() ? "The answer is not valid JSON."
                                                        : "JSON text did not start with array or "
                                                          "object.")}}));
    BVLog("........... #%@ ERROR in response: %@", uid, BVLogMask::maskedText(data->toString()));
    return badAnswer();
}

BVApiExchangeSummary BVApiRequest::summary() const {
    BVApiExchangeSummary summary;
    summary.uid = uid_;
    summary.method = method_;
    summary.endpoint = endpoint_;
    summary.url = fullUrlFor(endpoint_);
    summary.parameters = "{\n";
    if (parameters_ && parameters_->is_object()) {
        // "  %@ = \"%@\"\n" for each, put together directly: every request builds this twice.
        for (const auto& [key, value] : parameters_->items()) {
            summary.parameters.append("  ").append(key).append(" = \"");
            auto shared = sharedBinaries_.find(key);
            summary.parameters
                .append(shared != sharedBinaries_.end() && shared->second &&
                                !BVLogMask::markerFor(key, value)
                            ? bv::format("NSData of %lu", shared->second->size())
                            : loggedValue(key, value))
                .append("\"\n");
        }
    }
    summary.startTime = startTime_;
    summary.endTime = endTime_;
    summary.response = "null";
    return summary;
}

void BVApiRequest::logRequestDebug() const {
    summary().logRequest();
}
