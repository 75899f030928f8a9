#pragma once

#include <atomic>
#include <memory>

namespace bv {

// Time source and sleeper. Every wait of the suite that lasts seconds goes through one,
// so tests inject a ManualClock and run the real logic in milliseconds.
class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since 1970, with fractions.
    virtual double now() const = 0;
    // Monotonic seconds for measuring intervals.
    virtual double monotonic() const = 0;
    virtual void sleepFor(double seconds) = 0;

    // The process-wide system clock.
    static std::shared_ptr<Clock> system();
};

class SystemClock : public Clock {
public:
    double now() const override;
    double monotonic() const override;
    void sleepFor(double seconds) override;
};

// A clock that only moves when told to, or when somebody sleeps on it: sleeping
// advances time at once. Safe to use from several threads.
class ManualClock : public Clock {
public:
    explicit ManualClock(double start = 1'700'000'000.0) : now_(start) {}
    double now() const override { return now_.load(); }
    double monotonic() const override { return now_.load(); }
    void sleepFor(double seconds) override { advance(seconds); }
    void advance(double seconds) { now_.fetch_add(seconds); }
    void set(double when) { now_.store(when); }

private:
    std::atomic<double> now_;
};

}  // namespace bv
