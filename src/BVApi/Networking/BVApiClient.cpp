#include "BVApi/Networking/BVApiClient.h"

#include <cmath>
#include <cstdlib>

#include "BVApi/Networking/BVApiClientSharingContext.h"
#include "BVApi/Networking/BVLogMask.h"
#include "BVApi/Networking/BVNetworkSettings.h"
#include "app/Logging/BVLogging.h"
#include "platform/CallStack.h"

#ifndef BV_API_VERSION
#define BV_API_VERSION "0"
#endif

using json = nlohmann::json;

namespace {

constexpr const char* kNetworkFailureReason = "Server communication error.";

std::string timeText(const std::optional<double>& when) {
    return when ? bv::toText(*when) : std::string("(null)");
}

// Values of an answer that a summary keeps; the rest is counted, not copied.
constexpr size_t kSummaryValues = 64;
constexpr size_t kSummaryTextLength = 256;

// A copy of value with at most `budget` values: a listing of a big folder is kept as its
// first entries and a count, at a cost that does not grow with the listing.
json abridged(const json& value, size_t& budget) {
    if (value.is_array() || value.is_object()) {
        json copy = value.is_array() ? json::array() : json::object();
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (budget == 0) {
                std::string rest = bv::format("... (%lu in all)", value.size());
                if (value.is_array())
                    copy.push_back(rest);
                else
                    copy["..."] = rest;
                break;
            }
            --budget;
            if (value.is_array())
                copy.push_back(abridged(*it, budget));
            else
                copy[it.key()] = abridged(*it, budget);
        }
        return copy;
    }
    if (value.is_string() && value.get_ref<const std::string&>().size() > kSummaryTextLength)
        return value.get_ref<const std::string&>().substr(0, kSummaryTextLength) + "...";
    return value;
}

// The answer as the failure log shows it: abridged, masked, and cut short, so the kept
// summaries stay small.
std::string loggedAnswer(const json& response) {
    size_t budget = kSummaryValues;
    // A long text cut short may end inside a character; it is written with a replacement.
    std::string text = BVLogMask::masked(abridged(response, budget))
                           .dump(-1, ' ', false, json::error_handler_t::replace);
    if (text.size() > BVApiExchangeSummary::kMaxResponseText) {
        size_t whole = text.size();
        text.resize(BVApiExchangeSummary::kMaxResponseText);
        text += bv::format("... (%lu bytes)", whole);
    }
    return text;
}

// A value the service sent under key, when present and not null.
const json* presentValue(const json& dict, const char* key) {
    if (!dict.is_object())
        return nullptr;
    auto it = dict.find(key);
    if (it == dict.end() || it->is_null())
        return nullptr;
    return &*it;
}

}  // namespace

// MARK: - Set-up

BVApiClient* BVApiClient::sharedClient() {
    // Never destroyed: threads still running at exit may hold it.
    static auto* client = new BVApiClient;
    return client;
}

const char* BVApiClient::apiVersion() {
    return BV_API_VERSION;
}

BVApiClient::BVApiClient(std::shared_ptr<bv::Clock> clock)
    : clock_(clock ? std::move(clock) : bv::Clock::system()) {}

std::shared_ptr<BVApiClientActivityDelegate> BVApiClient::activityDelegate() const {
    std::lock_guard lock(delegateLock_);
    return activityDelegate_;
}

void BVApiClient::setActivityDelegate(std::shared_ptr<BVApiClientActivityDelegate> delegate) {
    std::lock_guard lock(delegateLock_);
    activityDelegate_ = std::move(delegate);
}

void BVApiClient::setConfiguration(std::optional<BVApiRequestConfiguration> configuration) {
    std::lock_guard lock(delegateLock_);
    configuration_ = std::move(configuration);
}

std::vector<BVApiClient::ExchangeRef> BVApiClient::requestsStack() const {
    std::lock_guard lock(requestsLock_);
    return requestsStack_;
}

void BVApiClient::notifyStarted() {
    if (auto delegate = activityDelegate())
        delegate->didStartedRequest();
}

void BVApiClient::notifyFinished() {
    if (auto delegate = activityDelegate())
        delegate->didFinishedRequest();
}

BVApiClient::RequestRef BVApiClient::makeRequest(const std::string& method,
                                                 const std::string& endpoint,
                                                 const BVApiRequest::Arguments& arguments,
                                                 const json& parameters) {
    auto request = BVApiRequest::requestWithMethod(method, endpoint, arguments, parameters);
    request->setClock(clock_);
    std::lock_guard lock(delegateLock_);
    if (configuration_) {
        request->configuration() = *configuration_;
        request->setNumberOfRetries(configuration_->numberOfRetries);
    }
    return request;
}

// MARK: - Errors

