#include "BVApi/Controllers/BVTmpUploadController.h"

#include <sys/stat.h>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVUploadControllerDelegate.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "app/Logging/BVLogging.h"

bool BVTmpUploadController::createFileError(bv::Error* error) {
    if (!BVUploadController::createFileError(error))
        return false;
    if (tmpPath_.empty()) {
        if (!tmp()->createFileAt(path(), error))
            return false;
        tmpPath_ = tmp()->tempPathFor(path());
    }
    return true;
}

bool BVTmpUploadController::openFileError(bv::Error* error) {
    if (!BVUploadController::openFileError(error))
        return false;
    if (!tmpPath_.empty())
        return true;
    auto id = content().identifierForFileAt(path());
    if (!id) {
        if (error && !*error)
            *error = bv::Error::make(BVContentController::kErrorNotFound,
                                     BVContentController::kFileNotFound);
        return false;
    }
    // The staged copy starts as the whole current content: the cached one when it is
    // complete, else the service's.
    auto cache = this->cache();
    auto descriptor = cache ? cache->fetchBinaryDataDescriptor(*id) : nullptr;
    // The copy is taken from the file as it is, so its checksums are checked first.
    if (descriptor && descriptor->isCompleted() && !descriptor->encrypted &&
        cache->verifyBinaryDataOf(*id)) {
        if (!tmp()->createFileAt(path(), cache->pathForBinaryItemWithKey(*id), error))
            return false;
    } else {
        auto context = content().contextForPath(path(), error);
        if (!context)
            return false;
        BVApiClient* client = options().client ? options().client : BVApiClient::sharedClient();
        auto bytes = client->downloadData(*id, context.get(), error);
        if (!bytes || !tmp()->createFileAt(path(), error) ||
            !tmp()->writeFileAt(path(), 0, *bytes, error))
            return false;
    }
    tmpPath_ = tmp()->tempPathFor(path());
    return true;
}

bool BVTmpUploadController::writeFile(const void* bytes, uint64_t size, int64_t offset,
                                      bv::Error* error) {
    writePerformed_ = true;
    return tmp()->writeFileAt(path(), static_cast<uint64_t>(offset), bv::Data(bytes, size), error);
}

bool BVTmpUploadController::closeFileError(bv::Error* error) {
    if (!writePerformed_)
        return BVUploadController::closeFileError(error);
    notifyDelegate([&](BVUploadControllerDelegate& delegate) { delegate.uploadDidStarted(this); });
    struct stat info {};
    if (::stat(tmpPath_.c_str(), &info) != 0) {
        BVLog("[Apr] Close file error for path: %@", path());
        uploadChunkFailed(bv::Error::make(-995, "The staged copy of " + path() + " is missing."));
        BVUploadController::closeFileError(nullptr);
        if (error)
            *error = uploadError();
        return false;
    }
    return closeStagedCopy(tmpPath_, static_cast<uint64_t>(info.st_size), true, error);
}
