#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace bv {

// Runs operations on worker threads it owns, at most maxConcurrentOperationCount at a time,
// in the order they were added. A queue of concurrency 1 is a serial queue; a count below 1
// means one per processor, at least two. Workers start on demand. Exceptions from
// an operation are caught and reported. The destructor drops waiting operations and joins
// the workers after the running ones finish.
//
// An operation may destroy its own queue: the destructor then joins every other worker and
// leaves the calling one to finish the operation and end by itself (the workers share the
// queue's state, so nothing it touches afterwards is freed). The operation's captures must
// not be used once the queue is gone, and an operation must not wait for its own queue
// (waitUntilAllOperationsAreFinished would wait for itself).
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
    const std::string& name() const;

  private:
    struct State;
    // Held by each worker too, so a worker outliving the queue never reaches freed memory.
    const std::shared_ptr<State> state_;
};

}  // namespace bv
