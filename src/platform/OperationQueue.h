#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bv {

// Runs operations on worker threads it owns, at most maxConcurrentOperationCount at a time,
// in the order they were added. A queue of concurrency 1 is a serial queue; a count below 1
// means one per processor, at least two. Workers start on demand. Exceptions from
// an operation are caught and reported. The destructor drops waiting operations and joins
// the workers after the running ones finish.
class OperationQueue {
  public:
    using Operation = std::function<void()>;

    explicit OperationQueue(std::string name = "queue", int maxConcurrentOperationCount = 1);
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    void addOperation(Operation operation);
    void setMaxConcurrentOperationCount(int count);
    int maxConcurrentOperationCount() const;
    // A suspended queue starts no new operation; running ones go on.
    void setSuspended(bool suspended);
    bool isSuspended() const;
    // Drops the operations that have not started.
    void cancelAllOperations();
    void waitUntilAllOperationsAreFinished();
    // Waiting plus running operations.
    size_t operationCount() const;
    const std::string& name() const { return name_; }

  private:
    void workerLoop();
    bool canStartLocked() const;

    const std::string name_;
    mutable std::mutex stateLock_;  // guards everything below
    std::condition_variable changed_;
    std::deque<Operation> waiting_;
    std::vector<std::thread> workers_;
    int maxConcurrent_;
    int running_ = 0;
    bool suspended_ = false;
    bool stopping_ = false;
};

}  // namespace bv
