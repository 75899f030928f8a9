#include "DriveFS/BVStandInTransfers.h"

#include <algorithm>
#include <vector>

#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"

namespace {

bv::Error notFound(const std::string& path) {
    return bv::Error::make(BVContentController::kErrorNotFound,
                           std::string(BVContentController::kFileNotFound) + " " + path);
}

// The whole content of the service file at path, or nothing with the error.
std::optional<bv::Data> downloadWhole(const std::string& path, BVApiClient& client,
                                      BVContentController& content, bv::Error* error) {
    auto identifier = content.identifierForFileAt(path);
    if (!identifier) {
        bv::setError(error, notFound(path));
        return std::nullopt;
    }
    auto context = content.contextForPath(path, error);
    if (!context)
        return std::nullopt;
    return client.downloadData(*identifier, context.get(), error);
}

}  // namespace

BVWholeFileDownloadReader::BVWholeFileDownloadReader(std::string path, BVApiClient* client,
                                                     BVContentController* content)
    : path_(std::move(path)), client_(client), content_(content) {}

std::optional<bv::Data> BVWholeFileDownloadReader::read(uint64_t offset, uint64_t size,
                                                        bv::Error* error) {
    // Held across the download on purpose: every concurrent reader of this handle needs the
    // same bytes, so the others wait for the one download instead of starting their own.
    std::lock_guard<std::mutex> guard(contentLock_);
    if (!bytes_) {
        bytes_ = downloadWhole(path_, *client_, *content_, error);
        if (!bytes_)
            return std::nullopt;
    }
    if (offset >= bytes_->size())
        return bv::Data();
    const uint64_t length = std::min<uint64_t>(size, bytes_->size() - offset);
    return bv::Data(bytes_->bytes() + offset, length);
}

BVStagedUploadWriter::BVStagedUploadWriter(std::string path, BVWriteStart start,
                                           Collaborators collaborators)
    : path_(std::move(path)), start_(start), with_(std::move(collaborators)) {}

bool BVStagedUploadWriter::fetchExisting(bv::Error* error) {
    auto bytes = downloadWhole(path_, *with_.client, *with_.content, error);
    if (!bytes)
        return false;
    bv::Error writeError;
    with_.tmp->writeFileAt(path_, 0, *bytes, &writeError);
    if (writeError) {
        bv::setError(error, writeError);
        return false;
    }
    return true;
}

bool BVStagedUploadWriter::open(bv::Error* error) {
    if (opened_)
        return true;
    if (!with_.tmp->createFileAt(path_, error))
        return false;
    if (start_ == BVWriteStart::Existing && !fetchExisting(error)) {
        bv::Error ignored;
        with_.tmp->removeFileAt(path_, &ignored);
        return false;
    }
    opened_ = true;
    dirty_ = start_ == BVWriteStart::Truncated;
    return true;
}

std::optional<bv::Data> BVStagedUploadWriter::read(uint64_t offset, uint64_t size,
                                                   bv::Error* error) {
    if (!open(error))
        return std::nullopt;
    return with_.tmp->readFileAt(path_, offset, size, error);
}

bool BVStagedUploadWriter::write(uint64_t offset, const bv::Data& bytes, bv::Error* error) {
    if (!open(error))
        return false;
    bv::Error writeError;
    with_.tmp->writeFileAt(path_, offset, bytes, &writeError);
    if (writeError) {
        bv::setError(error, writeError);
        return false;
    }
    dirty_ = true;
    return true;
}

bool BVStagedUploadWriter::truncate(uint64_t size, bv::Error* error) {
    if (!open(error))
        return false;
    BVTmpController::Attributes attributes;
    attributes.size = size;
    if (!with_.tmp->setAttributes(attributes, path_, error))
        return false;
    dirty_ = true;
    return true;
}

std::optional<uint64_t> BVStagedUploadWriter::size() const {
    if (!opened_)
        return std::nullopt;
    auto attributes = with_.tmp->attributesOfItemAt(path_, nullptr);
    return attributes ? attributes->size : std::nullopt;
}

bool BVStagedUploadWriter::flush(bv::Error* error) {
    if (!opened_ || !dirty_)
        return true;
    const auto total = size();
    if (!total) {
        bv::setError(error, bv::Error(BVTmpController::kErrorDomain, EIO));
        return false;
    }
    auto handle = with_.manage->uploadOpenAt(path_, *total, error);
    if (!handle)
        return false;
    for (uint64_t at = 0; at < *total; at += kChunkSize) {
        auto chunk = with_.tmp->readFileAt(path_, at, std::min(kChunkSize, *total - at), error);
        if (!chunk)
            return false;
        if (!with_.manage->uploadChunk(*chunk, *handle, false, nullptr, at, false, error))
            return false;
    }
    bv::Error closeError;
    with_.manage->uploadClose(*handle, static_cast<int64_t>(*total), &closeError);
    if (closeError) {
        bv::setError(error, closeError);
        return false;
    }
    dirty_ = false;
    return true;
}

bool BVStagedUploadWriter::close(bv::Error* error) {
    const bool flushed = flush(error);
    // A copy that could not be uploaded stays staged: losing it would lose the user's bytes.
    if (flushed && opened_) {
        bv::Error ignored;
        with_.tmp->removeFileAt(path_, &ignored);
        opened_ = false;
    }
    return flushed;
}