void BVApiClient::fillNetworkError(bv::Error* error) {
    if (!error)
        return;
    bv::Error replacement(bv::kBVErrorDomain, kErrorNetwork,
                          {{bv::kFailureReasonKey, std::string(kNetworkFailureReason)}});
    if (error->isSet())
        replacement.setUnderlying(*error);
    else
        replacement.setInfo("nil", std::monostate{});
    *error = std::move(replacement);
}

bool BVApiClient::isServerError(const json& response) {
    return response.is_object() && response.size() == 1 && response.contains("error");
}

bv::ErrorUserInfo BVApiClient::userInfoFromServerErrorResponse(const json& response) {
    bv::ErrorUserInfo info;
    const json* body = presentValue(response, "error");
    if (!body || !body->is_object())
        return info;
    if (const json* message = presentValue(*body, "message")) {
        info[bv::kFailureReasonKey] =
            message->is_string() ? message->get<std::string>() : bv::toText(*message);
    }
    if (const json* code = presentValue(*body, "code")) {
        if (code->is_number_integer() &&
            (code->is_number_unsigned() ? code->get<uint64_t>() <= INT64_MAX : true)) {
            info[bv::kServerCodeKey] = code->get<int64_t>();
        } else if (code->is_number_float() && std::isfinite(code->get<double>()) &&
                   std::fabs(code->get<double>()) < 9e15) {
            info[bv::kServerCodeKey] = static_cast<int64_t>(code->get<double>());
        } else if (code->is_string()) {
            info[bv::kServerCodeKey] = code->get<std::string>();
        }
    }
    return info;
}

// MARK: - Classification

BVApiClient::Status BVApiClient::checkResponseStatus(const json& response,
                                                     const RequestRef& request, bv::Error* error) {
    BVLog("checkResponseStatus synchronized");
    Status status = BVApiClientCheckResponseStatusNormal;
    if (isServerError(response)) {
        BVLog("checkResponseStatus i");
        bv::ErrorUserInfo info = userInfoFromServerErrorResponse(response);
        BVLog("checkResponseStatus errorInfo");
        bv::setError(error, bv::Error(bv::kBVErrorDomain, kErrorServer, info));
        BVLog("checkResponseStatus FILL_ERROR_UI");
        auto reason = info.find(bv::kFailureReasonKey);
        const std::string* message =
            reason == info.end() ? nullptr : std::get_if<std::string>(&reason->second);
        if (message && *message == kFolderBusyMessage) {
            BVLog("checkResponseStatus i i");
            status = BVApiClientCheckResponseStatusBusy;
        } else if (message && *message == kAlreadyProcessedMessage) {
            BVLog("checkResponseStatus processed");
            status = BVApiClientCheckResponseStatusNormal;
        } else {
            status = BVApiClientCheckResponseStatusError;
        }
    }
    const bool failed = status != BVApiClientCheckResponseStatusNormal;
    if (!failed) {
        BVLog("checkResponseStatus BVApiClientCheckResponseStatusNormal");
        if (BVNetworkSettings::current().logNormalAnswers) {
            BVLog("checkResponseStatus t s i");
            if (request)
                request->logRequestDebug();
            BVLog("........... #%@ response: %@", request ? request->uid() : "",
                  BVLogMask::masked(response));
        }
    }
    BVApiExchangeSummary summary = request ? request->summary() : BVApiExchangeSummary();
    summary.response = loggedAnswer(response);
    summary.status = status;
    auto kept = std::make_shared<const BVApiExchangeSummary>(std::move(summary));
    std::vector<ExchangeRef> earlier;
    {
        std::lock_guard lock(requestsLock_);
        if (failed)
            earlier = requestsStack_;
        requestsStack_.push_back(kept);
        while (requestsStack_.size() > kRequestsStackSize)
            requestsStack_.erase(requestsStack_.begin());
    }
    if (failed)
        logFailure(earlier, *kept);
    return status;
}

void BVApiClient::logFailure(const std::vector<ExchangeRef>& earlier,
                             const BVApiExchangeSummary& failed) {
    std::lock_guard lock(failureLogLock_);
    BVLog("checkResponseStatus default");
    BVLog("=== REQUEST FAILURE. REQUESTS STACK(%d): ===", earlier.size());
    for (const auto& kept : earlier) {
        if (kept->method.empty())
            continue;  // classified without a request
        kept->logRequest();
        BVLog("........... #%@ %@ %@ response: %@", kept->uid, timeText(kept->startTime),
              timeText(kept->endTime), kept->response);
    }
    BVLog("== FAILED REQUEST: ===");
    if (!failed.method.empty())
        failed.logRequest();
    BVLog("   :: %@", bv::currentCallStack());
    BVLog("........... #%@, %@, %@, response: %@", failed.uid,
          failed.method.empty() ? "" : timeText(failed.startTime),
          failed.method.empty() ? "" : timeText(failed.endTime), failed.response);
    BVLog("=== FAILURE LOG END ===\n\n");
}

