// The endpoint operations of BVApiClient; the plumbing they share is in BVApiClient.cpp.
#include <cmath>

#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "BVApi/Networking/BVApiClientSharingContext.h"
#include "app/Logging/BVLogging.h"

using json = nlohmann::json;

namespace {

const json* presentValue(const json& dict, const char* key) {
    if (!dict.is_object())
        return nullptr;
    auto it = dict.find(key);
    if (it == dict.end() || it->is_null())
        return nullptr;
    return &*it;
}

// The caller's error slot, or a local one when the caller gave none: some results depend
// on the error the exchange left.
class ErrorSlot {
  public:
    explicit ErrorSlot(bv::Error* given) : slot_(given ? given : &local_) {}
    bv::Error* get() { return slot_; }
    bv::Error* operator->() { return slot_; }

  private:
    bv::Error local_;
    bv::Error* slot_;
};

json binaryOf(const bv::Data& bytes) {
    return json::binary(bytes.vector());
}

}  // namespace

template <class T>
std::shared_ptr<T> BVApiClient::fillItem(BVApiClientContext* context, const RequestRef& request,
                                         bv::Error* error) {
    return std::dynamic_pointer_cast<T>(
        fillContentItemOfClass(T::itemClass(), error, context, request));
}

bool BVApiClient::answerHolds(const char* key, BVApiClientContext* context,
                              const RequestRef& request, bv::Error* error) {
    auto answer = fillResponseError(error, context, request);
    const json* value = answer ? presentValue(*answer, key) : nullptr;
    return value && (value->is_string() || value->is_number());
}

// MARK: - Session and user

std::shared_ptr<BVUserSessionItem> BVApiClient::authenticateUserSessionWithUsername(
    const std::string& username, const std::string& password, bv::Error* error) {
    auto request =
        makeRequest("POST", "session/login.json", {},
                    {{"username", username}, {"passwd", password}, {"version", apiVersion()}});
    return std::dynamic_pointer_cast<BVUserSessionItem>(
        fillContentItemOfClass(BVUserSessionItem::itemClass(), error, request));
}

json BVApiClient::getUploadSpeedLimit(const std::shared_ptr<BVUserSessionItem>& session,
                                      bv::Error* error) {
    if (!session) {
        BVApiClientContext::fillContextError(error, BVApiClientAuthContext::kErrorNoSession,
                                             "No signed-in session.");
        return nullptr;
    }
    auto request = makeRequest("GET", "session/info.json", {session->sessionId});
    if (!fillPropertyOfUserSessionItem(session, error, "UploadSpeedLimit", request))
        return nullptr;
    return session->uploadSpeedLimit;
}

bool BVApiClient::sendToken(const BVUserSessionItem& session, bv::Error* error) {
    return sendStatusRequest(
        makeRequest("GET", "users/authytokenviamessage.json", {session.sessionId}), error);
}

bool BVApiClient::verifyToken(const BVUserSessionItem& session, const std::string& token,
                              bv::Error* error) {
    return sendStatusRequest(
        makeRequest("GET", "users/authylogin.json", {session.sessionId, token}), error);
}

bool BVApiClient::logoutWithContext(BVApiClientContext* context, bv::Error* error) {
    auto answer = fillResponseError(error, context, makeRequest("POST", "session/logout.json"));
    const json* result = answer ? presentValue(*answer, "result") : nullptr;
    return result && result->is_number() && result->get<double>() == 1;
}

bool BVApiClient::createUserWithEmail(const std::string& email, const std::string& password,
                                      const std::string& firstName, const std::string& lastName,
                                      bv::Error* error) {
    auto request = makeRequest("POST", "users.json", {},
                               {{"username", email},
                                {"email", email},
                                {"passwd", password},
                                {"verify_passwd", password},
                                {"first_name", firstName},
                                {"last_name", lastName},
                                {"created_by_id", "Brimvault"}});
    return sendStatusRequest(request, error);
}

std::shared_ptr<BVUserInfoItem> BVApiClient::userInfoWithContext(BVApiClientContext* context,
                                                                 bv::Error* error) {
    return fillItem<BVUserInfoItem>(context, makeRequest("GET", "users/info.json"), error);
}

std::optional<std::string> BVApiClient::userLink(const char* type, BVApiClientContext* context,
                                                 bv::Error* error) {
    auto answer = fillResponseError(error, context,
                                    makeRequest("GET", "users/link.json", {}, {{"type", type}}));
    const json* link = answer ? presentValue(*answer, "Link") : nullptr;
    if (!link || !link->is_string())
        return std::nullopt;
    return link->get<std::string>();
}

