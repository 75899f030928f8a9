#pragma once

#include <string>

#include "BVApi/Controllers/BVUploadController.h"

// The staging writer of an existing file: the file is kept whole in the temporary store
// while it is written and uploaded chunk by chunk when it is closed. The close is recorded
// in the upload journal before it returns, so a staged file survives the program's end
// until the service has it.
class BVTmpUploadController : public BVUploadController {
  public:
    using BVUploadController::BVUploadController;

    bool createFileError(bv::Error* error) override;
    bool openFileError(bv::Error* error) override;
    bool writeFile(const void* bytes, uint64_t size, int64_t offset, bv::Error* error) override;
    bool closeFileError(bv::Error* error) override;

    const std::string& tmpPath() const { return tmpPath_; }

  private:
    std::string tmpPath_;
    bool writePerformed_ = false;
};
