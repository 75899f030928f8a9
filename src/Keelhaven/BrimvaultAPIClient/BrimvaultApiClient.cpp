#include "Keelhaven/BrimvaultAPIClient/BrimvaultApiClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <algorithm>

#include "BVApi/Networking/BVCurlTransfer.h"
#include "app/Logging/BVLogging.h"
#include "platform/UniqueFd.h"

namespace {

using json = nlohmann::json;

void fill(std::string* slot, const std::string& text) {
    if (slot)
        *slot = text;
}

int64_t wholeSeconds(double seconds) {
    return static_cast<int64_t>(std::floor(seconds));
}

BrimvaultFile fileRecord(const BVFileItem& item, const std::string& parentID,
                         const std::string& folderPath) {
    BrimvaultFile file;
    file.m_localFile = false;
    file.m_parentFolderId = parentID;
    file.m_filename = item.name;
    file.m_path = BrimvaultApiClient::childPath(folderPath, item.name);
    file.m_fileID = item.identifier;
    file.m_size = item.size;
    file.m_modifiedDate = wholeSeconds(item.dateModified);
    return file;
}

BrimvaultFolder folderRecord(const BVFolderItem& item, const std::string& parentID,
                             const std::string& folderPath) {
    BrimvaultFolder folder;
    folder.m_isLocal = false;
    folder.m_parentFolderId = parentID;
    folder.m_folderName = item.name;
    folder.m_path = BrimvaultApiClient::childPath(folderPath, item.name);
    folder.m_folderID = item.identifier;
    return folder;
}

bool writeAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Streams a download's body into an open file. The first bytes are held back until they
// show whether the content is a symbolic link's marker, whose target is kept in memory
// instead (a link's content is short); an answer other than 200 is not file content and is
// only counted.
class PartFileWriter : public BVCurlTransfer::Delegate {
  public:
    static constexpr size_t kLongestLink = 64 * 1024;

    PartFileWriter(int fd, BrimvaultTransferDelegate* delegate) : fd_(fd), delegate_(delegate) {}

    void transferDidReceiveResponse(const BVHttpResponse& response) override {
        status_ = response.statusCode;
        total_ = response.expectedContentLength;
    }

    size_t transferDidReceiveData(const char* bytes, size_t length) override {
        if (delegate_ && delegate_->isRequestCancelled())
            return 0;  // ends the exchange with a write error
        if (status_ != 200)
            return length;
        size_t taken = 0;
        if (!decided_) {
            taken = std::min(length, BrimvaultApiClient::kSymlinkMarkerLength - head_.size());
            head_.append(bytes, taken);
            if (head_.size() < BrimvaultApiClient::kSymlinkMarkerLength)
                return length;
            if (!decide())
                return 0;
        }
        if (isLink_) {
            if (link_.size() + length - taken > kLongestLink)
                return 0;
            link_.append(bytes + taken, length - taken);
        } else if (!put(bytes + taken, length - taken)) {
            return 0;
        }
        received_ += static_cast<int64_t>(length);
        if (delegate_)
            delegate_->downloaded(received_, total_);
        return length;
    }

    // After a whole exchange: writes what a short file left in the head.
    bool finish() { return decided_ || decide(); }
    void reset() {
        status_ = 0;
        decided_ = isLink_ = false;
        head_.clear();
        link_.clear();
        received_ = 0;
        writeErrno_ = 0;
    }

    long status() const { return status_; }
    bool isLink() const { return isLink_; }
    const std::string& linkTarget() const { return link_; }
    int writeErrno() const { return writeErrno_; }

  private:
    bool decide() {
        decided_ = true;
        isLink_ = head_.size() == BrimvaultApiClient::kSymlinkMarkerLength &&
                  head_ == BrimvaultApiClient::kSymlinkMarker;
        return isLink_ || put(head_.data(), head_.size());
    }
    bool put(const char* bytes, size_t length) {
        if (writeAll(fd_, reinterpret_cast<const uint8_t*>(bytes), length))
            return true;
        writeErrno_ = errno;
        return false;
    }

    int fd_;
    BrimvaultTransferDelegate* delegate_;
    long status_ = 0;
    int64_t total_ = -1;
    int64_t received_ = 0;
    bool decided_ = false;
    bool isLink_ = false;
    std::string head_;
    std::string link_;
    int writeErrno_ = 0;
};

}  // namespace