std::shared_ptr<BVUserLinksItem> BVApiClient::userLinksWithContext(BVApiClientContext* context,
                                                                   bv::Error* error) {
    auto billing = userLink("0", context, error);
    if (!billing)
        return nullptr;
    auto account = userLink("1", context, error);
    if (!account)
        return nullptr;
    return BVContentItem::itemWithDict<BVUserLinksItem>(
        json{{"account", *account}, {"billing", *billing}}, error);
}

std::shared_ptr<BVNotificationsItem> BVApiClient::userNotificationsContext(
    BVApiClientContext* context, bv::Error* error) {
    auto request =
        makeRequest("GET", "users/notifications.json", {}, {{"app_version", apiVersion()}});
    return fillItem<BVNotificationsItem>(context, request, error);
}

// MARK: - Paths and listings

std::shared_ptr<BVFSIdItem> BVApiClient::fileIdAt(const std::string& path,
                                                  BVApiClientContext* context, bv::Error* error) {
    ErrorSlot slot(error);
    auto request = makeRequest("POST", "file/idbypath.json", {}, {{"path", path}});
    request->setSafeToResend(true);  // a look-up: asking twice changes nothing
    auto item = fillItem<BVFSIdItem>(context, request, slot.get());
    if (!item && slot->integerInfo(bv::kServerCodeKey) == 404) {
        item = std::make_shared<BVFSIdItem>();
        item->identifier = "undefined";
    }
    if (item)
        item->path = path;
    return item;
}

std::shared_ptr<BVFolderFSIdItem> BVApiClient::folderIdAt(const std::string& path,
                                                          BVApiClientContext* context,
                                                          bv::Error* error) {
    ErrorSlot slot(error);
    auto request = makeRequest("POST", "folder/idbypath.json", {}, {{"path", path}});
    request->setSafeToResend(true);  // a look-up: asking twice changes nothing
    auto item = fillItem<BVFolderFSIdItem>(context, request, slot.get());
    if (!item && slot->integerInfo(bv::kServerCodeKey) == 404) {
        item = std::make_shared<BVFolderFSIdItem>();
        item->identifier = "undefined";
    }
    if (item)
        item->path = path;
    return item;
}

std::optional<std::string> BVApiClient::pathFor(const char* endpoint, const std::string& identifier,
                                                BVApiClientContext* context, bv::Error* error) {
    auto answer = fillResponseError(error, context, makeRequest("GET", endpoint, {identifier}));
    const json* path = answer ? presentValue(*answer, "Path") : nullptr;
    if (!path || !path->is_string())
        return std::nullopt;
    return "/" + path->get<std::string>();
}

std::optional<std::string> BVApiClient::pathForFile(const std::string& fileId,
                                                    BVApiClientContext* context, bv::Error* error) {
    return pathFor("file/path.json", fileId, context, error);
}

std::optional<std::string> BVApiClient::pathForFolder(const std::string& folderId,
                                                      BVApiClientContext* context,
                                                      bv::Error* error) {
    return pathFor("folder/path.json", folderId, context, error);
}

std::shared_ptr<BVFolderListItem> BVApiClient::listFolder(
    const std::string& folderId, const std::optional<std::string>& lastRequestTime,
    BVApiClientContext* context, bv::Error* error) {
    auto request = makeRequest(
        "GET", "folder/list.json", {folderId},
        {{"last_request_time", lastRequestTime.value_or("0")}, {"encryption_supported", "1"}});
    auto item = fillItem<BVFolderListItem>(context, request, error);
    if (item)
        item->identifier = folderId;
    return item;
}

std::shared_ptr<BVTrashFolderListItem> BVApiClient::listTrashFolderWithContext(
    BVApiClientContext* context, bv::Error* error) {
    auto item = fillItem<BVTrashFolderListItem>(context,
                                                makeRequest("GET", "folder/trashlist.json"), error);
    if (item)
        item->identifier = "-1";
    return item;
}

std::shared_ptr<BVSharedFolderListItem> BVApiClient::sharedFoldersWithContext(
    BVApiClientContext* context, bv::Error* error) {
    auto item = fillItem<BVSharedFolderListItem>(
        context, makeRequest("GET", "sharing/listsharedfolders.json"), error);
    if (item) {
        auto* sharing = dynamic_cast<BVApiClientSharingContext*>(context);
        item->identifier = sharing ? sharing->sharingId : std::string();
    }
    return item;
}

