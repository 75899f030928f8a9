#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BVApi/Controllers/BVFileUploadingProgress.h"
#include "BVApi/Controllers/BVUploadControllerDelegate.h"
#include "platform/Clock.h"

namespace bv {
class UserInterface;
}

// The uploads window's side of the uploads: one progress record per running upload, kept
// until it finishes or fails. The records can be read at any time from any thread (the
// command that prints the running uploads reads them).
class BVUploadsWindowDelegate : public BVUploadControllerDelegate {
  public:
    struct Options {
        std::shared_ptr<bv::Clock> clock;
        // The window and the failure messages; the current interface when null.
        std::shared_ptr<bv::UserInterface> ui;
        // Shows a failure ("Uploading %@ failed" as the title); unset, the error presenter.
        std::function<void(const bv::Error&, const std::string& title)> presentError;
    };

    BVUploadsWindowDelegate();
    explicit BVUploadsWindowDelegate(Options options);

    void uploadDidStarted(BVUploadController* controller) override;
    void uploadDidFinished(BVUploadController* controller) override;
    void uploadDidReleased(BVUploadController* controller) override;
    void uploadDidFailedWithError(BVUploadController* controller, const bv::Error& error) override;
    void uploadDidMadeProgress(BVUploadController* controller, uint64_t completed,
                               uint64_t total) override;
    void uploadControllerWillEnd(BVUploadController* controller) override;

    // Copies of the records, in the order the uploads started.
    std::vector<BVFileUploadingProgress> records() const;

  private:
    void drop(const BVUploadController* controller);

    Options options_;
    mutable std::mutex recordsLock_;  // guards records_ and order_
    std::map<const BVUploadController*, BVFileUploadingProgress> records_;
    std::vector<const BVUploadController*> order_;
};