BrimvaultApiClient::BrimvaultApiClient(BVApiClient* client,
                                       std::optional<BVApiRequestConfiguration> configuration,
                                       std::shared_ptr<bv::Clock> clock)
    : client_(client ? client : BVApiClient::sharedClient()),
      configuration_(configuration ? *configuration
                                   : BVApiRequestConfiguration::defaultConfiguration()),
      clock_(std::move(clock)) {
    configuration_.numberOfRetries = kRetries;
    client_->setConfiguration(configuration_);
}

BrimvaultApiClient* BrimvaultApiClient::getInstance() {
    static BrimvaultApiClient instance;
    return &instance;
}

std::string BrimvaultApiClient::reasonOf(const bv::Error& error) {
    std::string reason = error.failureReason();
    return reason.empty() ? error.localizedDescription() : reason;
}

std::string BrimvaultApiClient::trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string BrimvaultApiClient::childPath(const std::string& folderPath, const std::string& name) {
    if (!folderPath.empty() && folderPath.back() == '/')
        return folderPath + name;
    return folderPath + "/" + name;
}

std::shared_ptr<BVApiClientAuthContext> BrimvaultApiClient::contextWith(
    const std::string& sessionID) const {
    // A context per call: workers share the session id, never a context being replaced.
    auto session = std::make_shared<BVUserSessionItem>();
    session->sessionId = sessionID;
    return std::make_shared<BVApiClientAuthContext>(session);
}

BVApiClient::RequestRef BrimvaultApiClient::makeRequest(const std::string& method,
                                                        const std::string& endpoint,
                                                        const BVApiRequest::Arguments& arguments,
                                                        const json& parameters) const {
    auto request = BVApiRequest::requestWithMethod(method, endpoint, arguments, parameters);
    request->setClock(client_->clock());
    request->configuration() = configuration_;
    request->setNumberOfRetries(configuration_.numberOfRetries);
    return request;
}

bool BrimvaultApiClient::doDirListing(const std::string& folderID, const std::string& folderPath,
                                      int64_t* lastUpdateTime, std::vector<BrimvaultFile>* files,
                                      std::vector<BrimvaultFolder>* folders,
                                      const std::string& sessionID,
                                      const std::string& /*accessDirID*/, std::string* reason,
                                      LeftOut* leftOut) {
    auto context = contextWith(sessionID);
    bv::Error error;
    auto listing = client_->listFolder(folderID, std::string("0"), context.get(), &error);
    if (!listing) {
        fill(reason, reasonOf(error));
        return false;
    }
    if (lastUpdateTime)
        *lastUpdateTime = listing->updateTime;
    if (leftOut)
        *leftOut = LeftOut{listing->leftOutEntries, listing->leftOutNames};
    if (files) {
        files->clear();
        for (const auto& item : listing->files)
            files->push_back(fileRecord(*item, folderID, folderPath));
    }
    if (folders) {
        folders->clear();
        for (const auto& item : listing->folders)
            folders->push_back(folderRecord(*item, folderID, folderPath));
    }
    return true;
}

bool BrimvaultApiClient::doGetItemByName(const std::string& name, std::string* itemID,
                                         const std::string& sessionID,
                                         const std::string& parentDirID, bool* isFolder,
                                         const std::string& accessDirID, std::string* reason) {
    std::vector<BrimvaultFile> files;
    std::vector<BrimvaultFolder> folders;
    if (!doDirListing(parentDirID, "/", nullptr, &files, &folders, sessionID, accessDirID, reason))
        return false;
    std::string wanted = trimmed(name);
    for (const auto& folder : folders) {
        if (folder.m_folderName == wanted) {
            fill(itemID, folder.m_folderID);
            if (isFolder)
                *isFolder = true;
            return true;
        }
    }
    for (const auto& file : files) {
        if (file.m_filename == wanted) {
            fill(itemID, file.m_fileID);
            if (isFolder)
                *isFolder = false;
            return true;
        }
    }
    fill(reason, kNoSuchItem);
    return false;
}

