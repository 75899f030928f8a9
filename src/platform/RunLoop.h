#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace bv {

// An event loop bound to one thread: tasks performed on it, one-shot and repeating
// timers, and file-descriptor sources. The main thread's loop is RunLoop::main(); any
// other thread gets its own loop on demand through RunLoop::current(). Tasks, timers and
// sources only run while the owning thread runs the loop (run(), runFor(), runUntil()).
// Every operation may be called from any thread. Exceptions thrown by a task, timer or
// source are caught and reported, never propagated out of the loop.
class RunLoop {
  public:
    using Task = std::function<void()>;
    using TimerId = uint64_t;
    using SourceId = uint64_t;

    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // The loop of the process's main thread: the process's initial thread unless
    // makeCurrentThreadMain() said otherwise. Any thread may post to it; only the main
    // thread runs it. Never destroyed.
    static RunLoop& main();
    // Declares the calling thread the main thread (programs call it first thing).
    static void makeCurrentThreadMain();
    static bool isMainThread();
    // The calling thread's loop (main() on the main thread), created on first use and
    // destroyed with the thread: do not keep a reference to another thread's loop beyond
    // that thread's life.
    static RunLoop& current();

    // Runs task on this loop's thread, later.
    void perform(Task task);
    // Runs task on this loop's thread and waits for it; runs it at once when called on
    // that thread. Exceptions from the task are rethrown to the caller.
    void performAndWait(Task task);

    // Fires task after `seconds`, then every `seconds` when repeats is true.
    TimerId addTimer(double seconds, bool repeats, Task task);
    void cancelTimer(TimerId id);

    // Calls handler(revents) on this loop's thread whenever poll() reports `events` on fd.
    // The source is removed by itself once fd is reported closed (POLLNVAL).
    SourceId addFdSource(int fd, short events, std::function<void(short revents)> handler);
    void removeFdSource(SourceId id);

    // Runs until stop() is called. A stop() that comes before run() makes the next run()
    // return at once (so an owner may stop a thread's loop before the thread reached it).
    void run();
    // Runs for `seconds` of real time, handling whatever arrives, then returns.
    void runFor(double seconds);
    // Runs until predicate() is true or `seconds` have passed; answers predicate().
    bool runUntil(const std::function<bool()>& predicate, double seconds);
    // Makes run() return (from any thread).
    void stop();

    // Wakes a loop that is waiting in poll().
    void wakeUp();

  private:
    RunLoop();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bv
