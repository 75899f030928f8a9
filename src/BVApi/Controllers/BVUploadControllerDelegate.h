#pragma once

#include <cstdint>

#include "platform/Error.h"

class BVUploadController;

// Told about one upload's course. Calls come from the uploading threads, so an
// implementation must be safe to call from any thread.
class BVUploadControllerDelegate {
  public:
    virtual ~BVUploadControllerDelegate() = default;
    virtual void uploadDidStarted(BVUploadController* controller) = 0;
    virtual void uploadDidFinished(BVUploadController* controller) = 0;
    // The close stopped waiting; the upload goes on in the background.
    virtual void uploadDidReleased(BVUploadController* controller) = 0;
    virtual void uploadDidFailedWithError(BVUploadController* controller,
                                          const bv::Error& error) = 0;
    virtual void uploadDidMadeProgress(BVUploadController* controller, uint64_t completed,
                                       uint64_t total) = 0;
    // The controller is going away; nothing more comes from it. An upload that was
    // cancelled or given up without finishing or failing ends here.
    virtual void uploadControllerWillEnd(BVUploadController*) {}
};
