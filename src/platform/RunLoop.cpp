#include "platform/RunLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/UnhandledException.h"

namespace bv {
namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

// While a loop waits for a predicate another thread may change without waking it,
// it looks again at least this often.
constexpr int kPredicatePollMs = 5;

std::mutex mainThreadLock;  // guards mainThreadId and mainThreadDeclared
std::thread::id mainThreadId;
bool mainThreadDeclared = false;

bool isInitialThread() {
    return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

TimePoint after(double seconds) {
    if (!(seconds > 0))
        return SteadyClock::now();
    seconds = std::min(seconds, 1e9);
    return SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                    std::chrono::duration<double>(seconds));
}

template <typename F>
void runGuarded(const char* where, F&& f) {
    try {
        f();
    } catch (...) {
        reportUnhandledException(where, std::current_exception());
    }
}

}  // namespace

struct RunLoop::Impl {
    struct Timer {
        TimePoint fireAt;
        std::chrono::duration<double> interval;
        bool repeats;
        std::shared_ptr<Task> task;
    };
    struct Source {
        int fd;
        short events;
        std::shared_ptr<std::function<void(short)>> handler;
    };

    // The owner thread of a per-thread loop; the main loop asks mainThreadId instead.
    std::thread::id owner;
    bool isMain = false;
    int wakeFd = -1;

    std::mutex stateLock;  // guards everything below
    std::deque<Task> tasks;
    std::map<TimerId, Timer> timers;
    std::map<SourceId, Source> sources;
    uint64_t nextId = 1;
    bool stopRequested = false;

    bool onOwnerThread() const {
        if (!isMain)
            return std::this_thread::get_id() == owner;
        return RunLoop::isMainThread();
    }

    void wake() {
        uint64_t one = 1;
        while (write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    void drainWake() {
        uint64_t value;
        while (read(wakeFd, &value, sizeof value) < 0 && errno == EINTR) {
        }
    }

    // One pass: waits at most until `limit` for something to do, then does it.
    void runOnce(TimePoint limit, bool predicateWait);
    void runTasks();
    void fireTimers();
    void dispatchSources(const std::vector<pollfd>& fds, const std::vector<SourceId>& ids);
};

RunLoop::RunLoop() : impl_(std::make_unique<Impl>()) {
    impl_->owner = std::this_thread::get_id();
    impl_->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (impl_->wakeFd < 0)
        throw std::runtime_error("RunLoop: eventfd failed");
}

RunLoop::~RunLoop() {
    if (impl_ && impl_->wakeFd >= 0)
        close(impl_->wakeFd);
}

RunLoop& RunLoop::main() {
    // Never destroyed: other threads may still post to it while statics are torn down.
    static RunLoop* loop = [] {
        auto* l = new RunLoop();
        l->impl_->isMain = true;
        return l;
    }();
    {
        std::lock_guard<std::mutex> lock(mainThreadLock);
        if (!mainThreadDeclared && isInitialThread()) {
            mainThreadId = std::this_thread::get_id();
            mainThreadDeclared = true;
        }
    }
    return *loop;
}

void RunLoop::makeCurrentThreadMain() {
    std::lock_guard<std::mutex> lock(mainThreadLock);
    mainThreadId = std::this_thread::get_id();
    mainThreadDeclared = true;
}

bool RunLoop::isMainThread() {
    std::lock_guard<std::mutex> lock(mainThreadLock);
    if (mainThreadDeclared)
        return std::this_thread::get_id() == mainThreadId;
    return isInitialThread();
}

RunLoop& RunLoop::current() {
    if (isMainThread())
        return main();
    thread_local std::unique_ptr<RunLoop> loop;
    if (!loop)
        loop.reset(new RunLoop());
    return *loop;
}

void RunLoop::perform(Task task) {
    if (!task)
        return;
    {
        std::lock_guard<std::mutex> lock(impl_->stateLock);
        impl_->tasks.push_back(std::move(task));
    }
    impl_->wake();
}

void RunLoop::performAndWait(Task task) {
    if (!task)
        return;
    if (impl_->onOwnerThread()) {
        task();
        return;
    }
    struct Result {
        std::mutex lock;  // guards done and error
        std::condition_variable finished;
        bool done = false;
        std::exception_ptr error;
    };
    auto result = std::make_shared<Result>();
    perform([result, task = std::move(task)] {
        std::exception_ptr error;
        try {
            task();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(result->lock);
        result->error = error;
        result->done = true;
        result->finished.notify_all();
    });
    std::unique_lock<std::mutex> lock(result->lock);
    result->finished.wait(lock, [&] { return result->done; });
    if (result->error)
        std::rethrow_exception(result->error);
}

RunLoop::TimerId RunLoop::addTimer(double seconds, bool repeats, Task task) {
    if (!(seconds >= 0))
        seconds = 0;
    TimerId id;
    {
        std::lock_guard<std::mutex> lock(impl_->stateLock);
        id = impl_->nextId++;
        // A repeating timer of interval 0 would starve the loop.
        double interval = repeats ? std::max(seconds, 0.001) : seconds;
        impl_->timers[id] = Impl::Timer{after(seconds), std::chrono::duration<double>(interval),
                                        repeats, std::make_shared<Task>(std::move(task))};
    }
    impl_->wake();
    return id;
}

void RunLoop::cancelTimer(TimerId id) {
    std::lock_guard<std::mutex> lock(impl_->stateLock);
    impl_->timers.erase(id);
}

RunLoop::SourceId RunLoop::addFdSource(int fd, short events,
                                       std::function<void(short revents)> handler) {
    SourceId id;
    {
        std::lock_guard<std::mutex> lock(impl_->stateLock);
        id = impl_->nextId++;
        impl_->sources[id] = Impl::Source{
            fd, events, std::make_shared<std::function<void(short)>>(std::move(handler))};
    }
    impl_->wake();
    return id;
}

void RunLoop::removeFdSource(SourceId id) {
    {
        std::lock_guard<std::mutex> lock(impl_->stateLock);
        impl_->sources.erase(id);
    }
    impl_->wake();
}

void RunLoop::run() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(impl_->stateLock);
            if (impl_->stopRequested) {
                impl_->stopRequested = false;
                return;
            }
        }
        impl_->runOnce(TimePoint::max(), false);
    }
}

