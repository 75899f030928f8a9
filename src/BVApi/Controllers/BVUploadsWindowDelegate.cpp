#include "BVApi/Controllers/BVUploadsWindowDelegate.h"

#include <algorithm>

#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Controllers/BVUploadController.h"
#include "app/Utilities.h"
#include "platform/UserInterface.h"

BVUploadsWindowDelegate::BVUploadsWindowDelegate() : BVUploadsWindowDelegate(Options{}) {}

BVUploadsWindowDelegate::BVUploadsWindowDelegate(Options options) : options_(std::move(options)) {
    if (!options_.clock)
        options_.clock = bv::Clock::system();
}

void BVUploadsWindowDelegate::uploadDidStarted(BVUploadController* controller) {
    std::lock_guard hold(recordsLock_);
    if (records_.count(controller))
        return;
    BVFileUploadingProgress record;
    record.path = controller->path();
    records_[controller] = record;
    order_.push_back(controller);
}

void BVUploadsWindowDelegate::uploadDidMadeProgress(BVUploadController* controller,
                                                    uint64_t completed, uint64_t total) {
    std::lock_guard hold(recordsLock_);
    auto found = records_.find(controller);
    if (found == records_.end())
        return;
    found->second.update(completed, total, options_.clock->now());
}

void BVUploadsWindowDelegate::drop(const BVUploadController* controller) {
    std::lock_guard hold(recordsLock_);
    records_.erase(controller);
    order_.erase(std::remove(order_.begin(), order_.end(), controller), order_.end());
}

void BVUploadsWindowDelegate::uploadDidFailedWithError(BVUploadController* controller,
                                                       const bv::Error& error) {
    const std::string title =
        "Uploading " + BVVolumePath::lastComponent(controller->path()) + " failed";
    drop(controller);
    if (options_.presentError)
        options_.presentError(error, title);
    else
        Utilities::presentError(error, title);
}

void BVUploadsWindowDelegate::uploadDidFinished(BVUploadController* controller) {
    drop(controller);
}

void BVUploadsWindowDelegate::uploadControllerWillEnd(BVUploadController* controller) {
    // A record of a controller that is gone would never be dropped, and its address may
    // be taken by the next upload.
    drop(controller);
}

void BVUploadsWindowDelegate::uploadDidReleased(BVUploadController*) {
    bool any;
    {
        std::lock_guard hold(recordsLock_);
        any = !records_.empty();
    }
    if (!any)
        return;
    auto ui = options_.ui ? options_.ui : bv::UserInterface::current();
    ui->show(bv::WindowKind::Uploads, nlohmann::json::object());
}

std::vector<BVFileUploadingProgress> BVUploadsWindowDelegate::records() const {
    std::lock_guard hold(recordsLock_);
    std::vector<BVFileUploadingProgress> copies;
    for (const auto* controller : order_)
        copies.push_back(records_.at(controller));
    return copies;
}
