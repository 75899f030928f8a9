#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "BVApi/Controllers/BVUploadController.h"
#include "DriveFS/BVDriveFSTransfers.h"

// The volume's writer of one service file, on the upload controllers: a new or empty file
// streams through a BVJITThrottleUploadController, an existing one is staged by a
// BVTmpUploadController. The controller is made lazily (the first read, write or truncate)
// and finished at each flush after a change, so that close() returns only when the bytes are
// at the service or in the upload journal; a change after a flush starts a new controller on
// what the service now holds.
//
// Truncation and reading back what was written need the bytes in one place: a streamed file
// is first moved to its staged copy (the streaming writer's own switch for writes out of
// order). A staged stream that was cut shorter than it was written is uploaded whole from
// that copy with its true size, since the streaming writer can only account for growth.
class BVUploadWriter : public BVFileWriter {
  public:
    BVUploadWriter(std::string path, BVWriteStart start, BVUploadController::Options options,
                   BVUploadControllerDelegate* delegate = nullptr);
    ~BVUploadWriter() override;

    bool opened() const override { return controller_ != nullptr; }
    bool open(bv::Error* error) override;
    std::optional<bv::Data> read(uint64_t offset, uint64_t size, bv::Error* error) override;
    bool write(uint64_t offset, const char* bytes, size_t size, bv::Error* error) override;
    bool truncate(uint64_t size, bv::Error* error) override;
    std::optional<uint64_t> size() const override;
    bool flush(bv::Error* error) override;
    bool close(bv::Error* error) override;

  private:
    // Moves a streamed file into its staged copy (nothing to do for a staged one).
    bool stage(bv::Error* error);
    // Starts over with an empty streamed file, letting go of any staged copy.
    bool restartEmpty(bv::Error* error);
    // The change made since the last finish reaches the service (or the journal).
    bool finish(bv::Error* error);
    // Uploads the staged copy whole with its true size and lets go of it.
    bool uploadStagedCopy(bv::Error* error);

    const std::string path_;
    const BVUploadController::Options options_;
    BVUploadControllerDelegate* const delegate_;  // the uploads window, or nothing
    BVWriteStart start_;
    std::unique_ptr<BVUploadController> controller_;
    bool streaming_ = false;  // controller_ is the streaming writer
    bool staged_ = false;     // the bytes are in the staged copy of the temporary store
    bool cut_ = false;        // a staged stream was cut: uploaded whole at the finish
    bool dirty_ = false;      // changed since the last finish
    uint64_t size_ = 0;       // what will be uploaded, once opened
};