std::shared_ptr<BVSharedUsersFolderListItem> BVApiClient::listSharedUsersWithContext(
    BVApiClientContext* context, bv::Error* error) {
    auto item = fillItem<BVSharedUsersFolderListItem>(
        context, makeRequest("GET", "sharing/listsharedusers.json"), error);
    if (item)
        item->identifier = "-2";
    return item;
}

std::shared_ptr<BVFolderInfoItem> BVApiClient::folderInfo(const std::string& folderId,
                                                          BVApiClientContext* context,
                                                          bv::Error* error) {
    return fillItem<BVFolderInfoItem>(context, makeRequest("GET", "folder/info.json", {folderId}),
                                      error);
}

std::shared_ptr<BVFileInfoItem> BVApiClient::fileInfo(const std::string& fileId,
                                                      BVApiClientContext* context,
                                                      bv::Error* error) {
    return fillItem<BVFileInfoItem>(context, makeRequest("GET", "file/info.json", {fileId}), error);
}

std::shared_ptr<BVFileItem> BVApiClient::file(const std::string& fileId,
                                              BVApiClientContext* context, bv::Error* error) {
    return fillItem<BVFileItem>(
        context, makeRequest("GET", "file/info.json", {}, {{"file_id", fileId}}), error);
}

// MARK: - Raw exchanges

std::shared_ptr<BVFileThumbnailItem> BVApiClient::fileThumbnail(const std::string& fileId,
                                                                BVApiClientContext* context,
                                                                bv::Error* error) {
    bv::Data data;
    long status = 0;
    if (!sendRaw(makeRequest("GET", "file/thumb.json", {fileId}), context, &data, &status, error) ||
        status != 200)
        return nullptr;
    auto item = std::make_shared<BVFileThumbnailItem>();
    item->identifier = fileId;
    item->data = std::move(data);
    return item;
}

std::optional<bv::Data> BVApiClient::downloadData(const std::string& fileId,
                                                  BVApiClientContext* context, bv::Error* error) {
    bv::Data data;
    long status = 0;
    if (!sendRaw(makeRequest("GET", "download/file.json", {fileId}), context, &data, &status,
                 error))
        return std::nullopt;
    if (status != 200) {
        // The body is the service's explanation, not the file.
        auto answer = BVApiRequest::apiResponseFrom(&data, "", nullptr);
        if (answer && isServerError(*answer))
            bv::setError(error, bv::Error(bv::kBVErrorDomain, kErrorServer,
                                          userInfoFromServerErrorResponse(*answer)));
        else
            fillNetworkError(error);
        return std::nullopt;
    }
    return data;
}

// MARK: - Folders

std::shared_ptr<BVFolderItem> BVApiClient::createFolder(const std::string& name,
                                                        const std::string& parentId,
                                                        BVApiClientContext* context,
                                                        bv::Error* error) {
    auto request = makeRequest("POST", "folder.json", {},
                               {{"folder_name", name}, {"folder_sub_parent", parentId}});
    return fillItem<BVFolderItem>(context, request, error);
}

std::shared_ptr<BVFolderItem> BVApiClient::moveFolder(const std::string& folderId,
                                                      const std::optional<std::string>& newName,
                                                      const std::string& destinationId,
                                                      BVApiClientContext* context,
                                                      bv::Error* error) {
    json parameters = {{"folder_id", folderId}, {"dst_folder_id", destinationId}, {"move", "true"}};
    if (newName)
        parameters["new_folder_name"] = *newName;
    auto item = fillItem<BVFolderItem>(
        context, makeRequest("POST", "folder/move_copy.json", {}, parameters), error);
    if (item)
        item->identifier = folderId;
    return item;
}

bool BVApiClient::deleteFolder(const std::string& folderId, BVApiClientContext* context,
                               bv::Error* error) {
    return answerHolds("DirUpdateTime", context,
                       makeRequest("POST", "folder/remove.json", {}, {{"folder_id", folderId}}),
                       error);
}

bool BVApiClient::trashFolder(const std::string& folderId, BVApiClientContext* context,
                              bv::Error* error) {
    return answerHolds("DirUpdateTime", context,
                       makeRequest("POST", "folder/trash.json", {}, {{"folder_id", folderId}}),
                       error);
}

bool BVApiClient::restoreFolder(const std::string& folderId, BVApiClientContext* context,
                                bv::Error* error) {
    return answerHolds("DirUpdateTime", context,
                       makeRequest("POST", "folder/restore.json", {}, {{"folder_id", folderId}}),
                       error);
}