std::optional<BrimvaultFile> BrimvaultApiClient::doGetFileByName(const std::string& name,
                                                                 const std::string& sessionID,
                                                                 const std::string& parentDirID,
                                                                 const std::string& accessDirID,
                                                                 std::string* reason) {
    std::vector<BrimvaultFile> files;
    if (!doDirListing(parentDirID, "/", nullptr, &files, nullptr, sessionID, accessDirID, reason))
        return std::nullopt;
    std::string wanted = trimmed(name);
    for (auto& file : files)
        if (file.m_filename == wanted)
            return file;
    fill(reason, kNoSuchItem);
    return std::nullopt;
}

std::optional<BrimvaultFolder> BrimvaultApiClient::doCreateDirectory(
    const std::string& parentID, const std::string& parentPath, const std::string& name,
    const std::string& sessionID, const std::string& /*accessDirID*/, std::string* reason) {
    auto context = contextWith(sessionID);
    bv::Error error;
    auto folder = client_->createFolder(name, parentID, context.get(), &error);
    if (!folder) {
        fill(reason, reasonOf(error));
        return std::nullopt;
    }
    BrimvaultFolder record = folderRecord(*folder, parentID, parentPath);
    record.m_folderName = name;
    record.m_path = childPath(parentPath, name);
    return record;
}

bool BrimvaultApiClient::doDeleteAFolder(const std::string& folderID, const std::string& path,
                                         const std::string& sessionID,
                                         const std::string& /*accessDirID*/, std::string* reason) {
    BVLog("Deleting folder with file path %@", path);
    auto context = contextWith(sessionID);
    bv::Error error;
    if (client_->trashFolder(folderID, context.get(), &error))
        return true;
    fill(reason, reasonOf(error));
    return false;
}

bool BrimvaultApiClient::doDeleteAFile(const std::string& fileID, const std::string& path,
                                       const std::string& sessionID,
                                       const std::string& /*accessDirID*/, std::string* reason) {
    BVLog("Trashing a file. %@", path);
    auto context = contextWith(sessionID);
    bv::Error error;
    if (client_->trashFile(fileID, context.get(), &error))
        return true;
    fill(reason, reasonOf(error));
    return false;
}

std::optional<BrimvaultApiClient::CreatedFile> BrimvaultApiClient::doCreateFile(
    const std::string& parentID, const std::string& name, int64_t size,
    const std::string& sessionID, const std::string& /*accessDirID*/, std::string* reason) {
    auto context = contextWith(sessionID);
    bv::Error error;
    std::shared_ptr<BVUploadFileHandle> handle;
    auto file = client_->createFile(name, parentID, &handle, context.get(), false, size, &error);
    if (!file) {
        fill(reason, error.isSet() ? reasonOf(error) : "cannot create file on cloud");
        return std::nullopt;
    }
    CreatedFile created;
    created.tempLocation = handle ? handle->tempLocation : "";
    created.compression = file->requireCompression ? "Yes" : "No";
    created.fileID = file->identifier;
    char time[64];
    std::snprintf(time, sizeof time, "%f", file->dateModified);
    created.fileTime = time;
    return created;
}

std::optional<std::string> BrimvaultApiClient::doOpenFileForUpload(
    const std::string& fileID, const std::string& sessionID, const std::string& /*accessDirID*/,
    std::string* reason) {
    auto context = contextWith(sessionID);
    bv::Error error;
    auto handle = client_->openFile(fileID, 0, context.get(), &error);
    if (!handle) {
        fill(reason, reasonOf(error));
        return std::nullopt;
    }
    return handle->tempLocation;
}

