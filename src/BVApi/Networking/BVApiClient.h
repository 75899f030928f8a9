#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "BVApi/Content/BVAnonymousItem.h"
#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVIdentifierItems.h"
#include "BVApi/Content/BVSharingItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Networking/BVApiClientActivityDelegate.h"
#include "BVApi/Networking/BVApiClientContext.h"
#include "BVApi/Networking/BVApiRequest.h"
#include "platform/Clock.h"
#include "platform/Data.h"
#include "platform/Error.h"

// The service API: one operation per endpoint. Each builds a request, lets the context add
// the session and sharing identifiers, sends it synchronously on the caller's thread,
// classifies the answer (normal, busy, service error), resends busy answers and turns the
// answer into an item, a text, a flag or bytes. Safe to call from many threads at once.
//
// Errors (domain "__FILE__"): -197 service error (failure reason = its message,
// "BVApiClientServerCodeKey" = its code), -198 sharing context without identifiers, -199
// context without session, -200 exchange failed. A normal answer from which no item can be
// built answers nothing and leaves the error slot as the exchange left it.
class BVApiClient {
  public:
    using Status = int64_t;
    static constexpr Status BVApiClientCheckResponseStatusNormal = 0;
    static constexpr Status BVApiClientCheckResponseStatusBusy = 1;
    static constexpr Status BVApiClientCheckResponseStatusError = 2;

    static constexpr int64_t kErrorServer = -197;
    static constexpr int64_t kErrorNetwork = -200;

    static constexpr const char* kFolderBusyMessage = "Folder is busy";
    static constexpr const char* kAlreadyProcessedMessage =
        "This file is already being processed. Please wait until previous upload operation "
        "will be finished.";
    static constexpr const char* kOpenEncryptedFailedMessage = "Open encrypted directory failed";

    // Busy answers are resent at most kMaxBusyRetries times, kBusyRetryDelay seconds apart,
    // and not once more than kBusyRetryWindow seconds have passed since the first send.
    static constexpr int kMaxBusyRetries = 35;
    static constexpr double kBusyRetryDelay = 5;
    static constexpr int64_t kBusyRetryWindow = 180;
    static constexpr size_t kRequestsStackSize = 5;

    using RequestRef = std::shared_ptr<BVApiRequest>;
    using ExchangeRef = std::shared_ptr<const BVApiExchangeSummary>;

    // The process's client, created on first use with the system clock.
    static BVApiClient* sharedClient();
    // The program's version, sent as "version" and "app_version".
    static const char* apiVersion();

    explicit BVApiClient(std::shared_ptr<bv::Clock> clock = bv::Clock::system());
    BVApiClient(const BVApiClient&) = delete;
    BVApiClient& operator=(const BVApiClient&) = delete;

    std::shared_ptr<BVApiClientActivityDelegate> activityDelegate() const;
    void setActivityDelegate(std::shared_ptr<BVApiClientActivityDelegate> delegate);
    // When set, every request the client builds is sent with a copy of this configuration
    // instead of the default one.
    void setConfiguration(std::optional<BVApiRequestConfiguration> configuration);
    const std::shared_ptr<bv::Clock>& clock() const { return clock_; }
    // Summaries of the last exchanges, oldest first.
    std::vector<ExchangeRef> requestsStack() const;

    // MARK: plumbing

    BVItemRef fillContentItemOfClass(const BVItemClass& cls, bv::Error* error,
                                     BVApiClientContext* context, const RequestRef& request);
    BVItemRef fillContentItemOfClass(const BVItemClass& cls, bv::Error* error,
                                     const RequestRef& request);
    // The answer, or nothing for a failed exchange or a service error (-197).
    std::optional<nlohmann::json> fillResponseError(bv::Error* error, BVApiClientContext* context,
                                                    const RequestRef& request);
    // Stores the answer's value under propertyName as the session's upload speed limit.
    std::shared_ptr<BVUserSessionItem> fillPropertyOfUserSessionItem(
        const std::shared_ptr<BVUserSessionItem>& session, bv::Error* error,
        const std::string& propertyName, const RequestRef& request);
    // The answer (a service error included, with -197 in *error), or nothing when the
    // exchange failed (-200). Busy answers are resent as the same request object.
    std::optional<nlohmann::json> sendRequest(const RequestRef& request, bv::Error* error);
    std::optional<nlohmann::json> sendRequest(const RequestRef& request, int iteration,
                                              bv::Error* error);
    // True exactly when the answer is normal; no busy resend, no activity calls.
    bool sendStatusRequest(const RequestRef& request, BVApiClientContext* context,
                           bv::Error* error);
    bool sendStatusRequest(const RequestRef& request, bv::Error* error);
    // Classifies an answer, writes the failure log and keeps the exchange in requestsStack.
    Status checkResponseStatus(const nlohmann::json& response, const RequestRef& request,
                               bv::Error* error);
    bool checkServerError(bv::Error* error, const RequestRef& request,
                          const nlohmann::json& response);
    // Replaces *error by -200, the previous error kept as underlying (or "nil" = null).
    static void fillNetworkError(bv::Error* error);
    static bv::ErrorUserInfo userInfoFromServerErrorResponse(const nlohmann::json& response);
    // Whether response has exactly one key, "error".
    static bool isServerError(const nlohmann::json& response);

