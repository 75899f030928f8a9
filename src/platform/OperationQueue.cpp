#include "platform/OperationQueue.h"

#include <algorithm>

#include "platform/UnhandledException.h"

namespace bv {
namespace {

int effectiveCount(int count) {
    if (count >= 1)
        return count;
    // "Let the system decide": one per processor, at least two.
    return std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
}

}  // namespace

OperationQueue::OperationQueue(std::string name, int maxConcurrentOperationCount)
    : name_(std::move(name)), maxConcurrent_(effectiveCount(maxConcurrentOperationCount)) {}

OperationQueue::~OperationQueue() {
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        stopping_ = true;
        waiting_.clear();
        workers.swap(workers_);
    }
    changed_.notify_all();
    for (auto& worker : workers) {
        // An operation that destroys its own queue cannot wait for itself.
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach();
        else
            worker.join();
    }
}

void OperationQueue::addOperation(Operation operation) {
    if (!operation)
        return;
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        if (stopping_)
            return;
        waiting_.push_back(std::move(operation));
        // Workers are started on demand and then stay until the queue is destroyed.
        if (static_cast<int>(workers_.size()) < maxConcurrent_ &&
            static_cast<int>(workers_.size()) < running_ + static_cast<int>(waiting_.size()))
            workers_.emplace_back([this] { workerLoop(); });
    }
    changed_.notify_all();
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        maxConcurrent_ = effectiveCount(count);
        while (!stopping_ && static_cast<int>(workers_.size()) < maxConcurrent_ &&
               static_cast<int>(workers_.size()) < running_ + static_cast<int>(waiting_.size()))
            workers_.emplace_back([this] { workerLoop(); });
    }
    changed_.notify_all();
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard<std::mutex> lock(stateLock_);
    return maxConcurrent_;
}

void OperationQueue::setSuspended(bool suspended) {
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        suspended_ = suspended;
    }
    changed_.notify_all();
}

bool OperationQueue::isSuspended() const {
    std::lock_guard<std::mutex> lock(stateLock_);
    return suspended_;
}

void OperationQueue::cancelAllOperations() {
    std::deque<Operation> dropped;
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        dropped.swap(waiting_);
    }
    changed_.notify_all();
    // dropped dies here, outside the lock: an operation's captures may run any code.
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock<std::mutex> lock(stateLock_);
    changed_.wait(lock, [this] { return waiting_.empty() && running_ == 0; });
}

size_t OperationQueue::operationCount() const {
    std::lock_guard<std::mutex> lock(stateLock_);
    return waiting_.size() + static_cast<size_t>(running_);
}

bool OperationQueue::canStartLocked() const {
    return !suspended_ && !waiting_.empty() && running_ < maxConcurrent_;
}

void OperationQueue::workerLoop() {
    std::unique_lock<std::mutex> lock(stateLock_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || canStartLocked(); });
        if (stopping_)
            return;
        Operation operation = std::move(waiting_.front());
        waiting_.pop_front();
        ++running_;
        lock.unlock();
        try {
            operation();
        } catch (...) {
            reportUnhandledException(name_.c_str(), std::current_exception());
        }
        operation = nullptr;
        lock.lock();
        --running_;
        changed_.notify_all();
    }
}

}  // namespace bv
