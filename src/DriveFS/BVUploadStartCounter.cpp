#include "DriveFS/BVUploadStartCounter.h"

#include "app/Logging/BVLogging.h"
#include "platform/RunLoop.h"

BVUploadStartCounter::BVUploadStartCounter(Scheduler scheduler) : scheduler_(std::move(scheduler)) {
    if (!scheduler_)
        scheduler_ = [](double seconds, std::function<void()> task) {
            bv::RunLoop::main().addTimer(seconds, false, std::move(task));
        };
}

BVUploadStartCounter& BVUploadStartCounter::shared() {
    static BVUploadStartCounter counter;
    return counter;
}

unsigned BVUploadStartCounter::value() const {
    std::lock_guard<std::mutex> guard(valueLock_);
    return value_;
}

void BVUploadStartCounter::incrementUploadStartCounter() {
    unsigned now;
    {
        std::lock_guard<std::mutex> guard(valueLock_);
        now = ++value_;
    }
    BVLog("uploadStartCounter incremented: %i", now);
    scheduler_(kDecrementDelay, [this] { decrementUploadStartCounter(); });
}

void BVUploadStartCounter::decrementUploadStartCounter() {
    unsigned now;
    {
        std::lock_guard<std::mutex> guard(valueLock_);
        if (value_ > 0)
            --value_;
        now = value_;
    }
    BVLog("uploadStartCounter decremented: %i", now);
}