    // MARK: session and user

    std::shared_ptr<BVUserSessionItem> authenticateUserSessionWithUsername(
        const std::string& username, const std::string& password, bv::Error* error);
    // The answer's "UploadSpeedLimit" (null when none), also stored in the session.
    nlohmann::json getUploadSpeedLimit(const std::shared_ptr<BVUserSessionItem>& session,
                                       bv::Error* error);
    bool sendToken(const BVUserSessionItem& session, bv::Error* error);
    bool verifyToken(const BVUserSessionItem& session, const std::string& token, bv::Error* error);
    bool logoutWithContext(BVApiClientContext* context, bv::Error* error);
    bool createUserWithEmail(const std::string& email, const std::string& password,
                             const std::string& firstName, const std::string& lastName,
                             bv::Error* error);
    std::shared_ptr<BVUserInfoItem> userInfoWithContext(BVApiClientContext* context,
                                                        bv::Error* error);
    std::shared_ptr<BVUserLinksItem> userLinksWithContext(BVApiClientContext* context,
                                                          bv::Error* error);
    std::shared_ptr<BVNotificationsItem> userNotificationsContext(BVApiClientContext* context,
                                                                  bv::Error* error);

    // MARK: paths and listings

    // An unknown path (service code 404) answers an item with identifier "undefined" and
    // the error set; an answered item always carries the asked path.
    std::shared_ptr<BVFSIdItem> fileIdAt(const std::string& path, BVApiClientContext* context,
                                         bv::Error* error);
    std::shared_ptr<BVFolderFSIdItem> folderIdAt(const std::string& path,
                                                 BVApiClientContext* context, bv::Error* error);
    std::optional<std::string> pathForFile(const std::string& fileId, BVApiClientContext* context,
                                           bv::Error* error);
    std::optional<std::string> pathForFolder(const std::string& folderId,
                                             BVApiClientContext* context, bv::Error* error);
    std::shared_ptr<BVFolderListItem> listFolder(const std::string& folderId,
                                                 const std::optional<std::string>& lastRequestTime,
                                                 BVApiClientContext* context, bv::Error* error);
    std::shared_ptr<BVTrashFolderListItem> listTrashFolderWithContext(BVApiClientContext* context,
                                                                      bv::Error* error);
    // Identifier: the sharing context's sharingId.
    std::shared_ptr<BVSharedFolderListItem> sharedFoldersWithContext(BVApiClientContext* context,
                                                                     bv::Error* error);
    std::shared_ptr<BVSharedUsersFolderListItem> listSharedUsersWithContext(
        BVApiClientContext* context, bv::Error* error);
    std::shared_ptr<BVFolderInfoItem> folderInfo(const std::string& folderId,
                                                 BVApiClientContext* context, bv::Error* error);
    std::shared_ptr<BVFileInfoItem> fileInfo(const std::string& fileId, BVApiClientContext* context,
                                             bv::Error* error);
    std::shared_ptr<BVFileItem> file(const std::string& fileId, BVApiClientContext* context,
                                     bv::Error* error);

    // MARK: raw exchanges (no classification, no busy resend)

    // Only when the final HTTP status is 200.
    std::shared_ptr<BVFileThumbnailItem> fileThumbnail(const std::string& fileId,
                                                       BVApiClientContext* context,
                                                       bv::Error* error);
    // The whole file; nothing when the service answers another status than 200.
    std::optional<bv::Data> downloadData(const std::string& fileId, BVApiClientContext* context,
                                         bv::Error* error);

    // MARK: folders

    std::shared_ptr<BVFolderItem> createFolder(const std::string& name, const std::string& parentId,
                                               BVApiClientContext* context, bv::Error* error);
    std::shared_ptr<BVFolderItem> moveFolder(const std::string& folderId,
                                             const std::optional<std::string>& newName,
                                             const std::string& destinationId,
                                             BVApiClientContext* context, bv::Error* error);
    bool deleteFolder(const std::string& folderId, BVApiClientContext* context, bv::Error* error);
    bool trashFolder(const std::string& folderId, BVApiClientContext* context, bv::Error* error);
    bool restoreFolder(const std::string& folderId, BVApiClientContext* context, bv::Error* error);
    bool setSettings(const nlohmann::json& settings, const std::string& folderId,
                     const std::string& accessFolderId, BVApiClientContext* context,
                     bv::Error* error);
    // True when the service accepted the request (a normal answer).
    bool emptyTrashWithContext(BVApiClientContext* context, bv::Error* error);

    // MARK: files and uploads

