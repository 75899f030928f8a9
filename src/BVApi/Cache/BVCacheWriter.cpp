#include "BVApi/Cache/BVCacheWriter.h"

#include "app/Logging/BVLogging.h"

BVCacheWriter::BVCacheWriter(std::function<void()> flush, std::chrono::milliseconds delay)
    : flush_(std::move(flush)), delay_(delay), thread_([this] { run(); }) {}

BVCacheWriter::~BVCacheWriter() {
    stop();
}

void BVCacheWriter::changed() {
    {
        std::lock_guard lock(lock_);
        if (changed_ || stopping_)
            return;
        changed_ = true;
    }
    wake_.notify_one();
}

void BVCacheWriter::stop() {
    {
        std::lock_guard lock(lock_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void BVCacheWriter::run() {
    std::unique_lock lock(lock_);
    while (!stopping_) {
        wake_.wait(lock, [this] { return changed_ || stopping_; });
        // Changes that arrive while waiting join this flush.
        wake_.wait_for(lock, delay_, [this] { return stopping_; });
        changed_ = false;
        lock.unlock();
        flushCatching();
        lock.lock();
    }
    lock.unlock();
    flushCatching();
}

void BVCacheWriter::flushCatching() {
    try {
        flush_();
    } catch (...) {
        // The changes stay marked; the next flush tries them again.
        BVLog("Caught an unknown exception in BVCacheWriter.flush()");
    }
}