bool BVApiClient::setSettings(const json& settings, const std::string& folderId,
                              const std::string& accessFolderId, BVApiClientContext* context,
                              bv::Error* error) {
    json parameters = settings.is_object() ? settings : json::object();
    parameters["access_folder_id"] = accessFolderId;
    parameters["folder_id"] = folderId;
    return sendStatusRequest(makeRequest("PUT", "folder/foldersettings.json", {}, parameters),
                             context, error);
}

bool BVApiClient::emptyTrashWithContext(BVApiClientContext* context, bv::Error* error) {
    return fillResponseError(error, context, makeRequest("DELETE", "folder/trash.json"))
        .has_value();
}

// MARK: - Files and uploads

std::shared_ptr<BVFileItem> BVApiClient::createFile(
    const std::optional<std::string>& name, const std::optional<std::string>& folderId,
    std::shared_ptr<BVUploadFileHandle>* uploadHandle, BVApiClientContext* context,
    bool /*forCompression*/, std::optional<int64_t> size, bv::Error* error) {
    if (!name || !folderId || !size) {
        BVLog("createFile refused: folder id %@, name %@, size %@", folderId.value_or("nil"),
              name.value_or("nil"), size ? std::to_string(*size) : std::string("nil"));
        return nullptr;
    }
    auto request =
        makeRequest("POST", "upload/create_file.json", {},
                    {{"folder_id", *folderId}, {"file_name", *name}, {"file_size", *size}});
    auto answer = fillResponseError(error, context, request);
    if (!answer)
        return nullptr;
    auto item = BVContentItem::itemWithDict<BVFileItem>(*answer, error);
    if (uploadHandle) {
        *uploadHandle = BVContentItem::itemWithDict<BVUploadFileHandle>(*answer, error);
        if (*uploadHandle) {
            (*uploadHandle)->size = *size;
            if (item)
                (*uploadHandle)->identifier = item->identifier;
        }
    }
    return item;
}

std::shared_ptr<BVFileItem> BVApiClient::createFile(const std::optional<std::string>& name,
                                                    const std::optional<std::string>& folderId,
                                                    BVApiClientContext* context,
                                                    bool forCompression, bv::Error* error) {
    return createFile(name, folderId, nullptr, context, forCompression, std::nullopt, error);
}

std::shared_ptr<BVUploadFileHandle> BVApiClient::openFile(const std::string& fileId, int64_t size,
                                                          BVApiClientContext* context,
                                                          bv::Error* error) {
    auto request = makeRequest("POST", "upload/open_file_upload.json", {},
                               {{"file_id", fileId}, {"file_size", size}});
    auto handle = fillItem<BVUploadFileHandle>(context, request, error);
    if (handle) {
        handle->identifier = fileId;
        handle->size = size;
    }
    return handle;
}

std::shared_ptr<BVChunkUploadResult> BVApiClient::uploadChunk(
    const bv::Data& bytes, uint64_t offset, const std::string& fileId,
    const std::string& tempLocation, BVApiClientContext* context, bv::Error* error) {
    auto request = makeRequest("POST", "upload/upload_file_chunk2.json", {fileId},
                               {{"temp_location", tempLocation},
                                {"chunk_offset", offset},
                                {"chunk_size", static_cast<uint64_t>(bytes.size())},
                                {"file_data", binaryOf(bytes)}});
    request->setParametersType(BVApiRequest::kParametersQueryAndMultipart);
    return fillItem<BVChunkUploadResult>(context, request, error);
}

std::shared_ptr<BVFileItem> BVApiClient::closeFileUpload(const std::string& fileId, int64_t size,
                                                         const std::string& tempLocation,
                                                         bool /*withFileCompression*/,
                                                         std::optional<int64_t> time,
                                                         BVApiClientContext* context,
                                                         bv::Error* error) {
    int64_t fileTime = time ? *time : static_cast<int64_t>(std::floor(clock_->now()));
    auto request = makeRequest("POST", "upload/close_file_upload.json", {},
                               {{"file_id", fileId},
                                {"file_size", size},
                                {"temp_location", tempLocation},
                                {"file_time", fileTime}});
    return fillItem<BVFileItem>(context, request, error);
}

bool BVApiClient::deleteFile(const std::string& fileId, BVApiClientContext* context,
                             bv::Error* error) {
    return answerHolds("DirUpdateTime", context, makeRequest("DELETE", "file.json", {fileId}),
                       error);
}

