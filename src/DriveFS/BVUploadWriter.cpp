#include "DriveFS/BVUploadWriter.h"

#include <algorithm>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVJITThrottleUploadController.h"
#include "BVApi/Controllers/BVTmpUploadController.h"
#include "BVApi/Controllers/BVUploadJournal.h"
#include "app/Logging/BVLogging.h"

namespace {

// Extensions are streamed in pieces of this size rather than as one allocation.
constexpr uint64_t kZeroPiece = 1 << 20;

std::shared_ptr<BVTmpController> storeOf(const BVUploadController::Options& options) {
    return options.tmp ? options.tmp : BVTmpController::sharedController();
}

// The streaming writer mirrors what it sends into the cache from offset 0 on, and its close
// marks that content complete: whatever the cache held for the file before must go first,
// or its old tail would be read as the new file's.
void forgetCachedContent(const std::string& path, const BVUploadController::Options& options) {
    auto* content = options.content ? options.content : BVContentController::sharedController();
    auto cache = options.cache ? options.cache : BVCacheController::sharedController();
    if (!content || !cache)
        return;
    if (auto id = content->identifierForFileAt(path, true)) {
        cache->purgeBinaryDataForcedOf(*id);
        cache->purgeItemForcedWithKey(*id, BVBinaryDataDescriptorItem::itemClass());
    }
}

}  // namespace

BVUploadWriter::BVUploadWriter(std::string path, BVWriteStart start,
                               BVUploadController::Options options,
                               BVUploadControllerDelegate* delegate)
    : path_(std::move(path)), options_(std::move(options)), delegate_(delegate), start_(start) {}

BVUploadWriter::~BVUploadWriter() = default;

bool BVUploadWriter::open(bv::Error* error) {
    if (controller_)
        return true;
    streaming_ = start_ != BVWriteStart::Existing;
    staged_ = !streaming_;
    cut_ = false;
    size_ = 0;
    if (streaming_) {
        forgetCachedContent(path_, options_);
        controller_ = std::make_unique<BVJITThrottleUploadController>(path_, delegate_, options_);
    } else {
        controller_ = std::make_unique<BVTmpUploadController>(path_, delegate_, options_);
    }
    if (!controller_->openFileError(error)) {
        controller_.reset();
        return false;
    }
    if (!streaming_) {
        auto attributes = storeOf(options_)->attributesOfItemAt(path_, error);
        if (!attributes) {
            controller_.reset();
            return false;
        }
        size_ = attributes->size.value_or(0);
    }
    // A truncating open changes the file even when nothing is written.
    dirty_ = start_ == BVWriteStart::Truncated;
    return true;
}

bool BVUploadWriter::stage(bv::Error* error) {
    if (staged_)
        return true;
    // A write that does not continue the stream makes the streaming writer move what it
    // has into its staged copy; an empty one changes nothing else.
    const char nothing = 0;
    if (size_ > 0 && !controller_->writeFile(&nothing, 0, 0, error))
        return false;
    if (size_ == 0 && !storeOf(options_)->createFileAt(path_, error))
        return false;
    staged_ = true;
    return true;
}

std::optional<bv::Data> BVUploadWriter::read(uint64_t offset, uint64_t size, bv::Error* error) {
    if (!open(error))
        return std::nullopt;
    if (offset >= size_)
        return bv::Data();
    if (!stage(error))
        return std::nullopt;
    return storeOf(options_)->readFileAt(path_, offset, std::min(size, size_ - offset), error);
}

bool BVUploadWriter::write(uint64_t offset, const char* bytes, size_t size, bv::Error* error) {
    if (!open(error))
        return false;
    // The streaming writer switches to its staged copy itself on a write out of order.
    if (streaming_ && offset != size_)
        staged_ = true;
    if (!controller_->writeFile(bytes, size, static_cast<int64_t>(offset), error))
        return false;
    size_ = std::max<uint64_t>(size_, offset + size);
    dirty_ = true;
    return true;
}

bool BVUploadWriter::restartEmpty(bv::Error* error) {
    if (controller_ && staged_) {
        bv::Error ignored;
        storeOf(options_)->removeFileAt(path_, &ignored);
    }
    controller_.reset();
    start_ = BVWriteStart::Truncated;
    return open(error);
}

bool BVUploadWriter::truncate(uint64_t size, bv::Error* error) {
    if (size == 0)
        return restartEmpty(error);
    if (!open(error))
        return false;
    if (size == size_)
        return true;
    dirty_ = true;
    if (streaming_ && !staged_ && size > size_) {
        // Growth continues the stream.
        const bv::Data zeros(std::vector<uint8_t>(std::min(kZeroPiece, size - size_), 0));
        while (size_ < size) {
            const uint64_t piece = std::min<uint64_t>(zeros.size(), size - size_);
            if (!controller_->writeFile(zeros.bytes(), piece, static_cast<int64_t>(size_), error))
                return false;
            size_ += piece;
        }
        return true;
    }
    if (!stage(error))
        return false;
    BVTmpController::Attributes attributes;
    attributes.size = size;
    if (!storeOf(options_)->setAttributes(attributes, path_, error))
        return false;
    size_ = size;
    if (streaming_) {
        cut_ = true;
    } else {
        // Marks the staged copy as changed, so that its close uploads it.
        const char nothing = 0;
        if (!controller_->writeFile(&nothing, 0, 0, error))
            return false;
    }
    return true;
}

std::optional<uint64_t> BVUploadWriter::size() const {
    if (!controller_)
        return std::nullopt;
    return size_;
}

bool BVUploadWriter::uploadStagedCopy(bv::Error* error) {
    auto store = storeOf(options_);
    if (!store->fileExistsAt(path_) && !store->createFileAt(path_, error))
        return false;
    const uint64_t mark = options_.journal ? options_.journal->generation() : 0;
    if (!controller_->uploadWholeFile(store->tempPathFor(path_), size_)) {
        bv::setError(error, controller_->uploadError());
        return false;
    }
    // What the journal kept of earlier closes of the file is older than this.
    if (options_.journal)
        options_.journal->confirmed(path_, mark, "");
    bv::Error ignored;
    store->removeFileAt(path_, &ignored);
    return true;
}

bool BVUploadWriter::finish(bv::Error* error) {
    bool done;
    if (cut_ || (streaming_ && size_ == 0)) {
        // A cut stream, or a file truncated and left empty, which the streaming writer
        // would not send at all.
        if (!staged_ && !stage(error))
            return false;
        done = uploadStagedCopy(error);
    } else {
        done = controller_->closeFileError(error);
    }
    if (!done)
        BVLog("Upload of %@ did not finish: %@", path_, error ? error->description() : "");
    // A closed controller is spent: a later change starts a new one on what the service
    // holds now (or, after a failure, on what the journal keeps for it).
    controller_.reset();
    start_ = size_ == 0 ? BVWriteStart::Empty : BVWriteStart::Existing;
    dirty_ = false;
    return done;
}

bool BVUploadWriter::flush(bv::Error* error) {
    if (!controller_ || !dirty_)
        return true;
    return finish(error);
}

bool BVUploadWriter::close(bv::Error* error) {
    const bool flushed = flush(error);
    // An unchanged staged copy is of no further use (a changed one belongs to its upload).
    if (controller_ && staged_) {
        bv::Error ignored;
        storeOf(options_)->removeFileAt(path_, &ignored);
    }
    controller_.reset();
    return flushed;
}
