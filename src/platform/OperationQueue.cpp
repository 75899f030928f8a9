#include "platform/OperationQueue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

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

struct OperationQueue::State {
    State(std::string name, int maxConcurrent)
        : name(std::move(name)), maxConcurrent(maxConcurrent) {}

    const std::string name;
    std::mutex stateLock;  // guards everything below
    std::condition_variable changed;
    std::deque<Operation> waiting;
    std::vector<std::thread> workers;
    int maxConcurrent;
    int running = 0;
    bool suspended = false;
    bool stopping = false;

    bool canStartLocked() const {
        return !suspended && !waiting.empty() && running < maxConcurrent;
    }

    // Workers are started on demand and then stay until the queue is destroyed.
    void startWorkersLocked(const std::shared_ptr<State>& self) {
        while (!stopping && static_cast<int>(workers.size()) < maxConcurrent &&
               static_cast<int>(workers.size()) < running + static_cast<int>(waiting.size()))
            workers.emplace_back([self] { self->workerLoop(); });
    }

    void workerLoop() {
        std::unique_lock<std::mutex> lock(stateLock);
        for (;;) {
            changed.wait(lock, [this] { return stopping || canStartLocked(); });
            if (stopping)
                return;
            Operation operation = std::move(waiting.front());
            waiting.pop_front();
            ++running;
            lock.unlock();
            try {
                operation();
            } catch (...) {
                reportUnhandledException(name.c_str(), std::current_exception());
            }
            operation = nullptr;
            lock.lock();
            --running;
            changed.notify_all();
        }
    }
};

OperationQueue::OperationQueue(std::string name, int maxConcurrentOperationCount)
    : state_(
          std::make_shared<State>(std::move(name), effectiveCount(maxConcurrentOperationCount))) {}

OperationQueue::~OperationQueue() {
    std::vector<std::thread> workers;
    std::deque<Operation> dropped;
    {
        std::lock_guard<std::mutex> lock(state_->stateLock);
        state_->stopping = true;
        dropped.swap(state_->waiting);
        workers.swap(state_->workers);
    }
    state_->changed.notify_all();
    // Outside the lock: an operation's captures may run any code when they die.
    dropped.clear();
    for (auto& worker : workers) {
        // An operation destroying its own queue cannot wait for itself: its worker keeps
        // the shared state alive and ends once the operation returns.
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
        std::lock_guard<std::mutex> lock(state_->stateLock);
        if (state_->stopping)
            return;
        state_->waiting.push_back(std::move(operation));
        state_->startWorkersLocked(state_);
    }
    state_->changed.notify_all();
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    {
        std::lock_guard<std::mutex> lock(state_->stateLock);
        state_->maxConcurrent = effectiveCount(count);
        state_->startWorkersLocked(state_);
    }
    state_->changed.notify_all();
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard<std::mutex> lock(state_->stateLock);
    return state_->maxConcurrent;
}

void OperationQueue::setSuspended(bool suspended) {
    {
        std::lock_guard<std::mutex> lock(state_->stateLock);
        state_->suspended = suspended;
    }
    state_->changed.notify_all();
}

bool OperationQueue::isSuspended() const {
    std::lock_guard<std::mutex> lock(state_->stateLock);
    return state_->suspended;
}

void OperationQueue::cancelAllOperations() {
    std::deque<Operation> dropped;
    {
        std::lock_guard<std::mutex> lock(state_->stateLock);
        dropped.swap(state_->waiting);
    }
    state_->changed.notify_all();
    // dropped dies here, outside the lock: an operation's captures may run any code.
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock<std::mutex> lock(state_->stateLock);
    state_->changed.wait(lock, [this] { return state_->waiting.empty() && state_->running == 0; });
}

size_t OperationQueue::operationCount() const {
    std::lock_guard<std::mutex> lock(state_->stateLock);
    return state_->waiting.size() + static_cast<size_t>(state_->running);
}

const std::string& OperationQueue::name() const {
    return state_->name;
}

}  // namespace bv
