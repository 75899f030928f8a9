#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "BVApi/Controllers/BVUploadController.h"

// The streaming writer of a new or empty file: written bytes collect in memory and each full
// chunk is uploaded while the writing goes on, so the writer keeps the upload's pace.
//
// A write that does not continue the file at its end (a program patching a header it wrote
// earlier) switches the file to staging: the bytes already sent come back from the content
// cache's mirror, the rest from memory, into a staged copy in the temporary store; the
// streamed upload is abandoned and the whole copy is uploaded at close.
class BVJITThrottleUploadController : public BVUploadController {
  public:
    BVJITThrottleUploadController(std::string path, BVUploadControllerDelegate* delegate,
                                  Options options);

    bool openFileError(bv::Error* error) override;
    bool writeFile(const void* bytes, uint64_t size, int64_t offset, bv::Error* error) override;
    bool closeFileError(bv::Error* error) override;

    // Whether a write out of order moved the file to a staged copy.
    bool isStaged() const;

  private:
    bool failedWrite(bv::Error* error);
    // Takes the sent and the collected bytes into a staged copy; false (with the error)
    // when the sent bytes cannot be read back whole.
    bool switchToStaging(bv::Error* error);
    bool closeStaged(bv::Error* error);
    // Records the streamed file in the journal with its mirror as the copy; the record's id,
    // empty when there is no journal or it could not be written.
    std::string journalMirror();

    mutable std::mutex writerLock_;  // guards buffer_, end_, staged_
    bv::Data buffer_;
    uint64_t end_ = 0;  // bytes written so far, from offset 0
    bool staged_ = false;
    std::string stagedPath_;
    std::atomic<bool> announced_{false};  // the delegate was told of the start
};