bool BrimvaultApiClient::doFileUpload(bv::Data& chunk, const std::string& fileID,
                                      uint64_t chunkOffset, const std::string& tempLocation,
                                      const std::string& sessionID,
                                      const std::string& /*accessDirID*/, bool incorrectRequest,
                                      BrimvaultTransferDelegate* delegate, std::string* reason) {
    auto context = contextWith(sessionID);
    const uint64_t size = chunk.size();
    auto request = makeRequest(
        "POST", "upload/upload_file_chunk2.json",
        {incorrectRequest ? std::string("Incorrect4Debug") : fileID},
        {{"temp_location", tempLocation}, {"chunk_offset", chunkOffset}, {"chunk_size", size}});
    // Moved in place, not listed above: a brace list copies each of its values, and the
    // request copies its parameters again. The body is then the chunk's only copy.
    (*request->parameters())["file_data"] = json::binary(std::move(chunk.vector()));
    struct GiveBack {
        bv::Data& chunk;
        BVApiRequest& request;
        ~GiveBack() {
            auto& parameters = request.parameters();
            auto bytes = parameters->find("file_data");
            if (bytes != parameters->end() && bytes->is_binary())
                chunk.vector() = std::move(static_cast<std::vector<uint8_t>&>(bytes->get_binary()));
        }
    } giveBack{chunk, *request};
    request->setParametersType(BVApiRequest::kParametersQueryAndMultipart);
    if (delegate)
        request->uploadProgressHandler = [delegate](int64_t sent, int64_t expected) {
            delegate->uploaded(sent, expected);
        };
    bv::Error error;
    auto item = client_->fillContentItemOfClass(BVChunkUploadResult::itemClass(), &error,
                                                context.get(), request);
    auto result = std::dynamic_pointer_cast<BVChunkUploadResult>(item);
    if (!result) {
        fill(reason, reasonOf(error));
        return false;
    }
    const json& written = result->bytesWritten;
    uint64_t count = 0;
    if (written.is_number_unsigned() || written.is_number_integer())
        count = written.get<uint64_t>();
    else if (written.is_string())
        count = std::strtoull(written.get<std::string>().c_str(), nullptr, 10);
    if (count != size) {
        fill(reason, kBytesWrittenMismatch);
        return false;
    }
    return true;
}

std::optional<BrimvaultFile> BrimvaultApiClient::doCloseFileForUpload(
    const std::string& fileID, const std::string& name, int64_t fileSize,
    const std::string& tempLocation, const std::string& sessionID, int64_t fileModDate,
    const std::string& parentFolderID, bool compression, const std::string& accessDirID,
    std::string* reason) {
    auto context = contextWith(sessionID);
    bv::Error error;
    auto file = client_->closeFileUpload(fileID, fileSize, tempLocation, compression, fileModDate,
                                         context.get(), &error);
    if (file) {
        BrimvaultFile record = fileRecord(*file, parentFolderID, "");
        record.m_filename = name;
        record.m_path.clear();
        return record;
    }
    std::string closeReason = reasonOf(error);
    // The close may have gone through with only its answer lost: the listing tells.
    if (waitFileUploaded(name, parentFolderID, sessionID, accessDirID, fileSize, fileModDate)) {
        BrimvaultFile record;
        record.m_filename = name;
        record.m_fileID = fileID;
        record.m_size = fileSize;
        record.m_modifiedDate = fileModDate;
        record.m_parentFolderId = parentFolderID;
        return record;
    }
    fill(reason, closeReason);
    return std::nullopt;
}

bool BrimvaultApiClient::waitFileUploaded(const std::string& name,
                                          const std::string& parentFolderID,
                                          const std::string& sessionID,
                                          const std::string& accessDirID, int64_t fileSize,
                                          int64_t modificationDate) {
    for (int check = 0; check < kCloseChecks; ++check) {
        if (check > 0)
            clock_->sleepFor(kCloseCheckDelay);
        std::vector<BrimvaultFile> files;
        if (!doDirListing(parentFolderID, "/", nullptr, &files, nullptr, sessionID, accessDirID,
                          nullptr))
            continue;
        for (const auto& file : files)
            if (file.m_filename == name && file.m_size == fileSize &&
                file.m_modifiedDate == modificationDate)
                return true;
    }
    return false;
}