bool BVApiClient::trashFile(const std::string& fileId, BVApiClientContext* context,
                            bv::Error* error) {
    return answerHolds("DirUpdateTime", context,
                       makeRequest("POST", "file/trash.json", {}, {{"file_id", fileId}}), error);
}

bool BVApiClient::restoreFile(const std::string& fileId, BVApiClientContext* context,
                              bv::Error* error) {
    return fillItem<BVFileItem>(context,
                                makeRequest("POST", "file/restore.json", {}, {{"file_id", fileId}}),
                                error) != nullptr;
}

std::shared_ptr<BVFileItem> BVApiClient::moveFile(const std::string& fileId,
                                                  const std::optional<std::string>& newName,
                                                  const std::string& destinationFolderId,
                                                  BVApiClientContext* context, bv::Error* error) {
    json parameters = {{"src_file_id", fileId},
                       {"dst_folder_id", destinationFolderId},
                       {"move", "true"},
                       {"overwrite_if_exists", "true"}};
    if (newName)
        parameters["new_file_name"] = *newName;
    auto item = fillItem<BVFileItem>(
        context, makeRequest("POST", "file/move_copy.json", {}, parameters), error);
    if (item)
        item->identifier = fileId;
    return item;
}

bool BVApiClient::setSettings(const json& settings, const std::string& fileId,
                              BVApiClientContext* context, bv::Error* error) {
    json parameters = settings.is_object() ? settings : json::object();
    parameters["file_id"] = fileId;
    if (const json* access = presentValue(parameters, "file_access"))
        parameters["file_ispublic"] = *access;
    return answerHolds("FileId", context,
                       makeRequest("PUT", "file/filesettings.json", {}, parameters), error);
}

// MARK: - Sharing and secure folders

std::shared_ptr<BVSharingUsersItem> BVApiClient::listSharingUsersOf(const std::string& folderId,
                                                                    BVApiClientContext* context,
                                                                    bv::Error* error) {
    auto item = fillItem<BVSharingUsersItem>(
        context, makeRequest("GET", "sharing/listusers.json", {folderId}), error);
    if (item)
        item->identifier = folderId;
    return item;
}

bool BVApiClient::shareFolder(const std::string& folderId, const std::string& user,
                              const json& mode, BVApiClientContext* context, bv::Error* error) {
    auto request = makeRequest("POST", "sharing.json", {},
                               {{"folder_id", folderId}, {"username", user}, {"sharemode", mode}});
    return answerHolds("DirUpdateTime", context, request, error);
}

bool BVApiClient::deleteSharing(const std::string& sharingId, BVApiClientContext* context,
                                bv::Error* error) {
    return answerHolds("DirUpdateTime", context, makeRequest("DELETE", "sharing.json", {sharingId}),
                       error);
}

bool BVApiClient::changeSharing(const std::string& sharingId, const json& mode,
                                BVApiClientContext* context, bv::Error* error) {
    auto request = makeRequest("PUT", "sharing/setmode.json", {},
                               {{"sharing_id", sharingId}, {"sharemode", mode}});
    return sendStatusRequest(request, context, error);
}

std::shared_ptr<BVAnonymousItem> BVApiClient::secureFoldersAuth(const std::string& folderId,
                                                                BVApiClientContext* context,
                                                                bv::Error* error) {
    auto answer = fillResponseError(error, context,
                                    makeRequest("GET", "securefolders/auth.json", {folderId}));
    std::shared_ptr<BVAnonymousItem> item;
    if (answer)
        item = BVAnonymousItem::itemWithDict(*answer, error);
    return item ? item : std::make_shared<BVAnonymousItem>();
}

bool BVApiClient::secureFoldersAuth(const std::string& folderId, const std::string& hash,
                                    BVApiClientContext* context, bv::Error* error) {
    ErrorSlot slot(error);
    auto request = makeRequest("POST", "securefolders/auth.json", {},
                               {{"folder_id", folderId}, {"hash", hash}});
    if (sendStatusRequest(request, context, slot.get()))
        return true;
    return slot->isSet() && slot->failureReason() == kOpenEncryptedFailedMessage;
}

bool BVApiClient::secureFoldersInit(const std::string& folderId, const std::string& data,
                                    const std::string& hash, BVApiClientContext* context,
                                    bv::Error* error) {
    auto request = makeRequest("POST", "securefolders/init.json", {},
                               {{"folder_id", folderId}, {"data", data}, {"hash", hash}});
    return sendStatusRequest(request, context, error);
}
