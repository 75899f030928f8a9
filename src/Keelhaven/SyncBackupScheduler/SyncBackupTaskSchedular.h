#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "Keelhaven/SyncBackupTask/SyncBackupTaskParts.h"
#include "platform/Clock.h"

// The timer owner of one loaded task: arms one one-shot timer for the next run of the
// task's "schedular" dictionary, whose firing calls the executor's run(). A new scheduler
// is made for every reschedule, so intervals count from the end of the previous run.
//
// Arming and invalidating belong to the main thread; getNextRunTime may be read anywhere.
class SyncBackupTaskSchedular : public SyncBackupTaskScheduler {
  public:
    enum Type : int { kUnknown = 0, kPermanently = 1, kDaily = 2, kManual = 3, kHourly = 4 };
    static constexpr double kPermanentInterval = 30;
    static constexpr double kHourlyInterval = 3600;
    static constexpr int64_t kDay = 86400;

    // How one-shot timers are armed and cancelled; the main run loop by default.
    struct Timers {
        using Id = uint64_t;
        std::function<Id(double seconds, std::function<void()> fire)> arm;
        std::function<void(Id)> cancel;
        static Timers mainRunLoop();
    };

    SyncBackupTaskSchedular(nlohmann::json scheduleDictionary,
                            std::shared_ptr<SyncBackupTaskExecutor> executor,
                            std::shared_ptr<bv::Clock> clock = bv::Clock::system(),
                            Timers timers = Timers::mainRunLoop());
    ~SyncBackupTaskSchedular() override;
    SyncBackupTaskSchedular(const SyncBackupTaskSchedular&) = delete;
    SyncBackupTaskSchedular& operator=(const SyncBackupTaskSchedular&) = delete;

    // The code of "SchedularType"; kUnknown for anything else.
    int getSchedulerType() const;
    void scheduleNextRunTime() override;
    void schedulePermanentRun();
    void scheduleDailyRun();
    void scheduleHourlyRun();
    void scheduleManualRun();
    void taskFinished(int64_t status);
    int64_t getNextRunTime() const override;
    bool taskRunTimer() const;
    void invalidateTimer() override;

    // The first enabled day's "StartsAt" strictly after now, searching from the local
    // midnight of this week's Sunday; nothing when no day is switched on.
    static std::optional<int64_t> nextDailyRun(const nlohmann::json& daily, double now);

  private:
    void arm(double seconds, int64_t nextRunTime);

    const nlohmann::json scheduleDictionary_;
    const std::weak_ptr<SyncBackupTaskExecutor> executor_;
    const std::shared_ptr<bv::Clock> clock_;
    const Timers timers_;

    mutable std::mutex timerLock_;  // guards the two below
    std::optional<Timers::Id> timer_;
    int64_t nextRunTime_ = 0;
};
