#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/Error.h"

// The failures that reads of a file gave up with, by file identifier, while they stand.
//
// A read of the volume that has spent its retries on a dead or stalled download took the
// whole designed time to give up. The kernel has several reads of one open file in flight
// (its own read-ahead), and without this each of them would spend that time again, one after
// another, before the reading program hears of the failure. The reads of the file under way
// when one gave up, on every open handle, share its failure: they fail at once with it; and
// so do the reads that begin within kSharedFor seconds after it (the kernel reads a page once
// more itself when its read-ahead of it failed). A read that begins later tries afresh, on a
// handle old or new, so that a program that keeps the file open reads again once the service
// is back, and a dead service still fails each of its reads within the designed time. The
// failure is cleared as soon as the file's content moves again (a download of it streams, or
// stores bytes).
//
// Thread-safe; the lock is never held across anything but the table.
class BVReadFailureBoard {
  public:
    // As long as the volume's own retries of a read (three, 5 seconds apart).
    static constexpr double kSharedFor = 15;

    static BVReadFailureBoard& shared();

    // For a read that begins at now (monotonic seconds): the failures noted after the mark
    // are those it shares, the ones noted less than kSharedFor before now included.
    uint64_t mark(double now) const;
    // A read of the file gave up with the error (unset: a failure without an error object) at
    // now.
    void note(const std::string& identifier, const bv::Error& error, double now);
    // The failure standing for the file that was noted after the mark.
    std::optional<bv::Error> standing(const std::string& identifier, uint64_t mark) const;
    // The file's content moved again: its reads are tried again.
    void clear(const std::string& identifier);
    // Whether any failure stands (cheap; readers look up their file only then).
    bool empty() const { return count_.load() == 0; }

  private:
    struct Failure {
        bv::Error error;
        uint64_t noted = 0;  // its sequence number
        double at = 0;       // when
    };

    mutable std::mutex failuresLock_;  // guards failures_
    std::unordered_map<std::string, Failure> failures_;
    std::atomic<uint64_t> sequence_{0};
    std::atomic<size_t> count_{0};
};
