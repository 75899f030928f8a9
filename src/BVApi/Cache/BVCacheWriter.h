#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// The thread that puts the cache's changes on disk: a flush runs a short delay after the
// first change that follows the previous flush, so a burst of stores costs one write of each
// file it touched, and once more when the writer stops. Owned by the cache controller, which
// stops it before the objects the flush uses go.
class BVCacheWriter {
  public:
    // flush runs on the writer's thread, never two at once; what it throws is logged.
    BVCacheWriter(std::function<void()> flush, std::chrono::milliseconds delay);
    ~BVCacheWriter();
    BVCacheWriter(const BVCacheWriter&) = delete;
    BVCacheWriter& operator=(const BVCacheWriter&) = delete;

    // Something waits to be written; cheap, callable under any lock.
    void changed();
    // Runs the last flush and ends the thread; later changes are left to the owner. Idempotent.
    void stop();

  private:
    void run();
    void flushCatching();

    std::function<void()> flush_;
    const std::chrono::milliseconds delay_;
    std::mutex lock_;  // guards changed_ and stopping_
    std::condition_variable wake_;
    bool changed_ = false;
    bool stopping_ = false;
    std::thread thread_;
};
