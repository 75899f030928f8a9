#pragma once

#include <functional>
#include <mutex>

// The number of files created during the last second: each increment schedules its own
// decrement one second later. Process-wide (shared()); tests make their own.
class BVUploadStartCounter {
  public:
    // Runs the task after the delay in seconds; the main run loop by default.
    using Scheduler = std::function<void(double seconds, std::function<void()> task)>;
    static constexpr double kDecrementDelay = 1.0;

    explicit BVUploadStartCounter(Scheduler scheduler = {});
    static BVUploadStartCounter& shared();

    unsigned value() const;
    void incrementUploadStartCounter();
    // Never below 0.
    void decrementUploadStartCounter();

  private:
    Scheduler scheduler_;
    mutable std::mutex valueLock_;  // guards value_
    unsigned value_ = 0;
};