void RunLoop::runFor(double seconds) {
    const TimePoint deadline = after(seconds);
    do {
        impl_->runOnce(deadline, false);
    } while (SteadyClock::now() < deadline);
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, double seconds) {
    const TimePoint deadline = after(seconds);
    for (;;) {
        if (predicate())
            return true;
        if (SteadyClock::now() >= deadline)
            return false;
        impl_->runOnce(deadline, true);
    }
}

void RunLoop::stop() {
    {
        std::lock_guard<std::mutex> lock(impl_->stateLock);
        impl_->stopRequested = true;
    }
    impl_->wake();
}

void RunLoop::wakeUp() {
    impl_->wake();
}

void RunLoop::Impl::runOnce(TimePoint limit, bool predicateWait) {
    std::vector<pollfd> fds;
    std::vector<SourceId> ids;
    TimePoint wakeAt = limit;
    fds.push_back(pollfd{wakeFd, POLLIN, 0});
    {
        std::lock_guard<std::mutex> lock(stateLock);
        if (!tasks.empty() || stopRequested)
            wakeAt = SteadyClock::now();
        for (const auto& [id, timer] : timers)
            wakeAt = std::min(wakeAt, timer.fireAt);
        for (const auto& [id, source] : sources) {
            fds.push_back(pollfd{source.fd, source.events, 0});
            ids.push_back(id);
        }
    }
    int timeoutMs = -1;
    if (wakeAt != TimePoint::max()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - SteadyClock::now());
        timeoutMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 24 * 3600 * 1000));
    }
    if (predicateWait && (timeoutMs < 0 || timeoutMs > kPredicatePollMs))
        timeoutMs = kPredicatePollMs;

    int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready > 0 && (fds[0].revents & POLLIN))
        drainWake();

    runTasks();
    fireTimers();
    if (ready > 0)
        dispatchSources(fds, ids);
}

void RunLoop::Impl::runTasks() {
    std::deque<Task> batch;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        batch.swap(tasks);
    }
    // Tasks added by these tasks wait for the next pass, so a task that re-posts itself
    // cannot starve timers and sources.
    for (auto& task : batch)
        runGuarded("RunLoop task", task);
}

void RunLoop::Impl::fireTimers() {
    const TimePoint now = SteadyClock::now();
    std::vector<TimerId> due;
    {
        std::lock_guard<std::mutex> lock(stateLock);
        for (const auto& [id, timer] : timers)
            if (timer.fireAt <= now)
                due.push_back(id);
    }
    for (TimerId id : due) {
        std::shared_ptr<Task> task;
        {
            // An earlier timer of this pass may have cancelled this one.
            std::lock_guard<std::mutex> lock(stateLock);
            auto it = timers.find(id);
            if (it == timers.end())
                continue;
            task = it->second.task;
            if (it->second.repeats) {
                auto interval =
                    std::chrono::duration_cast<SteadyClock::duration>(it->second.interval);
                it->second.fireAt += interval;
                if (it->second.fireAt <= now)
                    it->second.fireAt = now + interval;
            } else {
                timers.erase(it);
            }
        }
        if (*task)
            runGuarded("RunLoop timer", *task);
    }
}

void RunLoop::Impl::dispatchSources(const std::vector<pollfd>& fds,
                                    const std::vector<SourceId>& ids) {
    for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0)
            continue;
        std::shared_ptr<std::function<void(short)>> handler;
        {
            std::lock_guard<std::mutex> lock(stateLock);
            auto it = sources.find(ids[i - 1]);
            if (it == sources.end())
                continue;
            handler = it->second.handler;
            // A closed descriptor would be reported on every pass forever.
            if (fds[i].revents & POLLNVAL)
                sources.erase(it);
        }
        short revents = fds[i].revents;
        if (*handler)
            runGuarded("RunLoop source", [&] { (*handler)(revents); });
    }
}

}  // namespace bv
