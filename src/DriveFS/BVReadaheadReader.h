#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "BVApi/Controllers/BVReadaheadController.h"
#include "DriveFS/BVDriveFSTransfers.h"

// The reader of one read-only handle: the handle's read-ahead window over the content cache,
// which the download controller fills. The kernel may send reads of one handle from several
// threads at once (its own read-ahead runs asynchronously), and the window is not made for
// that, so calls take turns.
class BVReadaheadReader : public BVFileReader {
  public:
    BVReadaheadReader(std::string path, BVContentController* content,
                      std::shared_ptr<bv::Clock> clock)
        : readahead_(std::move(path), content, std::move(clock)) {}

    std::optional<bv::Data> read(uint64_t offset, uint64_t size, uint64_t since,
                                 bv::Error* error) override {
        std::lock_guard<std::mutex> guard(windowLock_);
        // A read that waited for its turn behind one that gave up fails with it.
        if (auto failure = readahead_.standingFailure(since)) {
            bv::setError(error, *failure);
            return std::nullopt;
        }
        return readahead_.request({offset, size});
    }
    uint64_t failureMark() override { return readahead_.failureMark(); }
    std::optional<bv::Error> standingFailure(uint64_t since) override {
        return readahead_.standingFailure(since);
    }
    void gaveUp(const bv::Error& error) override { readahead_.gaveUp(error); }

    std::optional<uint64_t> readInto(uint64_t offset, uint64_t size, uint64_t since, char* buffer,
                                     bv::Error* error) override {
        std::lock_guard<std::mutex> guard(windowLock_);
        if (auto failure = readahead_.standingFailure(since)) {
            bv::setError(error, *failure);
            return std::nullopt;
        }
        return readahead_.requestInto({offset, size}, reinterpret_cast<uint8_t*>(buffer));
    }

  private:
    std::mutex windowLock_;  // guards readahead_
    BVReadaheadController readahead_;
};