    // Refused without sending (nothing answered, no error set) when name, folder or size is
    // missing. The compression argument is not sent.
    std::shared_ptr<BVFileItem> createFile(const std::optional<std::string>& name,
                                           const std::optional<std::string>& folderId,
                                           std::shared_ptr<BVUploadFileHandle>* uploadHandle,
                                           BVApiClientContext* context, bool forCompression,
                                           std::optional<int64_t> size, bv::Error* error);
    std::shared_ptr<BVFileItem> createFile(const std::optional<std::string>& name,
                                           const std::optional<std::string>& folderId,
                                           BVApiClientContext* context, bool forCompression,
                                           bv::Error* error);
    std::shared_ptr<BVUploadFileHandle> openFile(const std::string& fileId, int64_t size,
                                                 BVApiClientContext* context, bv::Error* error);
    std::shared_ptr<BVChunkUploadResult> uploadChunk(const bv::Data& bytes, uint64_t offset,
                                                     const std::string& fileId,
                                                     const std::string& tempLocation,
                                                     BVApiClientContext* context, bv::Error* error);
    // time: seconds since 1970; the clock's current second when absent.
    std::shared_ptr<BVFileItem> closeFileUpload(const std::string& fileId, int64_t size,
                                                const std::string& tempLocation,
                                                bool withFileCompression,
                                                std::optional<int64_t> time,
                                                BVApiClientContext* context, bv::Error* error);
    bool deleteFile(const std::string& fileId, BVApiClientContext* context, bv::Error* error);
    bool trashFile(const std::string& fileId, BVApiClientContext* context, bv::Error* error);
    bool restoreFile(const std::string& fileId, BVApiClientContext* context, bv::Error* error);
    std::shared_ptr<BVFileItem> moveFile(const std::string& fileId,
                                         const std::optional<std::string>& newName,
                                         const std::string& destinationFolderId,
                                         BVApiClientContext* context, bv::Error* error);
    bool setSettings(const nlohmann::json& settings, const std::string& fileId,
                     BVApiClientContext* context, bv::Error* error);

    // MARK: sharing and secure folders

    std::shared_ptr<BVSharingUsersItem> listSharingUsersOf(const std::string& folderId,
                                                           BVApiClientContext* context,
                                                           bv::Error* error);
    bool shareFolder(const std::string& folderId, const std::string& user,
                     const nlohmann::json& mode, BVApiClientContext* context, bv::Error* error);
    bool deleteSharing(const std::string& sharingId, BVApiClientContext* context, bv::Error* error);
    bool changeSharing(const std::string& sharingId, const nlohmann::json& mode,
                       BVApiClientContext* context, bv::Error* error);
    // Every key of the answer; an empty item when the exchange failed (*error tells).
    std::shared_ptr<BVAnonymousItem> secureFoldersAuth(const std::string& folderId,
                                                       BVApiClientContext* context,
                                                       bv::Error* error);
    // Also true when the service answers "Open encrypted directory failed".
    bool secureFoldersAuth(const std::string& folderId, const std::string& hash,
                           BVApiClientContext* context, bv::Error* error);
    bool secureFoldersInit(const std::string& folderId, const std::string& data,
                           const std::string& hash, BVApiClientContext* context, bv::Error* error);

  private:
    RequestRef makeRequest(const std::string& method, const std::string& endpoint,
                           const BVApiRequest::Arguments& arguments = {},
                           const nlohmann::json& parameters = nullptr);
    template <class T>
    std::shared_ptr<T> fillItem(BVApiClientContext* context, const RequestRef& request,
                                bv::Error* error);
    // fillResponseError, then whether the answer holds key.
    bool answerHolds(const char* key, BVApiClientContext* context, const RequestRef& request,
                     bv::Error* error);
    std::optional<std::string> pathFor(const char* endpoint, const std::string& identifier,
                                       BVApiClientContext* context, bv::Error* error);
    std::optional<std::string> userLink(const char* type, BVApiClientContext* context,
                                        bv::Error* error);
    // preFill and one raw exchange between the activity calls.
    bool sendRaw(const RequestRef& request, BVApiClientContext* context, bv::Data* data,
                 long* status, bv::Error* error);
    // Written outside requestsLock_, from the summaries kept before this exchange.
    void logFailure(const std::vector<ExchangeRef>& earlier, const BVApiExchangeSummary& failed);
    void notifyStarted();
    void notifyFinished();

    std::shared_ptr<bv::Clock> clock_;

    mutable std::mutex delegateLock_;  // guards activityDelegate_ and configuration_
    std::shared_ptr<BVApiClientActivityDelegate> activityDelegate_;
    std::optional<BVApiRequestConfiguration> configuration_;

    // The client's lock: held only to add a summary to requestsStack_ or copy it. Every
    // request passes here, so nothing is logged or formatted under it.
    mutable std::mutex requestsLock_;
    std::vector<ExchangeRef> requestsStack_;
    // Held while one failure log is written, so failure logs of concurrent requests do not
    // interleave. Taken by failing requests only.
    std::mutex failureLogLock_;
};