bool BrimvaultApiClient::doDownloadFile(const std::string& localPath, const std::string& fileID,
                                        bool isSymbolicLink, std::string* linkTarget,
                                        const std::string& sessionID, int64_t fileModified,
                                        const std::string& /*accessDirID*/,
                                        BrimvaultTransferDelegate* delegate, std::string* reason) {
    if (isSymbolicLink) {
        ::unlink(localPath.c_str());
        if (!linkTarget || ::symlink(linkTarget->c_str(), localPath.c_str()) != 0) {
            fill(reason, kSymlinkNotCreated);
            return false;
        }
        return true;
    }
    bv::UniqueFd fd(
        ::open(localPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) {
        fill(reason, std::strerror(errno));
        return false;
    }
    // Streamed into the file: only one piece of the body is in memory at a time.
    PartFileWriter writer(fd.get(), delegate);
    auto context = contextWith(sessionID);
    bv::Error error;
    bool whole = false;
    double delay = BVApiRequest::kFirstRetryDelay;
    for (uint64_t attempt = 0; attempt <= configuration_.numberOfRetries; ++attempt, delay *= 2) {
        if (attempt > 0) {
            if (delegate && delegate->isRequestCancelled())
                break;
            clock_->sleepFor(delay);
            if (::ftruncate(fd.get(), 0) != 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0) {
                fill(reason, std::strerror(errno));
                return false;
            }
            writer.reset();
        }
        auto request = makeRequest("GET", "download/file.json", {fileID}, json::object());
        error = bv::Error();
        if (!context->preFill(*request, client_, &error))
            break;
        const BVUrlRequest* url = request->urlRequest(&error);
        if (!url)
            break;
        auto transfer = BVCurlTransfer::make(*url, writer, &error, BVCurlTransfer::Handle::thread);
        if (!transfer)
            break;
        CURLcode code = transfer->perform();
        if (writer.writeErrno() != 0) {
            fill(reason, std::strerror(writer.writeErrno()));
            return false;
        }
        if (delegate && delegate->isRequestCancelled()) {
            fill(reason, kRequestCancelled);
            return false;
        }
        if (code == CURLE_OK && writer.status() != 0) {
            whole = true;
            break;
        }
        error = transfer->errorFor(code);
    }
    if (whole && writer.status() != 200) {
        // The answer explains the refusal; the service client turns it into its error.
        bv::Error refusal;
        if (!client_->downloadData(fileID, context.get(), &refusal)) {
            fill(reason, reasonOf(refusal));
            return false;
        }
        fill(reason, "The file changed while it was downloaded");
        return false;
    }
    if (!whole) {
        fill(reason, error.isSet() ? reasonOf(error) : "Server returned no data");
        return false;
    }
    if (!writer.finish()) {
        fill(reason, std::strerror(writer.writeErrno()));
        return false;
    }
    if (writer.isLink()) {
        if (linkTarget)
            *linkTarget = writer.linkTarget();
        fill(reason, kFileIsSymlink);
        return false;
    }
    struct timespec times[2] = {{fileModified, 0}, {fileModified, 0}};
    ::futimens(fd.get(), times);
    if (!fd.close()) {
        fill(reason, std::strerror(errno));
        return false;
    }
    return true;
}

std::optional<std::string> BrimvaultApiClient::getEncryptedDirectoryPassword(
    const std::string& folderID, const std::string& sessionID, std::string* reason) {
    auto context = contextWith(sessionID);
    bv::Error error;
    auto answer = client_->secureFoldersAuth(folderID, context.get(), &error);
    if (error.isSet() || !answer) {
        fill(reason, reasonOf(error));
        return std::nullopt;
    }
    const json* value = answer->valueForKey("Data");
    if (!value || !value->is_string()) {
        fill(reason, kNoSuchItem);
        return std::nullopt;
    }
    return value->get<std::string>();
}

bool BrimvaultApiClient::openEncryptedDirectory(const std::string& folderID,
                                                const std::string& encodedHash,
                                                const std::string& sessionID, std::string* reason) {
    auto context = contextWith(sessionID);
    bv::Error error;
    if (client_->secureFoldersAuth(folderID, encodedHash, context.get(), &error))
        return true;
    fill(reason, reasonOf(error));
    return false;
}

bool BrimvaultApiClient::sendSyncStatistics(int status, const std::string& taskName,
                                            int64_t completedItems, int64_t failedItems,
                                            const std::string& taskSource,
                                            const std::string& taskDestination,
                                            const std::string& emails, const std::string& sessionID,
                                            std::string* reason) {
    BVLog("USING session %@", sessionID);
    std::string recipients = emails;
    for (char& c : recipients)
        if (c == ' ')
            c = ';';
    auto context = contextWith(sessionID);
    auto request = makeRequest("POST", "users/SendSyncStatistics.json", {},
                               {{"task_status", status},
                                {"task_name", taskName},
                                {"completed_items", completedItems},
                                {"failed_items", failedItems},
                                {"task_src", taskSource},
                                {"task_dst", taskDestination},
                                {"emails", recipients}});
    bv::Error error;
    if (client_->fillResponseError(&error, context.get(), request))
        return true;
    fill(reason, reasonOf(error));
    return false;
}