bool BVApiClient::checkServerError(bv::Error* error, const RequestRef& request,
                                   const json& response) {
    return checkResponseStatus(response, request, error) == BVApiClientCheckResponseStatusNormal;
}

// MARK: - Sending

std::optional<json> BVApiClient::sendRequest(const RequestRef& request, bv::Error* error) {
    return sendRequest(request, 0, error);
}

std::optional<json> BVApiClient::sendRequest(const RequestRef& request, int iteration,
                                             bv::Error* error) {
    if (!request)
        return std::nullopt;
    // The same request object is resent while the service is busy, so its start time, its
    // built wire request and its remaining transport retries carry over.
    for (;; ++iteration) {
        notifyStarted();
        json response;
        if (!request->sendSyncWith(error, &response)) {
            BVLog("=== FAILED REQUEST Caused by previous request: ===");
            request->logRequestDebug();
            fillNetworkError(error);
            notifyFinished();
            return std::nullopt;
        }
        Status status = checkResponseStatus(response, request, error);
        if (status == BVApiClientCheckResponseStatusBusy && iteration < kMaxBusyRetries) {
            double started = request->startTime().value_or(clock_->now());
            auto elapsed = static_cast<int64_t>(std::floor(clock_->now() - started));
            if (elapsed <= kBusyRetryWindow) {
                BVLog("retry file close request due to BVApiClientCheckResponseStatusBusy");
                clock_->sleepFor(kBusyRetryDelay);
                notifyFinished();
                continue;
            }
        }
        if (status != BVApiClientCheckResponseStatusBusy)
            request->logRequestDebug();
        notifyFinished();
        return response;
    }
}

bool BVApiClient::sendStatusRequest(const RequestRef& request, BVApiClientContext* context,
                                    bv::Error* error) {
    if (!request)
        return false;
    if (context && !context->preFill(*request, this, error))
        return false;
    json response;
    if (!request->sendSyncWith(error, &response)) {
        BVLog("=== FAILED REQUEST Caused by previous request: ===");
        request->logRequestDebug();
        fillNetworkError(error);
        return false;
    }
    return checkResponseStatus(response, request, error) == BVApiClientCheckResponseStatusNormal;
}

bool BVApiClient::sendStatusRequest(const RequestRef& request, bv::Error* error) {
    return sendStatusRequest(request, nullptr, error);
}

bool BVApiClient::sendRaw(const RequestRef& request, BVApiClientContext* context, bv::Data* data,
                          long* status, bv::Error* error) {
    if (context && !context->preFill(*request, this, error))
        return false;
    notifyStarted();
    bool sent = request->sendSyncWith(error, data, status);
    notifyFinished();
    return sent;
}

// MARK: - Answers to items

BVItemRef BVApiClient::fillContentItemOfClass(const BVItemClass& cls, bv::Error* error,
                                              BVApiClientContext* context,
                                              const RequestRef& request) {
    auto answer = fillResponseError(error, context, request);
    if (!answer)
        return nullptr;
    return cls.itemWithDict(*answer, error);
}

BVItemRef BVApiClient::fillContentItemOfClass(const BVItemClass& cls, bv::Error* error,
                                              const RequestRef& request) {
    return fillContentItemOfClass(cls, error, nullptr, request);
}

std::optional<json> BVApiClient::fillResponseError(bv::Error* error, BVApiClientContext* context,
                                                   const RequestRef& request) {
    if (!request)
        return std::nullopt;
    if (context && !context->preFill(*request, this, error))
        return std::nullopt;
    auto answer = sendRequest(request, error);
    if (!answer)
        return std::nullopt;
    // An error answer never becomes an item, whatever its class would accept; the
    // classification has already put -197 into the slot.
    if (isServerError(*answer)) {
        if (error && !error->isSet())
            *error = bv::Error(bv::kBVErrorDomain, kErrorServer,
                               userInfoFromServerErrorResponse(*answer));
        return std::nullopt;
    }
    if (context)
        return context->postFill(std::move(*answer), this, *request, error);
    return answer;
}

std::shared_ptr<BVUserSessionItem> BVApiClient::fillPropertyOfUserSessionItem(
    const std::shared_ptr<BVUserSessionItem>& session, bv::Error* error,
    const std::string& propertyName, const RequestRef& request) {
    auto answer = fillResponseError(error, nullptr, request);
    if (!answer || !session)
        return nullptr;
    const json* value = presentValue(*answer, propertyName.c_str());
    if (!value)
        return nullptr;
    session->uploadSpeedLimit = *value;
    return session;
}
