#pragma once

#include <functional>
#include <memory>

#include "platform/Clock.h"
#include "platform/OperationQueue.h"

// Where the drive application's work runs: the main thread, later on the main thread, or
// off it for calls that wait on the service or the user. Tests give one that runs the work
// inline and timers by an injected clock.
class BVShellScheduler {
  public:
    using Task = std::function<void()>;
    virtual ~BVShellScheduler() = default;
    virtual const std::shared_ptr<bv::Clock>& clock() const = 0;
    virtual void onMain(Task task) = 0;
    virtual void after(double seconds, Task task) = 0;
    // Work that blocks (a sign-in waits for the service and for the user's answers).
    virtual void inBackground(Task task) = 0;
};

// The daemon's scheduler: the main run loop's queue and timers, and one serial background
// queue owned here (its destructor waits for the running operation).
class BVRunLoopScheduler : public BVShellScheduler {
  public:
    BVRunLoopScheduler();
    const std::shared_ptr<bv::Clock>& clock() const override { return clock_; }
    void onMain(Task task) override;
    void after(double seconds, Task task) override;
    void inBackground(Task task) override;

  private:
    std::shared_ptr<bv::Clock> clock_;
    bv::OperationQueue background_{"sign-in", 1};
};
